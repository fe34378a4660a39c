// SPDX-License-Identifier: MIT
#include "tools/probe/candidates.h"

#include "backends/common/udevdevice.h"
#include "backends/hid/hiddescriptor.h"
#include "reader/deviceregistry.h"
#include "reader/runtimepaths.h"

#include <QTextStream>

#include <algorithm>

namespace probe {

namespace {

using msr::udev::Device;

std::optional<hid::UsbIds> usbIdsOf(const Device &device)
{
    const Device usb = device.parent("usb", "usb_device");
    return usb.isNull() ? std::nullopt
                        : hid::parseUsbIds(usb.sysattrText("idVendor") + QLatin1Char(':') +
                                           usb.sysattrText("idProduct"));
}

// The by-id link udev made for the node, e.g. /dev/input/by-id/usb-...-event-kbd;
// preferred is the one whose name ends in preferredEnd.
QString byIdLink(const Device &device, const QString &folder, const char *preferredEnd = "")
{
    QString found;
    for (const QString &link : device.devlinks()) {
        if (!link.startsWith(folder))
            continue;
        if (found.isEmpty() || link.endsWith(QLatin1String(preferredEnd)))
            found = link;
    }
    return found;
}

QString layoutText(const hid::TrackLayout &layout)
{
    return QStringLiteral("%1, %2%3-byte reports")
        .arg(layout.kind == hid::TrackLayout::Kind::Vendor
                 ? QStringLiteral("vendor-defined page 0xFF00")
                 : QStringLiteral("magnetic stripe page 0x8E"),
             layout.reportId ? QStringLiteral("report ID %1, ").arg(*layout.reportId) : QString())
        .arg(layout.reportBytes);
}

} // namespace

QList<Candidate> findCandidates()
{
    QList<Candidate> found;
    // udev marks as a keyboard what has Escape, the digit row and the first
    // letters: a keyboard-type reader does; mice and power buttons do not.
    for (const Device &event : msr::udev::enumerate("input", "ID_INPUT_KEYBOARD", "1")) {
        if (!event.sysname().startsWith(QLatin1String("event")) || event.devnode().isEmpty())
            continue;
        found << Candidate{QStringLiteral("keyboard"),
                           event.devnode(),
                           byIdLink(event, QStringLiteral("/dev/input/by-id/"), "-event-kbd"),
                           event.parent("input").sysattrText("name"),
                           usbIdsOf(event),
                           {},
                           {}};
    }
    for (const Device &tty : msr::udev::enumerate("tty")) {
        // Ports on USB or on the board; not consoles and pseudo-terminals.
        // Legacy 8250 ports are listed whether or not a UART is there; type 0 means none.
        const Device usb = tty.parent("usb", "usb_device");
        const bool board = !tty.parent("platform").isNull() || !tty.parent("pnp").isNull();
        if (tty.devnode().isEmpty() || (usb.isNull() && !board) ||
            (tty.sysname().startsWith(QLatin1String("ttyS")) && tty.sysattrText("type") == u"0"))
            continue;
        found << Candidate{QStringLiteral("serial"),
                           tty.devnode(),
                           byIdLink(tty, QStringLiteral("/dev/serial/by-id/")),
                           usb.sysattrText("product"),
                           usbIdsOf(tty),
                           {},
                           {}};
    }
    QList<Candidate> readers;
    for (const hid::HidrawNode &node : hid::listHidrawNodes()) {
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(node.descriptor.constData());
        const hid::Descriptor d = hid::parseDescriptor(bytes, std::size_t(node.descriptor.size()));
        const auto layout = d.error.isEmpty() ? hid::findTrackLayout(d, nullptr) : std::nullopt;
        if (layout) // not e.g. a keyboard-type reader's own node: that is listed as a keyboard
            readers << Candidate{QStringLiteral("hid"),
                                 node.devicePath,
                                 {},
                                 node.hidName,
                                 node.usb,
                                 layoutText(*layout),
                                 {}};
    }
    for (Candidate &c : readers) {
        // hidraw numbers change from boot to boot; USB ids do not, unless
        // two such readers share them.
        const auto sameIds =
            std::count_if(readers.begin(), readers.end(),
                          [&](const Candidate &other) { return other.usb == c.usb; });
        if (c.usb && sameIds == 1)
            c.option = QStringLiteral("match=") + hid::formatUsbIds(*c.usb);
    }
    found << readers;
    for (Candidate &c : found) {
        if (c.option.isEmpty())
            c.option = QStringLiteral("device=") +
                       msr::quoteListValue(c.stable.isEmpty() ? c.node : c.stable);
    }
    return found;
}

void listCandidates(QTextStream &out)
{
    const QList<Candidate> found = findCandidates();
    if (found.isEmpty()) {
        out << "No reader found: udev knows no keyboard input device, no serial port "
               "and no hidraw node whose reports carry track data.\n";
        return;
    }
    int n = 0;
    for (const Candidate &c : found) {
        QStringList about;
        // A device names itself: nothing in its name may steer the terminal.
        if (!c.name.isEmpty())
            about << QLatin1Char('"') + msr::printable(c.name) + QLatin1Char('"');
        if (c.usb)
            about << QStringLiteral("USB ") + hid::formatUsbIds(*c.usb);
        if (!c.detail.isEmpty())
            about << c.detail;
        out << QStringLiteral("%1 %2%3\n")
                   .arg(c.kind.leftJustified(8),
                        msr::printable(c.stable.isEmpty() ? c.node : c.stable),
                        c.stable.isEmpty() ? QString() : QStringLiteral(" -> ") + c.node);
        if (!about.isEmpty())
            out << QStringLiteral("         %1\n").arg(about.join(QLatin1String(", ")));
        out << QStringLiteral("         READER%1 = %2 %3\n")
                   .arg(++n)
                   .arg(c.kind, msr::printable(c.option));
    }
    out << "\nPut a line in ~/.config/swipewatch/devices.conf (or the list SWIPEWATCH_DEVICES "
           "names), then check it with: msrprobe --watch READER1\n";
}

std::optional<QString> udevRule(const QString &path, QString *error)
{
    // The device the path is by its device number: a link to the node will do.
    const Device device = msr::udev::deviceForNode(path);
    const QString kind = device.subsystem();
    std::optional<hid::UsbIds> ids;
    QString subsystem;
    if (kind == u"hidraw") {
        subsystem = QStringLiteral("SUBSYSTEM==\"hidraw\"");
        if (const auto hidraw = hid::hidrawNodeFor(path))
            ids = hidraw->usb;
    } else if (kind == u"input") {
        subsystem = QStringLiteral("SUBSYSTEM==\"input\", KERNEL==\"event*\"");
        ids = usbIdsOf(device);
    } else if (kind == u"tty") {
        subsystem = QStringLiteral("SUBSYSTEM==\"tty\"");
        ids = usbIdsOf(device);
    } else if (!device.isNull()) {
        *error = QStringLiteral("%1 is not a hidraw, input event or serial node")
                     .arg(msr::printable(path));
        return std::nullopt;
    }
    if (!ids || device.isNull()) {
        *error = QStringLiteral("udev knows no USB reader behind %1: is it plugged in?")
                     .arg(msr::printable(path));
        return std::nullopt;
    }
    const QString vid = hid::formatUsbIds(*ids).section(QLatin1Char(':'), 0, 0);
    const QString pid = hid::formatUsbIds(*ids).section(QLatin1Char(':'), 1, 1);
    return QStringLiteral("# swipewatch: the logged-in user may read the card reader %1 (USB %2)\n"
                          "# In /etc/udev/rules.d/70-swipewatch.rules; then, as root, run "
                          "\"udevadm control --reload\" and \"udevadm trigger\", or replug it.\n"
                          "%3, ATTRS{idVendor}==\"%4\", ATTRS{idProduct}==\"%5\", "
                          "TAG+=\"uaccess\"\n")
        .arg(msr::printable(path), hid::formatUsbIds(*ids), subsystem, vid, pid);
}

} // namespace probe
