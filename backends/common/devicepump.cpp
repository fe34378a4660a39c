// SPDX-License-Identifier: MIT
#include "backends/common/devicepump.h"

#include "backends/common/udevdevice.h"
#include "reader/opos.h"
#include "reader/runtimepaths.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace msr {

namespace {

class EvdevOps : public DeviceOps {
public:
    int grab(int fd) override { return ::ioctl(fd, EVIOCGRAB, 1) == 0 ? 0 : errno; }
    int ungrab(int fd) override { return ::ioctl(fd, EVIOCGRAB, 0) == 0 ? 0 : errno; }
};

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

ReturnWatch::ReturnWatch(QString name, QString subsystem, Reopen reopen, QObject *parent)
    : QObject(parent), m_name(std::move(name)), m_subsystem(std::move(subsystem)),
      m_reopen(std::move(reopen))
{
}

void ReturnWatch::start()
{
    m_active = true;
    if (m_subsystem.isEmpty() || m_monitor || m_poll)
        return;
    m_monitor = new udev::Monitor({m_subsystem}, this);
    if (m_monitor->isValid()) {
        connect(m_monitor, &udev::Monitor::added, this, &ReturnWatch::look);
        return;
    }
    delete std::exchange(m_monitor, nullptr);
    static bool said = false;
    if (!std::exchange(said, true))
        sayOnStderr(QStringLiteral("udev is not running here: an unplugged reader is looked for "
                                   "every %1 ms instead of when it is plugged in")
                        .arg(kFallbackPollMs));
    m_poll = new QTimer(this);
    m_poll->setInterval(kFallbackPollMs);
    connect(m_poll, &QTimer::timeout, this, &ReturnWatch::look);
}

void ReturnWatch::stop()
{
    m_active = false;
    m_saidTaken = false;
    delete std::exchange(m_monitor, nullptr);
    delete std::exchange(m_poll, nullptr);
}

void ReturnWatch::away()
{
    if (m_poll)
        m_poll->start();
}

void ReturnWatch::look()
{
    // Any device added in the subsystem may be ours: the configured path, or
    // the owner's ids, decide.
    if (!m_active)
        return;
    QString why;
    const int error = m_reopen(&why);
    if (error == EBUSY && !std::exchange(m_saidTaken, true))
        sayOnStderr(QStringLiteral("%1: %2; waiting for it to be let go").arg(m_name, why));
    if (error == EBUSY && !m_poll && !std::exchange(m_retryQueued, true))
        QTimer::singleShot(kFallbackPollMs, this, [this] {
            m_retryQueued = false;
            look();
        });
    if (error)
        return;
    m_saidTaken = false;
    if (m_poll)
        m_poll->stop();
    emit back();
}

std::unique_ptr<DeviceOps> evdevDeviceOps()
{
    return std::make_unique<EvdevOps>();
}

int openDeviceNode(const QString &path)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -errno;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        ::close(fd);
        return -ENODEV;
    }
    return fd;
}

std::int32_t claimNode(const QString &name, std::int32_t timeout,
                       const std::function<int()> &attempt, const QString *why)
{
    const QDeadlineTimer deadline(timeout < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                              : QDeadlineTimer(timeout));
    int error = 0;
    // ClaimDevice is synchronous: a claim with a timeout blocks the caller.
    while ((error = attempt()) == EBUSY && timeout != 0 && !deadline.hasExpired())
        QThread::msleep(20);
    if (error)
        sayOnStderr(name + QStringLiteral(": ") + *why);
    switch (error) {
    case 0:
        return opos::OPOS_SUCCESS;
    case EBUSY:
        return opos::OPOS_E_TIMEOUT;
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
    case ENODEV:
    case ENXIO:
        return opos::OPOS_E_NOHARDWARE;
    default:
        return opos::OPOS_E_FAILURE;
    }
}

QString claimErrorText(const QString &path, int error, const QString &why,
                       const QString &accessHint)
{
    if (error == EBUSY && why.isEmpty())
        return QStringLiteral("%1 is held by another program").arg(path);
    QString text =
        QStringLiteral("cannot use %1: %2").arg(path, why.isEmpty() ? errorText(error) : why);
    if (error == ENOENT || error == ENXIO)
        text += QStringLiteral("; is the reader plugged in?");
    if ((error == EACCES || error == EPERM) && !accessHint.isEmpty())
        text += QStringLiteral("; ") + accessHint;
    return text;
}

QString udevRuleAdvice(const QString &path)
{
    // A command to paste: an odd path goes in single quotes.
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9/._:+-]+$"));
    const QString word =
        plain.match(path).hasMatch()
            ? path
            : QLatin1Char('\'') +
                  QString(path).replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
                  QLatin1Char('\'');
    return QStringLiteral("as root, run \"msrprobe --udev-rule %1 > "
                          "/etc/udev/rules.d/70-swipewatch.rules\", then \"udevadm control "
                          "--reload\" and \"udevadm trigger\", or replug the reader")
        .arg(word);
}

