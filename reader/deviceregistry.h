// SPDX-License-Identifier: MIT
// Logical device names and the service behind each, like a POS device
// registry. The device list comes from SWIPEWATCH_DEVICES if set, else from
// devices.conf in the user's configuration folder for swipewatch if it
// exists; without either, the built-in virtual reader answers to "MCRSTUBEX".
//
// Device list format, one entry a line, '#' starts a comment:
//     MCRSTUBEX = virtual
//     BACK      = serial device=/dev/ttyACM0 baud=9600 format=8N1
//     SIDE      = serial device="/dev/serial/by-id/usb-Reader_S_N#12-if00"
// A name is letters, digits, '_', '-' or '.'; the kind must be one the
// registry knows, and each kind checks its KEY=VALUE options. Double quotes
// keep '#' and blanks in a value, with \" and \\ inside for " and \. A list
// over kListLimit bytes is refused, never read whole.
#pragma once

#include "reader/deviceoptions.h"
#include "reader/msrservice.h"

#include <QHash>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace msr {

class DeviceRegistry {
public:
    // Returns the service, or null with *error saying what is wrong with the
    // entry's options (the registry adds the file and line).
    using Factory =
        std::function<std::unique_ptr<MsrService>(const DeviceEntry &entry, QString *error)>;

    // A registry on the device list from SWIPEWATCH_DEVICES or the user's
    // devices.conf, else with MCRSTUBEX as the virtual reader. It knows no
    // kinds yet: backends/backends.h adds them.
    static DeviceRegistry fromEnvironment();

    void addKind(const QString &kind, Factory factory);
    // A kind that takes no options.
    void addKind(const QString &kind,
                 std::function<std::unique_ptr<MsrService>(const QString &logicalName)> factory);
    // Used only when there is no device list.
    void addDevice(const QString &logicalName, const QString &kind);
    void setDeviceList(const QString &path);

    struct Lookup {
        std::unique_ptr<MsrService> service;
        std::int32_t result = 0; // OPOS result code; 0 with a service
        QString error;           // the fault, for a malformed list
    };
    // Reads the device list afresh, so an edit takes effect on the next Open.
    Lookup create(const QString &logicalName) const;

    static constexpr qsizetype kListLimit = 1 << 20; // bytes
    // The entry the name stands for, as create() reads it; nullopt when the
    // name is unknown or the list cannot be read.
    std::optional<DeviceEntry> entry(const QString &logicalName) const;

    static constexpr const char *kDefaultDevice = "MCRSTUBEX";
    static constexpr const char *kEnvironmentVariable = "SWIPEWATCH_DEVICES";
    // In the user's configuration folder for swipewatch.
    static constexpr const char *kUserListName = "devices.conf";

private:
    std::optional<QString> m_listPath;
    QHash<QString, DeviceEntry> m_devices; // used without a list
    QHash<QString, Factory> m_kinds;
};

// value as the device list writes it: as it is when it can be, else quoted.
QString quoteListValue(const QString &value);

} // namespace msr
