#include "reader/runtimepaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace msr {

QString runtimeDirectory(QString *error)
{
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty() || !QDir().mkpath(dir)) {
        if (error)
            *error = QStringLiteral("cannot create the runtime folder %1").arg(dir);
        return {};
    }
    const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                           QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
    if (QFileInfo(dir).permissions() != ownerOnly && !QFile::setPermissions(dir, ownerOnly)) {
        if (error)
            *error = QStringLiteral("cannot make the runtime folder %1 private").arg(dir);
        return {};
    }
    return dir;
}

// Logical names are restricted by the registry, so they are safe in a file
// name. Without a private folder there is no path, rather than one elsewhere.
static QString inRuntimeDirectory(const QString &fileName)
{
    const QString dir = runtimeDirectory();
    return dir.isEmpty() ? QString() : dir + QLatin1Char('/') + fileName;
}

QString claimLockPath(const QString &logicalName)
{
    return inRuntimeDirectory(QStringLiteral("swipewatch-%1.lock").arg(logicalName));
}

QString swipeSocketPath(const QString &logicalName)
{
    return inRuntimeDirectory(QStringLiteral("swipewatch-%1.sock").arg(logicalName));
}

} // namespace msr