QString groupAccessHint(const QString &path, const QString &fallback, unsigned groupNeeds)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("such nodes belong to group '%1': add the user to it (usermod -aG "
                              "%1 $USER, then log in again)")
            .arg(fallback);
    const group *g = ::getgrgid(st.st_gid);
    const QString name = g ? QString::fromLocal8Bit(g->gr_name) : QString::number(st.st_gid);
    // Joining root's group is no fix, and no group helps where the mode
    // leaves the group out.
    if (st.st_gid == 0 || (st.st_mode & groupNeeds) != groupNeeds)
        return QStringLiteral("joining its group '%1' would not help (mode %2): ")
                   .arg(name)
                   .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0')) +
               udevRuleAdvice(path);
    return QStringLiteral("the node belongs to group '%1': add the user to it (usermod -aG %1 "
                          "$USER, then log in again) or grant access with a udev rule")
        .arg(name);
}

DevicePump::DevicePump(QString name, QString path, QString subsystem, DeviceOpener opener,
                       QObject *parent)
    : QObject(parent), m_name(std::move(name)), m_path(std::move(path)),
      m_subsystem(std::move(subsystem)),
      m_opener(opener ? std::move(opener) : DeviceOpener(&openDeviceNode)),
      m_return(new ReturnWatch(
          m_name, m_subsystem,
          [this](QString *why) {
              if (!m_open || m_fd >= 0)
                  return EALREADY;
              const int error = tryOpen();
              *why = m_error;
              return error;
          },
          this))
{
    connect(m_return, &ReturnWatch::back, this, &DevicePump::comeBack);
}

DevicePump::~DevicePump()
{
    close();
}

std::int32_t DevicePump::open(std::int32_t timeout)
{
    if (m_open)
        return opos::OPOS_SUCCESS;
    if (const std::int32_t rc = claimNode(
            m_name, timeout, [this] { return tryOpen(); }, &m_error))
        return rc;
    m_open = true;
    m_error.clear();
    startReading();
    m_return->start();
    return opos::OPOS_SUCCESS;
}

void DevicePump::close()
{
    m_open = false;
    m_return->stop();
    if (m_fd >= 0 && m_unprepare)
        m_unprepare(m_fd);
    closeFd();
}

int DevicePump::tryOpen()
{
    QString why;
    const QString path = m_locate ? m_locate(&why) : m_path;
    if (path.isEmpty()) {
        m_error = why;
        return ENODEV;
    }
    const int fd = m_opener(path);
    int error = fd < 0 ? -fd : 0;
    // Claimed before the prepare hook touches it, as that may change the device.
    if (!error && (error = m_claim.take(fd, &why)) == 0 && m_prepare &&
        (error = m_prepare(fd, path, &why)) != 0)
        m_claim.release();
    if (error && fd >= 0)
        ::close(fd);
    if (error) {
        m_error = claimErrorText(path, error, why, m_accessHint ? m_accessHint(path) : QString());
        return error;
    }
    // Reads must never block the window, whatever the opener gave.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    m_fd = fd;
    m_current = path;
    return 0;
}

void DevicePump::setPaused(bool paused)
{
    m_paused = paused;
    if (m_notifier)
        m_notifier->setEnabled(!paused);
}

void DevicePump::startReading()
{
    m_notifier = new QSocketNotifier(qintptr(m_fd), QSocketNotifier::Read, this);
    m_notifier->setEnabled(!m_paused);
    connect(m_notifier, &QSocketNotifier::activated, this, &DevicePump::readAvailable);
}

void DevicePump::readAvailable()
{
    QByteArray buffer(m_readSize, Qt::Uninitialized);
    // A bounded number of reads, so a flooding device cannot starve the window.
    for (int i = 0; i < 64 && m_fd >= 0 && !m_paused; ++i) {
        const int fd = m_fd;
        const ssize_t n = ::read(fd, buffer.data(), std::size_t(buffer.size()));
        if (n > 0) {
            emit dataRead(buffer.first(n));
            if (m_fd != fd)
                return; // the owner released it
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        lose(n == 0 ? QStringLiteral("end of file") : errorText(errno));
        return;
    }
}

void DevicePump::lose(const QString &why)
{
    closeFd();
    sayOnStderr(QStringLiteral("%1: the reader at %2 went away (%3); still claimed, waiting for it "
                               "to come back")
                    .arg(m_name, m_current, why));
    m_return->away();
    emit wentAway();
}

void DevicePump::comeBack()
{
    startReading();
    sayOnStderr(QStringLiteral("%1: the reader at %2 is back").arg(m_name, m_current));
    emit cameBack();
}

void DevicePump::closeFd()
{
    if (m_notifier) {
        // Possibly inside its own activated signal.
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_claim.release();
}

} // namespace msr
