// SPDX-License-Identifier: MIT
#include "reader/deviceregistry.h"

#include "reader/opos.h"
#include "reader/runtimepaths.h"

#include <QFile>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace msr {

namespace {

struct ParsedList {
    QHash<QString, DeviceEntry> devices;
    QHash<QString, int> lines; // name -> line number, for faults found later
    QString error;
};

// The whole list, or why not. Only a regular file: opening a FIFO or a
// device could block start-up for good, so it is opened without waiting
// and looked at before anything is read. No more than the limit and one
// byte is read, whatever the file claims its size is.
std::optional<QByteArray> readDeviceListFile(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    const auto cannotRead = [&] {
        *error = QStringLiteral("%1: cannot read the device list: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return std::nullopt;
    };
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return cannotRead();
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        *error = QStringLiteral("%1: the device list is not a regular file").arg(path);
        return std::nullopt;
    }
    QByteArray text(DeviceRegistry::kListLimit + 1, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, std::size_t(text.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return cannotRead();
        if (n == 0)
            break;
        got += n;
    }
    ::close(fd);
    if (got > DeviceRegistry::kListLimit) {
        *error = QStringLiteral("%1: the device list is too large (more than %2 bytes)")
                     .arg(path)
                     .arg(DeviceRegistry::kListLimit);
        return std::nullopt;
    }
    text.truncate(got);
    return text;
}

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\v' || c == u'\f';
}

// A line's words, unquoted, up to a '#' outside quotes. Inside "...", blanks
// and '#' are kept, and \" and \\ stand for " and \; any other backslash is
// itself, as it is outside quotes. nullopt for a quote left open.
std::optional<QStringList> splitWords(QStringView line)
{
    QStringList words;
    QString word;
    bool inWord = false, inQuotes = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (inQuotes) {
            if (c == u'"')
                inQuotes = false;
            else if (c == u'\\' && i + 1 < line.size() &&
                     (line[i + 1] == u'"' || line[i + 1] == u'\\'))
                word += line[++i];
            else
                word += c;
        } else if (c == u'#') {
            break;
        } else if (isBlank(c)) {
            if (inWord)
                words << std::exchange(word, QString());
            inWord = false;
        } else {
            inWord = true;
            if (c == u'"')
                inQuotes = true;
            else
                word += c;
        }
    }
    if (inQuotes)
        return std::nullopt;
    if (inWord)
        words << word;
    return words;
}

ParsedList parseDeviceList(const QString &path)
{
    ParsedList out;
    const std::optional<QByteArray> text = readDeviceListFile(path, &out.error);
    if (!text)
        return out;
    int lineNo = 0;
    for (const QByteArray &bytes : text->split('\n')) {
        ++lineNo;
        const QString line = QString::fromUtf8(bytes);
        const auto fault = [&](const QString &what) {
            out.error = QStringLiteral("%1:%2: %3").arg(path).arg(lineNo).arg(what);
            return out;
        };
        std::optional<QStringList> words = splitWords(line);
        if (!words)
            return fault(QStringLiteral("unterminated quote: a value that starts with \" must "
                                        "end with one on the same line"));
        if (words->isEmpty())
            continue;
        // NAME = KIND, with or without blanks around the '='.
        QString name = words->takeFirst();
        if (const qsizetype eq = name.indexOf(QLatin1Char('=')); eq >= 0) {
            if (eq + 1 < name.size())
                words->prepend(name.mid(eq + 1));
            name.truncate(eq);
        } else if (!words->isEmpty() && words->first().startsWith(QLatin1Char('='))) {
            words->first().remove(0, 1);
            if (words->first().isEmpty())
                words->removeFirst();
        } else {
            name.clear(); // no '=': not a valid name
        }
        if (!isValidDeviceName(name) || words->isEmpty())
            return fault(QStringLiteral("expected 'NAME = KIND [KEY=VALUE ...]', found %1")
                             .arg(quoted(line.trimmed())));
        if (out.devices.contains(name))
            return fault(QStringLiteral("%1 is listed twice").arg(name));
        DeviceEntry entry{name, words->takeFirst(), {}};
        for (const QString &word : std::as_const(*words)) {
            const qsizetype at = word.indexOf(QLatin1Char('='));
            if (at <= 0)
                return fault(QStringLiteral("expected KEY=VALUE, found %1").arg(quoted(word)));
            const QString key = word.left(at);
            if (entry.options.contains(key))
                return fault(QStringLiteral("option %1 is given twice").arg(quoted(key)));
            entry.options.insert(key, word.mid(at + 1));
        }
        out.devices.insert(name, entry);
        out.lines.insert(name, lineNo);
    }
    return out;
}

} // namespace

