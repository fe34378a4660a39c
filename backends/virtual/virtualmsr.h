// SPDX-License-Identifier: MIT
// The built-in virtual reader: a service whose "head" is a local socket. A
// feeder (msrswipe) writes the bits of a card's tracks into it, the service
// decodes them as a reader would and hands the swipe to the control. The
// socket protocol is described at the top of virtualmsr.cpp.
#pragma once

#include "backends/virtual/swipeprotocol.h"
#include "reader/msrservice.h"

#include <QString>
#include <QTimer>

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <sys/types.h>

class QSocketNotifier;

namespace msr {

class ClaimLock;

class VirtualMsrService : public MsrService {
    Q_OBJECT
public:
    explicit VirtualMsrService(QString logicalName, QObject *parent = nullptr);
    ~VirtualMsrService() override;

    // Takes the claim lock, then listens on the swipe socket. OPOS_E_TIMEOUT
    // when another process holds the claim (its lock, or a live socket),
    // OPOS_E_FAILURE (see lastError(), also said on standard error) when the
    // lock or the socket cannot be set up.
    std::int32_t claim(std::int32_t timeout) override;
    // Answers any swipe still waiting, closes every connection, removes the
    // socket, then drops the claim.
    void release() override;
    void swipeFinished(quint64 id, bool delivered, const QString &reason) override;

    QString logicalName() const { return m_name; }
    bool isListening() const;
    QString lastError() const { return m_error; }
    int connectionCount() const { return int(m_connections.size()); }

    static constexpr int kMaxConnections = 64;
    // A client that does not read its answers stops being read while more than
    // this many answer bytes are waiting for it.
    static constexpr qint64 kMaxUnreadAnswerBytes = 64 * 1024;

private:
    struct Connection;

    std::int32_t takeClaim(std::int32_t timeout);
    bool listen();
    void stopListening();
    void closeListener();
    void resumeAccepting();
    void acceptConnections();
    void refuseConnection(int fd, const char *reason);
    void forgetRefused(int fd);
    void serve(quint64 serial);
    bool readSome(Connection &connection);
    void flush(Connection &connection);
    void closeConnection(Connection &connection);
    void handleLine(Connection &connection, const QByteArray &line);
    void settleWait(Connection &connection, bool delivered, const QString &why);
    void answer(Connection &connection, const protocol::Answer &answer);
    void hangUp(Connection &connection);
    void drop(quint64 serial);

    QString m_name;
    QString m_error;
    QString m_path; // the swipe socket
    std::unique_ptr<ClaimLock> m_lock;
    int m_listenFd = -1;
    QSocketNotifier *m_listener = nullptr;
    std::pair<dev_t, ino_t> m_socketFile{}; // the socket file we made
    QTimer m_acceptRetry;
    bool m_acceptFailed = false;
    std::map<quint64, std::unique_ptr<Connection>> m_connections; // by serial
    std::map<quint64, quint64> m_waits;                           // swipe id -> serial
    std::map<int, QSocketNotifier *> m_refused;                   // refused, until they hang up
    quint64 m_nextSerial = 1;
    quint64 m_nextSwipe = 1;
};

// Reads each track's bits the way the head would. An empty track reads as
// good, with no text. summary, if given, receives what the answer reports.
SwipeRead readStripe(const std::array<protocol::TrackBits, 3> &tracks,
                     std::array<protocol::TrackResult, 3> *summary = nullptr);

// The effective user id of the process at the other end of a connected local
// socket, as the kernel recorded it at connect time.
std::optional<uid_t> peerUid(qintptr socketDescriptor);

std::unique_ptr<MsrService> createVirtualMsr(const QString &logicalName);

} // namespace msr
