#include "reader/deviceregistry.h"

#include "reader/opos.h"
#include "reader/virtualmsr.h"

#include <QFile>
#include <QRegularExpression>

namespace msr {

namespace {

const QRegularExpression &validName()
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9_.-]{1,64}$"));
    return re;
}

struct ParsedList {
    QHash<QString, QString> devices;
    QString error;
};

ParsedList parseDeviceList(const QString &path)
{
    ParsedList out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        out.error =
            QStringLiteral("%1: cannot read the device list: %2").arg(path, file.errorString());
        return out;
    }
    int lineNo = 0;
    while (!file.atEnd()) {
        ++lineNo;
        QString line = QString::fromUtf8(file.readLine());
        const qsizetype hash = line.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            line.truncate(hash);
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        const QString name = line.left(eq).trimmed();
        const QString kind = line.mid(eq + 1).trimmed();
        if (eq < 0 || !validName().match(name).hasMatch() || kind.isEmpty()) {
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
            lookup.error = parsed.error;
            return lookup;
        }
        devices = std::move(parsed.devices);
    }
    const auto device = devices.constFind(logicalName);
    if (device == devices.constEnd() || !validName().match(logicalName).hasMatch()) {
        lookup.result = opos::OPOS_E_NOEXIST;
        return lookup;
    }
    const auto kind = m_kinds.constFind(*device);
    if (kind == m_kinds.constEnd()) {
        lookup.result = opos::OPOS_E_NOSERVICE;
        lookup.error = QStringLiteral("%1: no service of kind '%2'").arg(logicalName, *device);
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
