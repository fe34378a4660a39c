#include "backends/backends.h"

#include "backends/virtual/virtualmsr.h"

namespace msr {

DeviceRegistry standardRegistry()
{
    DeviceRegistry registry = DeviceRegistry::fromEnvironment();
    registry.addKind(QStringLiteral("virtual"), &createVirtualMsr);
    return registry;
}

} // namespace msr
