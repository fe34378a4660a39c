// SPDX-License-Identifier: MIT
#include "backends/common/textreaderoptions.h"

#include <QDir>

namespace msr {

bool readTextReaderOptions(const DeviceEntry &entry, const char *example,
                           TextReaderSettings *settings, QString *fault)
{
    settings->device = entry.options.value(QStringLiteral("device"));
    if (!QDir::isAbsolutePath(settings->device)) {
        *fault = QStringLiteral("device= needs an absolute path such as %1, found %2")
                     .arg(QLatin1String(example), quoted(settings->device));
        return false;
    }
    const std::optional<int> gap = intOption(entry, "gap", 150, 10, 10000, fault);
    const std::optional<bool> lrc = gap ? boolOption(entry, "lrc", false, fault) : std::nullopt;
    if (!lrc)
        return false;
    settings->gapMs = *gap;
    settings->text.lrc = *lrc;
    return true;
}

RawSource textRawSource(const char *kind, const TextReaderSettings &settings)
{
    RawSource source;
    source.kind = QLatin1String(kind);
    source.device = settings.device;
    source.settings = {
        {QStringLiteral("gap"), QString::number(settings.gapMs)},
        {QStringLiteral("lrc"), settings.text.lrc ? QStringLiteral("yes") : QStringLiteral("no")}};
    return source;
}

} // namespace msr
