// SPDX-License-Identifier: MIT
// Finding a reader: the keyboard input devices, serial ports and
// stripe-reader hidraw nodes that udev knows, with their stable paths and
// the device-list line that names each.
#pragma once

#include "backends/hid/hidsysfs.h"

#include <QList>
#include <QString>

#include <optional>

class QTextStream;

namespace probe {

struct Candidate {
    QString kind;   // as in the device list: keyboard, serial, hid
    QString node;   // /dev/input/event3
    QString stable; // a /dev/.../by-id/ link to the node, if udev made one
    QString name;
    std::optional<hid::UsbIds> usb;
    QString detail; // hid: how its reports carry the tracks
    QString option; // what the device list names it by: device=... (quoted if need be) or match=...
};

QList<Candidate> findCandidates();

// Prints the candidates, each with the device-list line to paste, or that
// none was found.
void listCandidates(QTextStream &out);

// A udev rule that gives the logged-in user the device at path (a node or a
// link to one), matched by its USB ids; nullopt with *error when udev does
// not know it or it is not on USB.
std::optional<QString> udevRule(const QString &path, QString *error);

} // namespace probe
