#include "reader/deviceregistry.h"

#include "reader/opos.h"
#include "reader/runtimepaths.h"
#include "reader/swipeprotocol.h"
#include "reader/virtualmsr.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace msr {

namespace {

struct ParsedList {
    QHash<QString, QString> devices;
    QString error;
};

// The whole list, or why not. Only a regular file: opening a FIFO or a
// device could block start-up for good, so it is opened without waiting
// and looked at before anything is read.
std::optional<QByteArray> readDeviceListFile(const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        *error = QStringLiteral("%1: cannot read the device list: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        *error = QStringLiteral("%1: the device list is not a regular file").arg(path);
        return std::nullopt;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error =
            QStringLiteral("%1: cannot read the device list: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    return file.readAll();
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
        QString line = QString::fromUtf8(bytes);
        const qsizetype hash = line.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            line.truncate(hash);
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const QString name = line.left(eq).trimmed();
        const QString kind = line.mid(eq + 1).trimmed();
        if (eq < 0 || !isValidDeviceName(name) || kind.isEmpty()) {
            out.error = QStringLiteral("%1:%2: expected 'NAME = KIND', found '%3'")
                            .arg(path)
                            .arg(lineNo)
                            .arg(line);
            return out;
        }
        if (out.devices.contains(name)) {
            out.error = QStringLiteral("%1:%2: %3 is listed twice").arg(path).arg(lineNo).arg(name);
            return out;
        }
        out.devices.insert(name, kind);
    }
    return out;
}

} // namespace

DeviceRegistry DeviceRegistry::fromEnvironment()
{
    DeviceRegistry registry;
    registry.addKind(QStringLiteral("virtual"), &createVirtualMsr);
    const QByteArray list = qgetenv(kEnvironmentVariable);
    if (!list.isEmpty())
        registry.setDeviceList(QString::fromLocal8Bit(list));
    else
        registry.addDevice(QString::fromLatin1(kDefaultDevice), QStringLiteral("virtual"));
    return registry;
}

void DeviceRegistry::addKind(const QString &kind, Factory factory)
{
    m_kinds.insert(kind, std::move(factory));
}

void DeviceRegistry::addDevice(const QString &logicalName, const QString &kind)
{
    m_devices.insert(logicalName, kind);
}

void DeviceRegistry::setDeviceList(const QString &path)
{
    m_listPath = path;
}

DeviceRegistry::Lookup DeviceRegistry::create(const QString &logicalName) const
{
    Lookup lookup;
    QHash<QString, QString> devices = m_devices;
    if (m_listPath) {
        ParsedList parsed = parseDeviceList(*m_listPath);
        if (!parsed.error.isEmpty()) {
            lookup.result = opos::OPOS_E_NOSERVICE;
            lookup.error = protocol::printable(parsed.error); // the list's text goes to a terminal
            return lookup;
        }
        devices = std::move(parsed.devices);
    }
    const auto device = devices.constFind(logicalName);
    if (device == devices.constEnd() || !isValidDeviceName(logicalName)) {
        lookup.result = opos::OPOS_E_NOEXIST;
        return lookup;
    }
    const auto kind = m_kinds.constFind(*device);
    if (kind == m_kinds.constEnd()) {
        lookup.result = opos::OPOS_E_NOSERVICE;
        lookup.error = protocol::printable(
            QStringLiteral("%1: no service of kind '%2'").arg(logicalName, *device));
        return lookup;
    }
    lookup.service = (*kind)(logicalName);
    if (!lookup.service) {
        lookup.result = opos::OPOS_E_NOSERVICE;
        lookup.error =
            QStringLiteral("%1: the '%2' service could not start").arg(logicalName, *device);
    }
    return lookup;
}

} // namespace msr
