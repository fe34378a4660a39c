// SPDX-License-Identifier: MIT
#include "reader/claimlock.h"

#include "reader/opos.h"
#include "reader/runtimepaths.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace msr {

ClaimLock::ClaimLock(QString path) : m_path(std::move(path)) {}

ClaimLock::~ClaimLock()
{
    release();
}

std::int32_t ClaimLock::acquire(std::int32_t timeout)
{
    if (m_fd >= 0)
        return opos::OPOS_SUCCESS;
    const QByteArray name = QFile::encodeName(m_path);
    // A link planted at the path would have us create and lock a file elsewhere.
    int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_error = errno == ELOOP
                      ? QStringLiteral("%1 is a symbolic link; the claim lock must be a plain file")
                            .arg(m_path)
                      : QStringLiteral("cannot open %1: %2")
                            .arg(m_path, QString::fromLocal8Bit(strerror(errno)));
        return opos::OPOS_E_FAILURE;
    }
    QDeadlineTimer deadline(timeout < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(timeout));
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            // A file removed or replaced between our open and our lock is
            // nobody's lock: open the one at the path now and lock again.
            struct stat held {
            }, atPath{};
            if (::fstat(fd, &held) == 0 && ::lstat(name.constData(), &atPath) == 0 &&
                held.st_dev == atPath.st_dev && held.st_ino == atPath.st_ino) {
                m_fd = fd;
                return opos::OPOS_SUCCESS;
            }
            ::close(fd);
            fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0) {
                m_error = QStringLiteral("cannot open %1: %2")
                              .arg(m_path, QString::fromLocal8Bit(strerror(errno)));
                return opos::OPOS_E_FAILURE;
            }
            continue;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            m_error = QStringLiteral("cannot lock %1: %2")
                          .arg(m_path, QString::fromLocal8Bit(strerror(errno)));
            ::close(fd);
            return opos::OPOS_E_FAILURE;
        }
        if (timeout == 0 || deadline.hasExpired()) {
            m_error = QStringLiteral("another process holds %1").arg(m_path);
            ::close(fd);
            return opos::OPOS_E_TIMEOUT;
        }
        // A claim with a timeout blocks the caller, as the method is synchronous.
        QThread::msleep(20);
    }
}

void ClaimLock::release()
{
    if (m_fd < 0)
        return;
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
}

DeviceClaim::DeviceClaim() = default;

DeviceClaim::~DeviceClaim()
{
    release();
}

int DeviceClaim::take(int fd, QString *why)
{
    if (m_fd >= 0)
        return 0;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        *why = QString::fromLocal8Bit(strerror(error));
        return error;
    }
    const QString busy = QStringLiteral("another program has it open");
    // A stand-in for a node (a test's socket) has no number: its flock alone claims it.
    if (S_ISCHR(st.st_mode)) {
        const QString number =
            QStringLiteral("%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev));
        QString folderFault;
        if (runtimeDirectory(&folderFault).isEmpty()) {
            *why = folderFault;
            return ENOLCK;
        }
        // ':' is in no logical name, so this is no device's claim by name.
        auto file = std::make_unique<ClaimLock>(claimLockPath(QStringLiteral("device-") + number));
        switch (file->acquire(0)) {
        case opos::OPOS_SUCCESS:
            break;
        case opos::OPOS_E_TIMEOUT:
            *why = QStringLiteral("%1 (device %2)").arg(busy, number);
            return EBUSY;
        default:
            *why = file->lastError();
            return ENOLCK;
        }
        m_file = std::move(file);
    }
    // Our own descriptor, so the flock lasts as long as the claim whoever closes fd.
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    int error = own < 0 ? errno : 0;
    while (!error && ::flock(own, LOCK_EX | LOCK_NB) != 0)
        if ((error = errno) == EINTR)
            error = 0;
    if (error) {
        if (own >= 0)
            ::close(own);
        m_file.reset();
        const bool held = error == EWOULDBLOCK;
        *why = held ? busy : QString::fromLocal8Bit(strerror(error));
        return held ? EBUSY : error;
    }
    m_fd = own;
    return 0;
}

void DeviceClaim::release()
{
    if (m_fd >= 0) {
        // Unlocked outright: the caller may still hold the node open.
        ::flock(m_fd, LOCK_UN);
        ::close(m_fd);
    }
    m_fd = -1;
    m_file.reset();
}

} // namespace msr
