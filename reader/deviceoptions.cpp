// SPDX-License-Identifier: MIT
#include "reader/deviceoptions.h"

namespace msr {

QString quoted(QStringView text)
{
    constexpr qsizetype kShown = 80;
    return QLatin1Char('\'') + text.left(kShown).toString() +
           (text.size() > kShown ? QLatin1String("...'") : QLatin1String("'"));
}

QString checkOptionKeys(const DeviceEntry &entry, std::initializer_list<const char *> known,
                        std::initializer_list<const char *> required)
{
    for (auto it = entry.options.cbegin(); it != entry.options.cend(); ++it) {
        bool ok = false;
        for (const char *key : known)
            ok = ok || it.key() == QLatin1String(key);
        if (!ok)
            return QStringLiteral("unknown option %1 for kind %2")
                .arg(quoted(it.key()), entry.kind);
    }
    for (const char *key : required) {
        if (!entry.options.contains(QLatin1String(key)))
            return QStringLiteral("kind %1 needs the option '%2='").arg(entry.kind, key);
    }
    return {};
}

std::optional<int> intOption(const DeviceEntry &entry, const char *key, int fallback, int min,
                             int max, QString *error)
{
    const auto it = entry.options.constFind(QLatin1String(key));
    if (it == entry.options.cend())
        return fallback;
    bool ok = false;
    const int value = it->toInt(&ok, 10);
    if (ok && value >= min && value <= max && !it->startsWith(QLatin1Char('+')))
        return value;
    if (error)
        *error = QStringLiteral("bad value %1 for %2: expected a whole number from %3 to %4")
                     .arg(quoted(*it), QLatin1String(key))
                     .arg(min)
                     .arg(max);
    return std::nullopt;
}

std::optional<bool> boolOption(const DeviceEntry &entry, const char *key, bool fallback,
                               QString *error)
{
    const auto it = entry.options.constFind(QLatin1String(key));
    if (it == entry.options.cend())
        return fallback;
    const QString v = it->toLower();
    if (v == u"yes" || v == u"true" || v == u"on" || v == u"1")
        return true;
    if (v == u"no" || v == u"false" || v == u"off" || v == u"0")
        return false;
    if (error)
        *error = QStringLiteral("bad value %1 for %2: expected yes or no")
                     .arg(quoted(*it), QLatin1String(key));
    return std::nullopt;
}

} // namespace msr
