// SPDX-License-Identifier: MIT
#include "backends/backends.h"

#include "backends/hid/hidservice.h"
#include "backends/keyboard/keyboardservice.h"
#include "backends/replay/replayservice.h"
#include "backends/serial/serialservice.h"
#include "backends/virtual/virtualmsr.h"

namespace msr {

DeviceRegistry standardRegistry()
{
    DeviceRegistry registry = DeviceRegistry::fromEnvironment();
    registry.addKind(QStringLiteral("virtual"), &createVirtualMsr);
    registry.addKind(QStringLiteral("keyboard"), &createKeyboardService);
    registry.addKind(QStringLiteral("serial"), &createSerialService);
    registry.addKind(QStringLiteral("hid"), [](const DeviceEntry &entry, QString *error) {
        return hid::createHidService(entry, error);
    });
    registry.addKind(QStringLiteral("replay"), &replay::createReplayService);
    return registry;
}

} // namespace msr
