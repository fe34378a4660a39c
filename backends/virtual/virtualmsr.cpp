// SPDX-License-Identifier: MIT
// The swipe socket
// ================
//
// While a virtual reader is claimed it listens on a local (Unix domain) socket
// at swipeSocketPath(NAME), e.g. $XDG_RUNTIME_DIR/swipewatch-MCRSTUBEX.sock.
// The folder is private to the user and the socket is owner-only; on top of
// that, a connection whose peer runs as another user is refused. The socket
// exists only while the device is claimed, and the claim holder alone
// listens: a claim is refused while anyone answers on the socket, and a
// socket file that refuses connections is a dead holder's and is replaced.
// When the reader cannot accept a connection (out of file descriptors, say),
// it says so on standard error and tries again shortly; the connection waits.
//
// Framing
//   One JSON object per line, UTF-8, each line ending in '\n' (a '\r' before
//   it is JSON whitespace, so CRLF lines work). Every line a client sends gets
//   exactly one answer line, and answers come in the order of the lines.
//
// Request
//   {"swipe":{"track1":BITS,"track2":BITS,"track3":BITS},"wait":BOOL}
//
//   BITS   a string of '0' and '1': the track's bits in the order the head
//          senses them, at most 16384. An absent track, or "", has no bits
//          and reads as a good, empty track.
//   wait   optional, default false. false: answer once the swipe is queued.
//          true: answer once the window's handlers for the swipe's last event
//          have returned, or once its events were dropped unseen.
//   Any other key, at either level, is refused. A line is at most 65536
//   bytes, '\n' not counted.
//
// Answer
//   {"result":"accepted","id":N,"tracks":{"track1":T,"track2":T,"track3":T}}
//   {"result":"delivered","id":N,"tracks":{"track1":T,"track2":T,"track3":T}}
//   {"result":"refused","reason":TEXT}
//   {"result":"refused","reason":TEXT,"id":N,"tracks":{...}}
//
//   N      the reader's number for the swipe. A refusal with an id was queued
//          and then dropped (wait only); without an id it was never queued.
//   T      {"error":CODE,"length":LEN}, plus "reversed":true when the track
//          read as a backwards swipe. CODE is the track's read error: 0 good,
//          201 start sentinel, 202 end sentinel, 203 parity, 204 LRC, 205 any
//          other fault. LEN counts the characters read. The text itself is
//          not sent back.
//
// Refusal reasons
//   reader is disabled                the window has not enabled the device
//   reader is not claimed             the device is no longer the window's
//   queue full                        256 swipes are already pending
//   input cleared after a read error  (wait) the window cleared the queue
//   reader was released               (wait) the window released the device
//   malformed request: WHAT           not JSON, not an object, a wrong type,
//                                     an unknown key, a bit other than 0 or 1,
//                                     more than 16384 bits, an empty line
//   line longer than 65536 bytes      then the reader hangs up
//   too many connections              64 are open; then the reader hangs up
//   connection from another user      then the reader hangs up
//
// Flow
//   Lines on one connection are handled one at a time: after a "wait"
//   request, the next line is not read until that request is answered.
//   While more than 64 KiB of answers wait for a client to read them, its
//   further lines are not read either. A client that hangs up loses its
//   partial line and any lines not yet read; swipes already queued stay
//   queued and their answers are dropped. A client that only shuts down its
//   sending side (as socat does at the end of its input) still gets an answer
//   to every whole line it sent, waits included; then the reader hangs up.
//   An idle connection may stay open as long as it likes; it holds one of
//   the 64 places. When the window releases the reader, a waiting client is
//   told so before the reader hangs up.
//
// Example
//   $ socat - UNIX-CONNECT:$XDG_RUNTIME_DIR/swipewatch-MCRSTUBEX.sock
//   > {"swipe":{"track2":"0000000000000000000000001101000001...0000"},"wait":true}
//   < {"result":"delivered","id":1,"tracks":{"track1":{"error":0,"length":0},
//      "track2":{"error":0,"length":37},"track3":{"error":0,"length":0}}}
//   > {"swipe":{"track2":"1"}}
//   < {"result":"accepted","id":2,"tracks":{"track1":{"error":0,"length":0},
//      "track2":{"error":201,"length":0},"track3":{"error":0,"length":0}}}
//   > {"swipe":{"track4":""}}
//   < {"result":"refused","reason":"malformed request: unknown track \"track4\" in \"swipe\""}
//   (each answer is one line; wrapped here)

