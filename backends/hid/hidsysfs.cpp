// SPDX-License-Identifier: MIT
#include "backends/hid/hidsysfs.h"

#include "backends/common/udevdevice.h"

#include <QRegularExpression>

#include <algorithm>

namespace hid {

namespace {

std::optional<HidrawNode> readNode(const msr::udev::Device &hidraw)
{
    const msr::udev::Device parent = hidraw.parent("hid");
    if (hidraw.subsystem() != QLatin1String("hidraw") || parent.isNull())
        return std::nullopt;
    HidrawNode node;
    node.name = hidraw.sysname();
    node.devicePath =
        hidraw.devnode().isEmpty() ? QStringLiteral("/dev/") + node.name : hidraw.devnode();
    node.descriptor = parent.sysattr("report_descriptor");
    node.hidName = parent.property("HID_NAME");
    // HID_ID=BBBB:VVVVVVVV:PPPPPPPP; bus 0003 is USB.
    const QStringList id = parent.property("HID_ID").split(QLatin1Char(':'));
    bool okVendor = false, okProduct = false;
    if (id.size() == 3 && id[0].toUInt(nullptr, 16) == 3) {
        const uint vendor = id[1].toUInt(&okVendor, 16);
        const uint product = id[2].toUInt(&okProduct, 16);
        if (okVendor && okProduct && vendor <= 0xFFFF && product <= 0xFFFF)
            node.usb = UsbIds{std::uint16_t(vendor), std::uint16_t(product)};
    }
    return node;
}

} // namespace

std::optional<UsbIds> parseUsbIds(const QString &text)
{
    static const QRegularExpression form(
        QRegularExpression::anchoredPattern(QStringLiteral("([0-9A-Fa-f]{4}):([0-9A-Fa-f]{4})")));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return std::nullopt;
    return UsbIds{std::uint16_t(m.captured(1).toUInt(nullptr, 16)),
                  std::uint16_t(m.captured(2).toUInt(nullptr, 16))};
}

QString formatUsbIds(const UsbIds &ids)
{
    return QStringLiteral("%1:%2")
        .arg(ids.vendor, 4, 16, QLatin1Char('0'))
        .arg(ids.product, 4, 16, QLatin1Char('0'));
}

QList<HidrawNode> listHidrawNodes()
{
    QList<HidrawNode> nodes;
    for (const msr::udev::Device &device : msr::udev::enumerate("hidraw")) {
        if (auto node = readNode(device))
            nodes << *node;
    }
    // hidraw10 after hidraw9.
    std::sort(nodes.begin(), nodes.end(), [](const HidrawNode &a, const HidrawNode &b) {
        return a.name.size() != b.name.size() ? a.name.size() < b.name.size() : a.name < b.name;
    });
    return nodes;
}

std::optional<HidrawNode> hidrawNodeFor(const QString &devicePath)
{
    return readNode(msr::udev::deviceForNode(devicePath));
}

} // namespace hid
