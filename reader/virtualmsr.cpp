// The swipe socket
// ================
//
// While a virtual reader is claimed it listens on a local (Unix domain) socket
// at swipeSocketPath(NAME), e.g. $XDG_RUNTIME_DIR/swipewatch-MCRSTUBEX.sock.
// The folder is private to the user and the socket is owner-only; on top of
// that, a connection whose peer runs as another user is refused. The socket
// exists only while the device is claimed, and the claim holder alone
// listens, so a socket file found at claim time is a dead holder's and is
// replaced.
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
//   queued and their answers are dropped. An idle connection may stay open
//   as long as it likes; it holds one of the 64 places.
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

#include "reader/virtualmsr.h"

#include "codec/stripecodec.h"
#include "reader/claimlock.h"
#include "reader/opos.h"
#include "reader/runtimepaths.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QMetaObject>

#include <sys/socket.h>
#include <unistd.h>

namespace msr {

namespace {
// Bytes taken from a socket at a time; also Qt's read buffer, so a client
// that is not being read is held back by the kernel, not by our memory.
constexpr qint64 kReadChunk = 16 * 1024;
} // namespace

struct VirtualMsrService::Connection {
    quint64 serial = 0;
    QLocalSocket *socket = nullptr; // a child of the service
    QByteArray buffer;              // bytes read and not yet handled
    std::optional<quint64> waitingFor;
    protocol::Answer pendingAnswer; // for waitingFor
    bool serving = false;           // inside serve(): drop() must not free it
    bool closing = false;           // answered its last line; reads nothing more
    bool gone = false;              // hung up while being served
};

VirtualMsrService::VirtualMsrService(QString logicalName, QObject *parent)
    : MsrService(parent), m_name(std::move(logicalName))
{
}

VirtualMsrService::~VirtualMsrService()
{
    release();
    for (auto &[serial, connection] : m_connections) {
        connection->socket->disconnect(this);
        delete connection->socket;
    }
}

bool VirtualMsrService::isListening() const
{
    return m_server && m_server->isListening();
}

std::int32_t VirtualMsrService::claim(std::int32_t timeout)
{
    if (m_server)
        return opos::OPOS_SUCCESS;
    if (runtimeDirectory(&m_error).isEmpty()) {
        qWarning("swipewatch: %s", qPrintable(m_error));
        return opos::OPOS_E_FAILURE;
    }
    auto lock = std::make_unique<ClaimLock>(claimLockPath(m_name));
    const std::int32_t rc = lock->acquire(timeout);
    if (rc != opos::OPOS_SUCCESS) {
        m_error = lock->lastError();
        return rc;
    }
    const QString path = swipeSocketPath(m_name);
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    // Safe only because we hold the claim: whoever made this file is dead.
    QLocalServer::removeServer(path);
    if (!server->listen(path)) {
        m_error = QStringLiteral("cannot listen on %1: %2").arg(path, server->errorString());
        qWarning("swipewatch: %s", qPrintable(m_error));
        return opos::OPOS_E_FAILURE;
    }
    server->setParent(this);
    m_server = server.release();
    m_lock = std::move(lock);
    connect(m_server, &QLocalServer::newConnection, this, &VirtualMsrService::acceptConnections);
    m_error.clear();
    return opos::OPOS_SUCCESS;
}

void VirtualMsrService::release()
{
    for (auto &[serial, connection] : m_connections) {
        if (connection->waitingFor)
            settleWait(*connection, false, QString::fromLatin1(reason::kReleased));
        hangUp(*connection);
    }
    m_waits.clear();
    // The socket goes before the claim, so the next holder never finds ours.
    delete m_server;
    m_server = nullptr;
    m_lock.reset();
}

void VirtualMsrService::acceptConnections()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        const std::optional<uid_t> uid = peerUid(socket->socketDescriptor());
        if (!uid || *uid != ::geteuid()) {
            refuseConnection(socket, protocol::kOtherUser);
            continue;
        }
        if (connectionCount() >= kMaxConnections) {
            refuseConnection(socket, protocol::kTooManyConnections);
            continue;
        }
        socket->setReadBufferSize(kReadChunk);
        const quint64 serial = m_nextSerial++;
        auto connection = std::make_unique<Connection>();
        connection->serial = serial;
        connection->socket = socket;
        m_connections.emplace(serial, std::move(connection));
        connect(socket, &QLocalSocket::readyRead, this, [this, serial] { serve(serial); });
        connect(socket, &QLocalSocket::bytesWritten, this, [this, serial] { serve(serial); });
        // Queued: a failed write can report the hang-up from inside serve().
        connect(
            socket, &QLocalSocket::disconnected, this, [this, serial] { drop(serial); },
            Qt::QueuedConnection);
        serve(serial);
    }
}

void VirtualMsrService::refuseConnection(QLocalSocket *socket, const char *reason)
{
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    socket->write(protocol::formatAnswer(protocol::refusal(QString::fromLatin1(reason))));
    socket->disconnectFromServer();
    if (socket->state() == QLocalSocket::UnconnectedState)
        socket->deleteLater();
}

void VirtualMsrService::serve(quint64 serial)
{
    const auto it = m_connections.find(serial);
    if (it == m_connections.end() || it->second->serving)
        return; // gone, or the outer call carries on
    Connection &c = *it->second;
    c.serving = true;
    while (!c.closing && !c.gone && !c.waitingFor &&
           c.socket->bytesToWrite() <= kMaxUnreadAnswerBytes) {
        const qsizetype newline = c.buffer.indexOf('\n');
        if (newline < 0 && c.buffer.size() <= protocol::kMaxLineBytes) {
            if (c.socket->bytesAvailable() <= 0)
                break;
            c.buffer += c.socket->read(kReadChunk);
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
    c.serving = false;
    if (c.gone)
        drop(serial);
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
    if (c.socket->state() == QLocalSocket::ConnectedState)
        c.socket->write(protocol::formatAnswer(answer));
}

void VirtualMsrService::hangUp(Connection &c)
{
    c.closing = true;
    c.buffer.clear();
    c.socket->disconnectFromServer(); // after the answers already written
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
    c.socket->disconnect(this);
    c.socket->deleteLater();
    m_connections.erase(it);
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
