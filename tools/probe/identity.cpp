// SPDX-License-Identifier: MIT
#include "tools/probe/identity.h"

#include "backends/backends.h"
#include "tools/probe/candidates.h"
#include "tools/probe/msrprobe.h"

#include <QDir>
#include <QFileInfo>

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
    // The node the path leads to, as sysfs names it (without the test root).
    const QString root = systemRoot();
    const QString top = QDir(root).canonicalPath();
    QString node = QFileInfo(root + QLatin1Char('/') + device).canonicalFilePath();
    if (top != QLatin1String("/"))
        node = node.mid(top.size());
    for (const Candidate &candidate : findCandidates(root)) {
        if (candidate.usb &&
            (candidate.node == node || candidate.node == device || candidate.stable == device)) {
            reader.usb = hid::formatUsbIds(*candidate.usb);
            break;
        }
    }
    return reader;
}

} // namespace probe
