// SPDX-License-Identifier: MIT
#include "tools/probe/identity.h"

#include "backends/backends.h"
#include "backends/common/udevdevice.h"
#include "backends/hid/hidsysfs.h"
#include "tools/probe/candidates.h"
#include "tools/probe/msrprobe.h"

namespace probe {

health::Reader identify(const QString &name)
{
    health::Reader reader;
    reader.name = name;
    const std::optional<msr::DeviceEntry> entry = msr::standardRegistry().entry(name);
    if (!entry)
        return reader;
    reader.kind = entry->kind;
    for (auto it = entry->options.begin(); it != entry->options.end(); ++it) {
        if (it.key() == QLatin1String("device"))
            reader.path = it.value();
        else
            reader.settings.insert(it.key(), it.value());
    }
    const QString match = entry->options.value(QStringLiteral("match"));
    if (!match.isEmpty()) {
        reader.usb = match.toLower();
        return reader;
    }
    const QString device = entry->options.value(QStringLiteral("device"));
    if (device.isEmpty())
        return reader;
    // The node the path leads to, by its device number.
    const QString node = msr::udev::deviceForNode(device).devnode();
    for (const Candidate &candidate : findCandidates()) {
        if (candidate.usb &&
            (candidate.node == node || candidate.node == device || candidate.stable == device)) {
            reader.usb = hid::formatUsbIds(*candidate.usb);
            break;
        }
    }
    return reader;
}

} // namespace probe