DeviceRegistry DeviceRegistry::fromEnvironment()
{
    DeviceRegistry registry;
    const QByteArray list = qgetenv(kEnvironmentVariable);
    // Named in full, not AppConfigLocation: msrprobe and the tests must find
    // the window's list, not one of their own.
    const QString userList =
        QStandardPaths::locate(QStandardPaths::GenericConfigLocation,
                               QStringLiteral("swipewatch/%1").arg(QLatin1String(kUserListName)));
    if (!list.isEmpty())
        registry.setDeviceList(QString::fromLocal8Bit(list));
    else if (!userList.isEmpty())
        registry.setDeviceList(userList);
    else
        registry.addDevice(QString::fromLatin1(kDefaultDevice), QStringLiteral("virtual"));
    return registry;
}

void DeviceRegistry::addKind(const QString &kind, Factory factory)
{
    m_kinds.insert(kind, std::move(factory));
}

void DeviceRegistry::addKind(
    const QString &kind,
    std::function<std::unique_ptr<MsrService>(const QString &logicalName)> factory)
{
    addKind(kind, [kind, factory = std::move(factory)](const DeviceEntry &entry, QString *error) {
        const QString fault = checkOptionKeys(entry, {});
        if (!fault.isEmpty()) {
            *error = fault;
            return std::unique_ptr<MsrService>();
        }
        return factory(entry.name);
    });
}

void DeviceRegistry::addDevice(const QString &logicalName, const QString &kind)
{
    m_devices.insert(logicalName, DeviceEntry{logicalName, kind, {}});
}

void DeviceRegistry::setDeviceList(const QString &path)
{
    m_listPath = path;
}

std::optional<DeviceEntry> DeviceRegistry::entry(const QString &logicalName) const
{
    const ParsedList parsed =
        m_listPath ? parseDeviceList(*m_listPath) : ParsedList{m_devices, {}, {}};
    if (!parsed.error.isEmpty() || !parsed.devices.contains(logicalName))
        return std::nullopt;
    return parsed.devices.value(logicalName);
}

DeviceRegistry::Lookup DeviceRegistry::create(const QString &logicalName) const
{
    Lookup lookup;
    ParsedList parsed;
    parsed.devices = m_devices;
    if (m_listPath) {
        parsed = parseDeviceList(*m_listPath);
        if (!parsed.error.isEmpty()) {
            lookup.result = opos::OPOS_E_NOSERVICE;
            lookup.error = printable(parsed.error); // the list's text goes to a terminal
            return lookup;
        }
    }
    const auto device = parsed.devices.constFind(logicalName);
    if (device == parsed.devices.constEnd() || !isValidDeviceName(logicalName)) {
        lookup.result = opos::OPOS_E_NOEXIST;
        return lookup;
    }
    // Where a fault found now is reported: the list's line, or the name.
    const QString where =
        m_listPath ? QStringLiteral("%1:%2").arg(*m_listPath).arg(parsed.lines.value(logicalName))
                   : logicalName;
    lookup.result = opos::OPOS_E_NOSERVICE;
    const auto kind = m_kinds.constFind(device->kind);
    if (kind == m_kinds.constEnd()) {
        lookup.error =
            printable(QStringLiteral("%1: unknown kind %2").arg(where, quoted(device->kind)));
        return lookup;
    }
    QString fault;
    lookup.service = (*kind)(*device, &fault);
    if (!lookup.service) {
        lookup.error = printable(QStringLiteral("%1: %2").arg(
            where, fault.isEmpty()
                       ? QStringLiteral("the %1 service could not start").arg(device->kind)
                       : fault));
        return lookup;
    }
    lookup.result = opos::OPOS_SUCCESS;
    return lookup;
}

QString quoteListValue(const QString &value)
{
    const bool plain = !value.isEmpty() && std::none_of(value.cbegin(), value.cend(), [](QChar c) {
        return c == u'#' || c == u'"' || isBlank(c);
    });
    if (plain)
        return value;
    QString out = QStringLiteral("\"");
    for (const QChar c : value) {
        if (c == u'"' || c == u'\\')
            out += QLatin1Char('\\');
        out += c;
    }
    return out + QLatin1Char('"');
}

} // namespace msr