#include "backends/virtual/virtualmsr.h"

#include "codec/stripecodec.h"
#include "reader/claimlock.h"
#include "reader/opos.h"
#include "reader/runtimepaths.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace msr {

namespace {
// Bytes taken from a socket at a time. A client is read only while its lines
// are wanted, so one that runs ahead is held back by the kernel, not by our
// memory.
constexpr qint64 kReadChunk = 16 * 1024;
// How soon a failed accept() is tried again.
constexpr int kAcceptRetryMs = 250;
// How long a refused client may take to hang up before we do.
constexpr int kRefusedLingerMs = 2000;

QString lastOsError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool toAddress(const QString &path, sockaddr_un *address)
{
    const QByteArray name = QFile::encodeName(path);
    if (std::size_t(name.size()) >= sizeof address->sun_path)
        return false;
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, name.constData(), std::size_t(name.size()));
    return true;
}

// Whether a process accepts connections on path. A dead holder's socket file
// refuses them; a full backlog still means someone listens.
bool someoneListens(const QString &path)
{
    sockaddr_un address;
    if (!toAddress(path, &address))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool live =
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 ||
        errno == EAGAIN || errno == EINPROGRESS;
    ::close(fd);
    return live;
}

// The client closed its end for good, rather than only its sending side.
bool hungUp(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR));
}

} // namespace

struct VirtualMsrService::Connection {
    quint64 serial = 0;
    int fd = -1;
    QSocketNotifier *readable = nullptr; // children of the service
    QSocketNotifier *writable = nullptr;
    QByteArray buffer; // bytes read and not yet handled
    QByteArray unsent; // answers the kernel has not taken yet
    std::optional<quint64> waitingFor;
    protocol::Answer pendingAnswer; // for waitingFor
    bool serving = false;           // inside serve(): drop() must not free it
    bool readClosed = false;        // the client sends no more; its lines still count
    bool closing = false;           // answered its last line; reads nothing more
    bool gone = false;              // to be dropped: hung up, or closed by us
};

VirtualMsrService::VirtualMsrService(QString logicalName, QObject *parent)
    : MsrService(parent), m_name(std::move(logicalName))
{
    m_acceptRetry.setSingleShot(true);
    m_acceptRetry.setInterval(kAcceptRetryMs);
    connect(&m_acceptRetry, &QTimer::timeout, this, &VirtualMsrService::resumeAccepting);
}

VirtualMsrService::~VirtualMsrService()
{
    release();
}

bool VirtualMsrService::isListening() const
{
    return m_listenFd >= 0;
}

std::int32_t VirtualMsrService::claim(std::int32_t timeout)
{
    if (m_lock)
        return opos::OPOS_SUCCESS;
    const std::int32_t rc = takeClaim(timeout);
    if (rc == opos::OPOS_E_FAILURE)
        sayOnStderr(m_error);
    else if (rc == opos::OPOS_SUCCESS)
        m_error.clear();
    return rc;
}

std::int32_t VirtualMsrService::takeClaim(std::int32_t timeout)
{
    if (runtimeDirectory(&m_error).isEmpty())
        return opos::OPOS_E_FAILURE;
    m_path = swipeSocketPath(m_name);
    m_error = socketPathProblem(m_path);
    if (!m_error.isEmpty())
        return opos::OPOS_E_FAILURE;
    const QDeadlineTimer deadline(timeout < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(timeout));
    for (;;) {
        auto lock = std::make_unique<ClaimLock>(claimLockPath(m_name));
        const std::int32_t rc =
            lock->acquire(timeout < 0 ? -1 : std::int32_t(deadline.remainingTime()));
        if (rc != opos::OPOS_SUCCESS) {
            m_error = lock->lastError();
            return rc;
        }
        // The lock file can be removed or replaced under a live holder (a
        // cleaner of temporary folders), and then a second lock is no claim:
        // whoever answers on the socket holds the reader.
        if (!someoneListens(m_path)) {
            if (!listen())
                return opos::OPOS_E_FAILURE;
            m_lock = std::move(lock);
            return opos::OPOS_SUCCESS;
        }
        lock.reset();
        if (timeout == 0 || deadline.hasExpired()) {
            m_error =
                QStringLiteral("another process holds %1: it answers on %2").arg(m_name, m_path);
            return opos::OPOS_E_TIMEOUT;
        }
        QThread::msleep(20); // a claim with a timeout blocks, as the method is synchronous
    }
}

