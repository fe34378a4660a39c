#include "reader/claimlock.h"

#include "reader/opos.h"

#include <QDeadlineTimer>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
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
    const int fd = ::open(m_path.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        m_error = QStringLiteral("cannot open %1: %2")
                      .arg(m_path, QString::fromLocal8Bit(strerror(errno)));
        return opos::OPOS_E_FAILURE;
    }
    QDeadlineTimer deadline(timeout < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(timeout));
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            m_fd = fd;
            return opos::OPOS_SUCCESS;
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

} // namespace msr
