// SPDX-License-Identifier: MIT
// hidraw nodes as udev shows them: their USB ids, name and report descriptor
// (the hid parent's report_descriptor attribute), so nothing needs an ioctl
// on the node.
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
    QString hidName;           // HID_NAME of the hid parent
    std::optional<UsbIds> usb; // absent for other buses
    QByteArray descriptor;
};

// Every hidraw node, in name order.
QList<HidrawNode> listHidrawNodes();

// The node a device path (or any link to it) is, by its device number;
// nullopt when it is no hidraw node udev knows, e.g. while it is unplugged.
std::optional<HidrawNode> hidrawNodeFor(const QString &devicePath);

} // namespace hid
