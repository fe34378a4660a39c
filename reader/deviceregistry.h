// Logical device names and the service behind each, like a POS device
// registry. SWIPEWATCH_DEVICES may name a device list; without it the
// built-in virtual reader answers to "MCRSTUBEX".
//
// Device list format, one entry a line, '#' starts a comment:
//     MCRSTUBEX = virtual
//     COUNTER2  = virtual
// A name is letters, digits, '_', '-' or '.'; the service kind must be one
// the registry knows ("virtual" unless more are added).
#pragma once

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
    using Factory = std::function<std::unique_ptr<MsrService>(const QString &logicalName)>;

    // The registry the program runs with: the built-in kinds, and the device
    // list named by SWIPEWATCH_DEVICES if set.
    static DeviceRegistry fromEnvironment();

    void addKind(const QString &kind, Factory factory);
    // Without a device list, every name maps to this kind.
    void addDevice(const QString &logicalName, const QString &kind);
    void setDeviceList(const QString &path);

    struct Lookup {
        std::unique_ptr<MsrService> service;
        std::int32_t result = 0; // OPOS result code; 0 with a service
        QString error;           // the fault, for a malformed list
    };
    // Reads the device list afresh, so an edit takes effect on the next Open.
    Lookup create(const QString &logicalName) const;

    static constexpr const char *kDefaultDevice = "MCRSTUBEX";
    static constexpr const char *kEnvironmentVariable = "SWIPEWATCH_DEVICES";

private:
    std::optional<QString> m_listPath;
    QHash<QString, QString> m_devices; // name -> kind, used without a list
    QHash<QString, Factory> m_kinds;
};

} // namespace msr
