// SPDX-License-Identifier: MIT
// hidraw nodes as sysfs shows them: their USB ids, name and report
// descriptor, read from <root>/sys/class/hidraw/hidrawN/device/, so nothing
// needs an ioctl on the node. root is "/" except in tests.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace hid {

struct UsbIds {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    bool operator==(const UsbIds &) const = default;
};

// "VVVV:PPPP" in hex, as lsusb prints them.
std::optional<UsbIds> parseUsbIds(const QString &text);
QString formatUsbIds(const UsbIds &ids);

struct HidrawNode {
    QString name;              // hidraw3
    QString devicePath;        // /dev/hidraw3
    QString hidName;           // HID_NAME from the uevent
    std::optional<UsbIds> usb; // absent for other buses
    QByteArray descriptor;
};

// Every hidraw node, in name order.
QList<HidrawNode> listHidrawNodes(const QString &root);

// The node behind a device path (a symlink to it will do); nullopt when
// sysfs has no hidraw node of that name, e.g. while it is unplugged.
std::optional<HidrawNode> hidrawNodeFor(const QString &root, const QString &devicePath);

} // namespace hid