// Listens on m_path, replacing a dead holder's socket file.
bool VirtualMsrService::listen()
{
    sockaddr_un address;
    toAddress(m_path, &address);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    struct stat st {};
    ::unlink(address.sun_path);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::chmod(address.sun_path, 0600) != 0 || ::listen(fd, SOMAXCONN) != 0 ||
        ::lstat(address.sun_path, &st) != 0) {
        m_error = QStringLiteral("cannot listen on %1: %2").arg(m_path, lastOsError());
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    m_listenFd = fd;
    m_socketFile = {st.st_dev, st.st_ino};
    m_listener = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    connect(m_listener, &QSocketNotifier::activated, this, &VirtualMsrService::acceptConnections);
    return true;
}

void VirtualMsrService::stopListening()
{
    m_acceptRetry.stop();
    m_acceptFailed = false;
    if (m_listenFd < 0)
        return;
    closeListener();
    // Ours only: never remove a socket someone else has put there since.
    struct stat st {};
    const QByteArray name = QFile::encodeName(m_path);
    if (::lstat(name.constData(), &st) == 0 && st.st_dev == m_socketFile.first &&
        st.st_ino == m_socketFile.second)
        ::unlink(name.constData());
}

void VirtualMsrService::closeListener()
{
    m_listener->setEnabled(false);
    m_listener->deleteLater(); // we may be inside its signal
    m_listener = nullptr;
    ::close(m_listenFd);
    m_listenFd = -1;
}

void VirtualMsrService::release()
{
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        Connection &c = *it->second;
        if (c.waitingFor)
            settleWait(c, false, QString::fromLatin1(reason::kReleased));
        // What the kernel has taken by now is all the client gets.
        c.gone = true;
        if (c.serving) {
            ++it; // serve() drops it on its way out
            continue;
        }
        closeConnection(c);
        it = m_connections.erase(it);
    }
    m_waits.clear();
    while (!m_refused.empty())
        forgetRefused(m_refused.begin()->first);
    // The socket goes before the claim, so the next holder never finds ours.
    stopListening();
    m_lock.reset();
}

void VirtualMsrService::resumeAccepting()
{
    if (m_listenFd < 0) { // the listener broke: a new one, in the claim we hold
        if (!m_lock || !listen()) {
            if (m_lock)
                m_acceptRetry.start();
            return;
        }
        sayOnStderr(QStringLiteral("listening on %1 again").arg(m_path));
    }
    m_listener->setEnabled(true);
    acceptConnections();
}

void VirtualMsrService::acceptConnections()
{
    while (m_listenFd >= 0) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            // Out of descriptors or memory, the client waits in the backlog
            // while the shortage passes; anything else, we listen anew.
            const bool shortage =
                errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
            if (!m_acceptFailed)
                sayOnStderr(QStringLiteral("cannot accept a connection on %1: %2; trying again")
                                .arg(m_path, lastOsError()));
            m_acceptFailed = true;
            if (shortage)
                m_listener->setEnabled(false);
            else
                closeListener();
            m_acceptRetry.start();
            return;
        }
        if (m_acceptFailed) {
            m_acceptFailed = false;
            sayOnStderr(QStringLiteral("accepting connections on %1 again").arg(m_path));
        }
        const std::optional<uid_t> uid = peerUid(fd);
        if (!uid || *uid != ::geteuid()) {
            refuseConnection(fd, protocol::kOtherUser);
            continue;
        }
        if (connectionCount() >= kMaxConnections) {
            refuseConnection(fd, protocol::kTooManyConnections);
            continue;
        }
        const quint64 serial = m_nextSerial++;
        auto connection = std::make_unique<Connection>();
        connection->serial = serial;
        connection->fd = fd;
        connection->readable = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
        connection->writable = new QSocketNotifier(qintptr(fd), QSocketNotifier::Write, this);
        connection->writable->setEnabled(false);
        connect(connection->readable, &QSocketNotifier::activated, this, [this, serial] {
            const auto it = m_connections.find(serial);
            if (it != m_connections.end() && !it->second->serving)
                readSome(*it->second);
            serve(serial);
        });
        connect(connection->writable, &QSocketNotifier::activated, this, [this, serial] {
            const auto it = m_connections.find(serial);
            if (it != m_connections.end())
                flush(*it->second);
            serve(serial);
        });
        m_connections.emplace(serial, std::move(connection));
        serve(serial);
    }
}

