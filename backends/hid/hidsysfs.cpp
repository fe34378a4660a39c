// SPDX-License-Identifier: MIT
#include "backends/hid/hidsysfs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace hid {

namespace {

// sysfs attributes are small; a bigger file is not one.
constexpr qint64 kMaxAttributeBytes = 64 * 1024;

QByteArray readAttribute(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(kMaxAttributeBytes);
}

std::optional<HidrawNode> readNode(const QString &root, const QString &name)
{
    static const QRegularExpression hidrawName(
        QRegularExpression::anchoredPattern(QStringLiteral("hidraw[0-9]{1,6}")));
    if (!hidrawName.match(name).hasMatch())
        return std::nullopt;
    const QString device = QStringLiteral("%1/sys/class/hidraw/%2/device/").arg(root, name);
    if (!QFileInfo::exists(device + QLatin1String("report_descriptor")))
        return std::nullopt;
    HidrawNode node;
    node.name = name;
    node.devicePath = QStringLiteral("/dev/") + name;
    node.descriptor = readAttribute(device + QLatin1String("report_descriptor"));
    for (const QByteArray &line : readAttribute(device + QLatin1String("uevent")).split('\n')) {
        if (line.startsWith("HID_NAME="))
            node.hidName = QString::fromUtf8(line.mid(9)).trimmed();
        // HID_ID=BBBB:VVVVVVVV:PPPPPPPP; bus 0003 is USB.
        const QList<QByteArray> id =
            line.startsWith("HID_ID=") ? line.mid(7).split(':') : QList<QByteArray>();
        bool okVendor = false, okProduct = false;
        if (id.size() == 3 && id[0].toUInt(nullptr, 16) == 3) {
            const uint vendor = id[1].toUInt(&okVendor, 16);
            const uint product = id[2].trimmed().toUInt(&okProduct, 16);
            if (okVendor && okProduct && vendor <= 0xFFFF && product <= 0xFFFF)
                node.usb = UsbIds{std::uint16_t(vendor), std::uint16_t(product)};
        }
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

QList<HidrawNode> listHidrawNodes(const QString &root)
{
    QStringList names = QDir(root + QLatin1String("/sys/class/hidraw"))
                            .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    // hidraw10 after hidraw9.
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    QList<HidrawNode> nodes;
    for (const QString &name : std::as_const(names)) {
        if (auto node = readNode(root, name))
            nodes << *node;
    }
    return nodes;
}

std::optional<HidrawNode> hidrawNodeFor(const QString &root, const QString &devicePath)
{
    const QString target = QFileInfo(devicePath).canonicalFilePath();
    return readNode(root, QFileInfo(target.isEmpty() ? devicePath : target).fileName());
}

} // namespace hid
