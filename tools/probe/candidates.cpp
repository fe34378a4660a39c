// SPDX-License-Identifier: MIT
#include "tools/probe/candidates.h"

#include "backends/hid/hiddescriptor.h"
#include "reader/deviceregistry.h"
#include "reader/runtimepaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>

namespace probe {

namespace {

QString readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(4096)).trimmed();
}

// Entries of a sysfs class folder, hidraw10 after hidraw9.
QStringList classEntries(const QString &root, const char *cls, const QString &prefix)
{
    QStringList names = QDir(QStringLiteral("%1/sys/class/%2").arg(root, QLatin1String(cls)))
                            .entryList({prefix + QLatin1Char('*')},
                                       QDir::Dirs | QDir::System | QDir::NoDotAndDotDot);
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

// The by-id link udev made for node, e.g. /dev/input/by-id/usb-...-event-kbd;
// preferred is the one whose name ends in preferredEnd.
QString byIdLink(const QString &root, const char *folder, const QString &node,
                 const char *preferredEnd = "")
{
    const QDir dir(QStringLiteral("%1/dev/%2/by-id").arg(root, QLatin1String(folder)));
    QString found;
    for (const QFileInfo &link : dir.entryInfoList(QDir::Files | QDir::System, QDir::Name)) {
        if (!link.isSymLink() || QFileInfo(link.symLinkTarget()).fileName() != node)
            continue;
        if (found.isEmpty() || link.fileName().endsWith(QLatin1String(preferredEnd)))
            found = QStringLiteral("/dev/%1/by-id/%2").arg(QLatin1String(folder), link.fileName());
    }
    return found;
}

std::optional<hid::UsbIds> idsOf(const QString &vendor, const QString &product)
{
    return hid::parseUsbIds(vendor + QLatin1Char(':') + product);
}

// The USB device a tty (or anything else) hangs from: the first folder up
// from its device link that has idVendor.
QString usbDeviceFolder(const QString &deviceLink)
{
    QString dir = QFileInfo(deviceLink).canonicalFilePath();
    for (int up = 0; up < 4 && !dir.isEmpty(); ++up) {
        if (QFileInfo::exists(dir + QLatin1String("/idVendor")))
            return dir;
        dir = QFileInfo(dir).path();
    }
    return {};
}

// True when the key bitmap has Enter and the digit row: a keyboard, which a
// keyboard-type reader is; mice and power buttons are not.
bool hasKeyboardKeys(const QString &keyBitmap)
{
    const QStringList words = keyBitmap.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString low = words.isEmpty() ? QString() : words.constLast(); // bits 0 to 63
    bool ok = false;
    const quint64 bits = low.isEmpty() ? 0 : low.right(16).toULongLong(&ok, 16);
    constexpr quint64 needed =
        (quint64(1) << 28) | (quint64(0x3FF) << 2); // KEY_ENTER, KEY_1..KEY_0
    return ok && (bits & needed) == needed;
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

QList<Candidate> findCandidates(const QString &root)
{
    QList<Candidate> found;
    for (const QString &event : classEntries(root, "input", QStringLiteral("event"))) {
        const QString device = QStringLiteral("%1/sys/class/input/%2/device/").arg(root, event);
        if (!hasKeyboardKeys(readText(device + QLatin1String("capabilities/key"))))
            continue;
        Candidate c{QStringLiteral("keyboard"),
                    QStringLiteral("/dev/input/") + event,
                    byIdLink(root, "input", event, "-event-kbd"),
                    readText(device + QLatin1String("name")),
                    std::nullopt,
                    {},
                    {}};
        if (readText(device + QLatin1String("id/bustype")) == QLatin1String("0003"))
            c.usb = idsOf(readText(device + QLatin1String("id/vendor")),
                          readText(device + QLatin1String("id/product")));
        found << c;
    }
    for (const QString &tty : classEntries(root, "tty", QString())) {
        const QString dir = QStringLiteral("%1/sys/class/tty/%2/").arg(root, tty);
        // Legacy 8250 ports are listed whether or not a UART is there; type 0 means none.
        if (!QFileInfo::exists(dir + QLatin1String("device")) ||
            (tty.startsWith(QLatin1String("ttyS")) &&
             readText(dir + QLatin1String("type")) == u"0"))
            continue;
        Candidate c{QStringLiteral("serial"),
                    QStringLiteral("/dev/") + tty,
                    byIdLink(root, "serial", tty),
                    {},
                    std::nullopt,
                    {},
                    {}};
        const QString usb = usbDeviceFolder(dir + QLatin1String("device"));
        if (!usb.isEmpty()) {
            c.name = readText(usb + QLatin1String("/product"));
            c.usb = idsOf(readText(usb + QLatin1String("/idVendor")),
                          readText(usb + QLatin1String("/idProduct")));
        }
        found << c;
    }
    QList<Candidate> readers;
    for (const hid::HidrawNode &node : hid::listHidrawNodes(root)) {
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

void listCandidates(const QString &root, QTextStream &out)
{
    const QList<Candidate> found = findCandidates(root);
    if (found.isEmpty()) {
        out << "No reader found: sysfs lists no keyboard-class input device, no serial port "
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

std::optional<QString> udevRule(const QString &root, const QString &path, QString *error)
{
    const QString where = root == QLatin1String("/") ? path : root + path;
    // The node a link points at; also for a link into a tree with no nodes.
    const QFileInfo info(where);
    const QString target = info.canonicalFilePath();
    const QString node = QFileInfo(!target.isEmpty()  ? target
                                   : info.isSymLink() ? info.symLinkTarget()
                                                      : where)
                             .fileName();
    std::optional<hid::UsbIds> ids;
    QString subsystem;
    if (node.startsWith(QLatin1String("hidraw"))) {
        subsystem = QStringLiteral("SUBSYSTEM==\"hidraw\"");
        if (const auto hidraw = hid::hidrawNodeFor(root, QStringLiteral("/dev/") + node))
            ids = hidraw->usb;
    } else if (node.startsWith(QLatin1String("event"))) {
        subsystem = QStringLiteral("SUBSYSTEM==\"input\", KERNEL==\"event*\"");
        const QString device = QStringLiteral("%1/sys/class/input/%2/device/").arg(root, node);
        if (readText(device + QLatin1String("id/bustype")) == QLatin1String("0003"))
            ids = idsOf(readText(device + QLatin1String("id/vendor")),
                        readText(device + QLatin1String("id/product")));
    } else if (node.startsWith(QLatin1String("tty"))) {
        subsystem = QStringLiteral("SUBSYSTEM==\"tty\"");
        const QString usb =
            usbDeviceFolder(QStringLiteral("%1/sys/class/tty/%2/device").arg(root, node));
        if (!usb.isEmpty())
            ids = idsOf(readText(usb + QLatin1String("/idVendor")),
                        readText(usb + QLatin1String("/idProduct")));
    } else {
        *error = QStringLiteral("%1 is not a hidraw, input event or serial node").arg(path);
        return std::nullopt;
    }
    if (!ids) {
        *error = QStringLiteral("sysfs shows no USB reader behind %1: is it plugged in?").arg(path);
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
