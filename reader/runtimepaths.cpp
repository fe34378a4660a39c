// SPDX-License-Identifier: MIT
#include "reader/runtimepaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace msr {

namespace {

// Where Qt and other programs go without XDG_RUNTIME_DIR: under the
// temporary folder, named after the user.
QString fallbackRuntimeDirectory()
{
    const uid_t uid = ::geteuid();
    QString user = QString::number(uid);
    char buffer[4096];
    passwd entry{};
    passwd *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        user = QFile::decodeName(found->pw_name);
    // TMPDIR as given: QDir::tempPath() turns a missing folder into "".
    QString temp = qEnvironmentVariable("TMPDIR");
    if (!QDir::isAbsolutePath(temp))
        temp = QStringLiteral("/tmp");
    return QDir::cleanPath(temp) + QStringLiteral("/runtime-") + user;
}

} // namespace

QString runtimeDirectory(QString *error)
{
    // A relative value is to be ignored, as if unset: it would name a
    // different folder for every working directory.
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!QDir::isAbsolutePath(dir))
        dir = fallbackRuntimeDirectory();
    const auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return QString();
    };
    const QByteArray name = QFile::encodeName(dir);
    if (!QDir().mkpath(dir))
        return fail(QStringLiteral("cannot create the runtime folder %1: %2")
                        .arg(dir, QString::fromLocal8Bit(std::strerror(errno))));
    // In a shared temporary folder anyone may have made it first, or put a
    // link there: it must be a real folder, and ours.
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
        return fail(QStringLiteral("the runtime folder %1 is not a folder of this user").arg(dir));
    if ((st.st_mode & 07777) != 0700 && ::chmod(name.constData(), 0700) != 0)
        return fail(QStringLiteral("cannot make the runtime folder %1 private").arg(dir));
    return dir;
}

// Logical names are checked by isValidDeviceName, so they are safe in a file
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

QString socketPathProblem(const QString &path)
{
    constexpr std::size_t limit = sizeof(sockaddr_un::sun_path) - 1; // and its NUL
    if (std::size_t(QFile::encodeName(path).size()) <= limit)
        return {};
    return QStringLiteral("the socket path %1 is longer than a local socket path may be (at most "
                          "%2 bytes): set XDG_RUNTIME_DIR to a shorter folder")
        .arg(path)
        .arg(limit);
}

bool isValidDeviceName(QStringView name)
{
    if (name.isEmpty() || name.size() > 64)
        return false;
    for (const QChar c : name) {
        const char16_t u = c.unicode();
        const bool ok = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') ||
                        (u >= '0' && u <= '9') || u == '_' || u == '.' || u == '-';
        if (!ok)
            return false;
    }
    return true;
}

QString printable(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            out += QStringLiteral("\\x") +
                   QString::number(int(u), 16).toUpper().rightJustified(2, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString programName()
{
    QString name = QCoreApplication::applicationName();
    if (name.isEmpty())
        name = QString::fromLocal8Bit(program_invocation_short_name);
    return name.isEmpty() ? QStringLiteral("swipewatch") : printable(name);
}

void sayOnStderr(const QString &text)
{
    // Through Qt's message handler, so a test can expect the line.
    qWarning("%s: %s", qUtf8Printable(programName()), qUtf8Printable(printable(text)));
}

} // namespace msr