// One line, then the hang-up. Closing at once, with the client's first line
// unread, would reset the connection and lose the refusal on the way: what
// the client sends is read and dropped until it hangs up, for a while.
void VirtualMsrService::refuseConnection(int fd, const char *reason)
{
    const QByteArray line = protocol::formatAnswer(protocol::refusal(QString::fromLatin1(reason)));
    (void)::send(fd, line.constData(), std::size_t(line.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_WR);
    if (m_refused.size() >= std::size_t(kMaxConnections)) {
        ::close(fd);
        return;
    }
    auto *notifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    m_refused.emplace(fd, notifier);
    connect(notifier, &QSocketNotifier::activated, this, [this, fd] {
        char discard[4096];
        ssize_t n;
        while ((n = ::recv(fd, discard, sizeof discard, MSG_DONTWAIT)) > 0) {
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            forgetRefused(fd);
    });
    QTimer::singleShot(kRefusedLingerMs, notifier, [this, fd] { forgetRefused(fd); });
}

void VirtualMsrService::forgetRefused(int fd)
{
    const auto it = m_refused.find(fd);
    if (it == m_refused.end())
        return;
    it->second->setEnabled(false);
    it->second->deleteLater(); // we may be inside its signal
    ::close(fd);
    m_refused.erase(it);
}

void VirtualMsrService::serve(quint64 serial)
{
    const auto it = m_connections.find(serial);
    if (it == m_connections.end() || it->second->serving)
        return; // gone, or the outer call carries on
    Connection &c = *it->second;
    c.serving = true;
    while (!c.closing && !c.gone && !c.waitingFor && c.unsent.size() <= kMaxUnreadAnswerBytes) {
        const qsizetype newline = c.buffer.indexOf('\n');
        if (newline < 0 && c.buffer.size() <= protocol::kMaxLineBytes) {
            if (c.readClosed) {
                hangUp(c); // every whole line is answered; a partial one is lost
                break;
            }
            if (!readSome(c))
                break;
            continue;
        }
        if (newline < 0 || newline > protocol::kMaxLineBytes) {
            answer(c, protocol::refusal(QString::fromLatin1(protocol::kLineTooLong)));
            hangUp(c);
            break;
        }
        QByteArray line = c.buffer.left(newline);
        c.buffer.remove(0, newline + 1);
        handleLine(c, line);
    }
    if (c.closing && c.unsent.isEmpty())
        c.gone = true;
    // Read on until a whole line waits in the buffer, so a hang-up is seen
    // even during a wait; beyond that the kernel holds the client back.
    c.readable->setEnabled(!c.closing && !c.gone && !c.readClosed && c.buffer.indexOf('\n') < 0 &&
                           c.buffer.size() <= protocol::kMaxLineBytes);
    c.serving = false;
    if (c.gone)
        drop(serial);
}

// Takes what the client has sent; false when nothing has come yet.
bool VirtualMsrService::readSome(Connection &c)
{
    char chunk[kReadChunk];
    const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
        c.buffer.append(chunk, n);
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return false;
    if (n < 0 && errno == EINTR)
        return true;
    // End of input. A client that shut only its sending side still reads;
    // one that hung up loses its lines not yet read.
    c.readClosed = true;
    if (n < 0 || hungUp(c.fd))
        c.gone = true;
    return true;
}

void VirtualMsrService::handleLine(Connection &c, const QByteArray &line)
{
    const protocol::ParsedRequest parsed = protocol::parseRequest(line);
    if (!parsed.request) {
        answer(c, protocol::refusal(parsed.error));
        return;
    }
    const bool wait = parsed.request->wait;
    protocol::Answer result;
    result.id = m_nextSwipe++;
    const SwipeRead read = readStripe(parsed.request->tracks, &result.tracks);
    const quint64 id = *result.id;
    if (wait) {
        // Registered first: the control may finish the swipe before
        // reportSwipe returns.
        c.waitingFor = id;
        c.pendingAnswer = result;
        m_waits[id] = c.serial;
    }
    const SwipeVerdict verdict = reportSwipe(id, read);
    if (!verdict.accepted) {
        if (wait) {
            m_waits.erase(id);
            c.waitingFor.reset();
        }
        answer(c,
               protocol::refusal(verdict.reason.isEmpty() ? QString::fromLatin1(protocol::kDropped)
                                                          : verdict.reason));
        return;
    }
    if (!wait) {
        result.result = protocol::Result::Accepted;
        answer(c, result);
    }
}

void VirtualMsrService::swipeFinished(quint64 id, bool delivered, const QString &reason)
{
    const auto wait = m_waits.find(id);
    if (wait == m_waits.end())
        return; // not waited for, or its client is gone
    const quint64 serial = wait->second;
    m_waits.erase(wait);
    const auto it = m_connections.find(serial);
    if (it == m_connections.end() || it->second->waitingFor != id)
        return;
    settleWait(*it->second, delivered, reason);
    // Later: the control is in the middle of its own bookkeeping, and the
    // next line may be a swipe for it.
    QMetaObject::invokeMethod(
        this, [this, serial] { serve(serial); }, Qt::QueuedConnection);
}

// The one answer a "wait" request gets: delivered, or refused with why.
void VirtualMsrService::settleWait(Connection &c, bool delivered, const QString &why)
{
    protocol::Answer last = std::move(c.pendingAnswer);
    c.waitingFor.reset();
    last.result = delivered ? protocol::Result::Delivered : protocol::Result::Refused;
    if (!delivered)
        last.reason = why.isEmpty() ? QString::fromLatin1(protocol::kDropped) : why;
    answer(c, last);
}

void VirtualMsrService::answer(Connection &c, const protocol::Answer &answer)
{
    if (c.gone)
        return;
    c.unsent += protocol::formatAnswer(answer);
    flush(c);
}

// Hands the kernel what it takes now; the rest waits for the socket to drain.
void VirtualMsrService::flush(Connection &c)
{
    while (!c.unsent.isEmpty() && !c.gone) {
        const ssize_t n = ::send(c.fd, c.unsent.constData(), std::size_t(c.unsent.size()),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            c.unsent.remove(0, n);
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        else
            c.gone = true; // the client no longer reads
    }
    if (c.gone)
        c.unsent.clear();
    c.writable->setEnabled(!c.unsent.isEmpty());
}

void VirtualMsrService::hangUp(Connection &c)
{
    c.closing = true; // closed once the answers already written are sent
    c.buffer.clear();
}

void VirtualMsrService::drop(quint64 serial)
{
    const auto it = m_connections.find(serial);
    if (it == m_connections.end())
        return;
    Connection &c = *it->second;
    if (c.serving) {
        c.gone = true;
        return;
    }
    if (c.waitingFor)
        m_waits.erase(*c.waitingFor);
    closeConnection(c);
    m_connections.erase(it);
}

void VirtualMsrService::closeConnection(Connection &c)
{
    // Later: we may be inside one of their signals.
    for (QSocketNotifier *notifier : {c.readable, c.writable}) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    ::close(c.fd);
}

SwipeRead readStripe(const std::array<protocol::TrackBits, 3> &tracks,
                     std::array<protocol::TrackResult, 3> *summary)
{
    SwipeRead read;
    for (int t = 0; t < 3; ++t) {
        const stripe::Decoded decoded = stripe::decodeTrack(t + 1, tracks[std::size_t(t)]);
        TrackRead &track = read.tracks[std::size_t(t)];
        if (!decoded.empty) {
            track.text = QString::fromLatin1(decoded.text.data(), qsizetype(decoded.text.size()));
            track.error = decoded.error;
        }
        if (summary)
            (*summary)[std::size_t(t)] = {track.error, int(track.text.size()),
                                          !decoded.empty && decoded.reversed};
    }
    return read;
}

std::optional<uid_t> peerUid(qintptr socketDescriptor)
{
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (socketDescriptor < 0 ||
        ::getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
        size != sizeof credentials)
        return std::nullopt;
    return credentials.uid;
}

std::unique_ptr<MsrService> createVirtualMsr(const QString &logicalName)
{
    return std::make_unique<VirtualMsrService>(logicalName);
}

} // namespace msr
