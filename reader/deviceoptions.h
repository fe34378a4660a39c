// SPDX-License-Identifier: MIT
// A device-list entry as a service sees it: its logical name, its kind and
// the KEY=VALUE options written after the kind, e.g.
//     BACK = serial device=/dev/ttyACM0 baud=9600 format=8N1
// Each kind checks its own options; a fault becomes 104 (OPOS_E_NOSERVICE)
// with the list's file and line in front of the message.
#pragma once

#include <QHash>
#include <QString>
#include <QStringView>

#include <initializer_list>
#include <optional>

namespace msr {

using DeviceOptions = QHash<QString, QString>;

struct DeviceEntry {
    QString name;
    QString kind;
    DeviceOptions options;
};

// Text from the list as a fault quotes it: in single quotes, cut to its first
// 80 characters ("..." after them), so a hostile line cannot flood the message.
QString quoted(QStringView text);

// Empty when every key is known and every required key is there; otherwise
// the fault, e.g. "unknown option 'bud' for kind serial".
QString checkOptionKeys(const DeviceEntry &entry, std::initializer_list<const char *> known,
                        std::initializer_list<const char *> required = {});

// The option as a whole decimal number within [min, max]; fallback when it
// is not given; nullopt (and *error set) when it is given but bad.
std::optional<int> intOption(const DeviceEntry &entry, const char *key, int fallback, int min,
                             int max, QString *error);

// yes/no (also true/false, on/off, 1/0); fallback when not given.
std::optional<bool> boolOption(const DeviceEntry &entry, const char *key, bool fallback,
                               QString *error);

} // namespace msr
