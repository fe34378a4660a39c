// SPDX-License-Identifier: MIT
// The virtual reader's swipe socket, served for real: claims and stale
// sockets, what a swipe reads as, hostile clients and waits. The whole path
// through the real control and window is the reliability test's.
#include "backends/virtual/virtualmsr.h"
#include "codec/stripecodec.h"
#include "reader/claimlock.h"
#include "reader/opos.h"
#include "reader/runtimepaths.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace msr;
using namespace msr::protocol;

namespace {

const std::string kTrack1 = "B4111111111111111^TEST/CARD^29121010000000000000";
const std::string kTrack2 = "4111111111111111=29121010000000000000";

// Stands in for the control: admits every swipe and remembers it, or refuses with `refusal`.
struct StandIn : SwipeSink {
    QList<std::pair<quint64, SwipeRead>> swipes;
    QString refusal;
    SwipeVerdict admitSwipe(quint64 id, const SwipeRead &read) override
    {
        if (!refusal.isEmpty())
            return {false, refusal};
        swipes.append({id, read});
        return {true, {}};
    }
};

sockaddr_un unixAddress(const QString &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
    return address;
}

// A client on a bare descriptor, as socat or a shell script is.
struct Client {
    explicit Client(const QString &path)
        : fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0))
    {
        const sockaddr_un address = unixAddress(path);
        QVERIFY(::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0);
    }
    ~Client() { ::close(fd); }
    void send(const QByteArray &bytes)
    {
        QCOMPARE(::send(fd, bytes.data(), size_t(bytes.size()), MSG_NOSIGNAL), bytes.size());
    }
    // Reads what has come; true once the reader has hung up.
    bool closed()
    {
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0)
            got.append(chunk, n);
        return n == 0;
    }
    // The whole lines read so far.
    QList<QByteArray> lines()
    {
        closed();
        QList<QByteArray> whole = got.split('\n');
        whole.removeLast();
        return whole;
    }
    Answer answer(int i) { return parseAnswer(lines().value(i)).value_or(refusal("unreadable")); }
    // Writes one line and returns the answer it gets.
    Answer ask(const QByteArray &line)
    {
        const qsizetype before = lines().size();
        send(line);
        return QTest::qWaitFor([&] { return lines().size() > before; }) ? answer(int(before))
                                                                        : refusal("no answer");
    }
    int fd;
    QByteArray got;
};

QByteArray testCard(bool wait = false)
{
    SwipeRequest request;
    request.tracks[0] = stripe::encodeTrack(1, kTrack1).bits;
    request.tracks[1] = stripe::encodeTrack(2, kTrack2).bits;
    request.wait = wait;
    return formatRequest(request);
}

} // namespace

class TestVirtualMsr : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> runtime;
    std::unique_ptr<VirtualMsrService> service;
    StandIn sink;
    QString path;

private slots:
    void init()
    {
        runtime = std::make_unique<QTemporaryDir>();
        qputenv("XDG_RUNTIME_DIR", runtime->path().toLocal8Bit());
        sink.swipes.clear();
        service = std::make_unique<VirtualMsrService>(QStringLiteral("MCRSTUBEX"));
        service->setSwipeSink(&sink);
        QCOMPARE(service->claim(0), opos::OPOS_SUCCESS);
        path = swipeSocketPath(QStringLiteral("MCRSTUBEX"));
    }
    void cleanup() { service.reset(); }

    void claimOwnsTheSocket()
    {
        QVERIFY(QFile::exists(path));
        // A second holder is refused and leaves the first one's socket alone, also
        // once a cleaner of temporary folders has removed the lock file (made anew here).
        VirtualMsrService second(QStringLiteral("MCRSTUBEX"));
        QCOMPARE(second.claim(0), opos::OPOS_E_TIMEOUT);
        QVERIFY2(second.lastError().startsWith("another process holds"),
                 qPrintable(second.lastError()));
        const QString lock = claimLockPath(QStringLiteral("MCRSTUBEX"));
        QVERIFY(QFile::remove(lock) && QFile(lock).open(QIODevice::WriteOnly));
        QCOMPARE(VirtualMsrService(QStringLiteral("MCRSTUBEX")).claim(0), opos::OPOS_E_TIMEOUT);
        Client client(path);
        QCOMPARE(client.ask(testCard()).result, Result::Accepted);
        client.send(testCard(true));
        QTRY_COMPARE(sink.swipes.size(), 2);

        // Release answers what still waits, hangs up and removes the socket.
        service->release();
        QVERIFY(!QFile::exists(path));
        QTRY_VERIFY(client.closed());
        QCOMPARE(client.lines().size(), 2);
        QCOMPARE(client.answer(1).reason, QString::fromLatin1(reason::kReleased));
        QCOMPARE(client.answer(1).id, std::optional<quint64>(2));
        service->swipeFinished(2, true, {}); // late word from the control: nowhere to go

        // A socket file left by a killed holder is replaced.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un address = unixAddress(path);
        QCOMPARE(::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
        QCOMPARE(service->claim(0), opos::OPOS_SUCCESS);
        QCOMPARE(Client(path).ask(testCard()).result, Result::Accepted);

        // A window that closes tells a waiting client why, before hanging up.
        Client last(path);
        last.send(testCard(true));
        QTRY_COMPARE(sink.swipes.size(), 4);
        service.reset();
        QTRY_VERIFY(last.closed());
        QCOMPARE(last.lines().size(), 1);
        QCOMPARE(last.answer(0).reason, QString::fromLatin1(reason::kReleased));
    }

    // A link planted at the lock, or a socket path longer than the kernel takes.
    void claimFailsOnAPathItCannotUse_data()
    {
        QTest::addColumn<bool>("planted");
        QTest::addColumn<QString>("fault");
        QTest::newRow("link") << true << "is a symbolic link";
        QTest::newRow("too long") << false << "longer than a local socket path may be (at most 107";
    }
    void claimFailsOnAPathItCannotUse()
    {
        QFETCH(bool, planted);
        QFETCH(QString, fault);
        QTemporaryDir elsewhere;
        if (planted)
            QVERIFY(
                QFile::link(elsewhere.filePath("x"), claimLockPath(QStringLiteral("COUNTER2"))));
        else
            qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime->filePath(QString(100, 'd'))));
        VirtualMsrService other(QStringLiteral("COUNTER2"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(fault)));
        QCOMPARE(other.claim(0), opos::OPOS_E_FAILURE);
        QVERIFY2(other.lastError().contains(fault), qPrintable(other.lastError()));
        QVERIFY(QDir(elsewhere.path()).isEmpty());
    }

    // A relative XDG_RUNTIME_DIR is ignored, as if unset: lock and socket
    // share the private folder under TMPDIR.
    void ignoresARelativeRuntimeFolder()
    {
        const QString cwd = QDir::currentPath();
        QVERIFY(QDir::setCurrent(runtime->path()));
        QVERIFY(QDir().mkdir("relative", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("XDG_RUNTIME_DIR", "relative");
        qputenv("TMPDIR", runtime->path().toLocal8Bit());
        const QString folder = runtimeDirectory();
        QDir::setCurrent(cwd);
        qunsetenv("TMPDIR");
        QVERIFY2(folder.startsWith(runtime->path() + "/runtime-"), qPrintable(folder));
    }

    // One failed accept(), e.g. out of descriptors, costs a delay, not the socket.
    void listensOnAfterAFailedAccept()
    {
        rlimit limit{};
        QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        rlimit tight = limit;
        tight.rlim_cur = rlim_t(lowestFree + 1); // room for the client, none for accept()
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot accept a connection"));
        Client client(path);
        QCoreApplication::processEvents(); // the accept fails
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &limit), 0);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("accepting connections on .* again"));
        QCOMPARE(client.ask(testCard()).result, Result::Accepted);
        QCOMPARE(Client(path).ask(testCard()).result, Result::Accepted); // and listens on
    }

    // socat-style: send (CRLF lines too), shut the write side, then read every answer.
    void answersAClientThatHalfCloses()
    {
        Client client(path);
        client.send(testCard() + testCard(true).chopped(1) + "\r\n" + testCard());
        QCOMPARE(::shutdown(client.fd, SHUT_WR), 0);
        QTRY_COMPARE(sink.swipes.size(), 2);
        service->swipeFinished(2, true, {});
        QTRY_VERIFY(client.closed());
        QVERIFY(client.got.endsWith('\n'));
        QCOMPARE(client.lines().size(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(client.answer(i).result, i == 1 ? Result::Delivered : Result::Accepted);
        QTRY_COMPARE(service->connectionCount(), 0);
    }

    void readsWhatTheStripeHolds()
    {
        SwipeRequest request;
        request.tracks[0] = stripe::reversed(stripe::encodeTrack(1, kTrack1).bits);
        request.tracks[1] = stripe::encodeTrack(2, kTrack2, stripe::Damage::Parity).bits;
        request.tracks[2] = TrackBits(100, 0); // bits, but no data
        const Answer answer = Client(path).ask(formatRequest(request));
        QCOMPARE(answer.result, Result::Accepted);
        QCOMPARE(answer.id, std::optional<quint64>(1));
        QCOMPARE(answer.tracks[0], (TrackResult{0, int(kTrack1.size()), true}));
        QCOMPARE(answer.tracks[1].error, stripe::ParityError);
        QCOMPARE(answer.tracks[2], TrackResult{});
        QCOMPARE(sink.swipes.size(), 1);
        const SwipeRead &read = sink.swipes[0].second;
        QCOMPARE(read.tracks[0].text, QString::fromStdString(kTrack1));
        QCOMPARE(read.tracks[0].error, 0);
        QCOMPARE(read.tracks[1].error, opos::OPOS_EMSR_PARITY);
        QCOMPARE(read.tracks[2].text, QString());
        QCOMPARE(read.tracks[2].error, 0);
    }

    void holdsLinesToTheLimit()
    {
        Client exact(path), over(path), endless(path);
        exact.send(QByteArray("{\"swipe\":{}}").leftJustified(65536, ' ') + '\n');
        over.send(QByteArray("{\"swipe\":{}}").leftJustified(65537, ' ') + '\n');
        endless.send(QByteArray(70000, ' '));
        QTRY_VERIFY(over.closed() && endless.closed());
        for (Client *c : {&over, &endless})
            QCOMPARE(c->lines(), QList<QByteArray>{formatAnswer(refusal(kLineTooLong)).chopped(1)});
        QTRY_COMPARE(exact.lines().size(), 1);
        QCOMPARE(exact.answer(0).result, Result::Accepted);
        QCOMPARE(sink.swipes.size(), 1);
        QTRY_COMPARE(service->connectionCount(), 1);
    }

    // Each line is answered once, in order; a waiting swipe holds up the lines behind it.
    void answersWaitsWhenTheControlFinishes()
    {
        Client client(path);
        client.send(testCard(true) + testCard() + "{}\n" + testCard(true));
        QTRY_COMPARE(sink.swipes.size(), 1);
        QCoreApplication::processEvents();
        QCOMPARE(client.lines().size(), 0);
        QCOMPARE(sink.swipes.size(), 1);

        service->swipeFinished(1, true, {});
        QTRY_COMPARE(client.lines().size(), 3);
        QCOMPARE(client.answer(0).result, Result::Delivered);
        QCOMPARE(client.answer(0).id, std::optional<quint64>(1));
        QCOMPARE(client.answer(0).tracks[1].length, int(kTrack2.size()));
        QCOMPARE(client.answer(1).result, Result::Accepted);
        QCOMPARE(client.answer(2).reason,
                 QStringLiteral("malformed request: \"swipe\" is missing"));
        QCOMPARE(sink.swipes.size(), 3);

        service->swipeFinished(2, true, {}); // not waited for
        service->swipeFinished(3, false, QStringLiteral("input cleared after a read error"));
        service->swipeFinished(3, true, {}); // twice: ignored
        QTRY_COMPARE(client.lines().size(), 4);
        const Answer cleared = client.answer(3);
        QCOMPARE(cleared.result, Result::Refused);
        QCOMPARE(cleared.reason, QStringLiteral("input cleared after a read error"));
        QCOMPARE(cleared.id, std::optional<quint64>(3));
        // A waiting swipe the control refuses holds nothing up.
        sink.refusal = "reader is disabled";
        QCOMPARE(client.ask(testCard(true)), refusal(sink.refusal));
        sink.refusal.clear();
        QCOMPARE(client.ask(testCard()).result, Result::Accepted);
        QCOMPARE(client.lines().size(), 6);
    }

    void survivesClientsThatHangUp()
    {
        {
            Client partial(path), waiting(path), hasty(path);
            partial.send("{\"swipe\":{\"track1\":\"0101");
            waiting.send(testCard(true));
            QTRY_COMPARE(sink.swipes.size(), 1);
            QTRY_COMPARE(service->connectionCount(), 3);
            hasty.send(testCard());
        } // all three hang up; the last before its answer is written
        QTRY_COMPARE(service->connectionCount(), 0);
        service->swipeFinished(sink.swipes[0].first, true, {});
        for (const auto &[id, read] : sink.swipes)
            QVERIFY(!read.tracks[0].text.isEmpty()); // the partial line was never a swipe
        QCOMPARE(Client(path).ask(testCard()).result, Result::Accepted);
    }

    // More clients at once than places, each done once it has sent: a
    // finished client's place is free for the next at once.
    void servesClientsThatHalfCloseAtOnce()
    {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < VirtualMsrService::kMaxConnections + 6; ++i) {
            clients.push_back(std::make_unique<Client>(path));
            clients.back()->send(testCard());
            QCOMPARE(::shutdown(clients.back()->fd, SHUT_WR), 0);
        }
        for (const auto &client : clients) {
            QTRY_VERIFY(client->closed());
            QCOMPARE(client->answer(0).result, Result::Accepted);
        }
    }

    void refusesOtherUsers()
    {
        int pair[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        QCOMPARE(peerUid(pair[0]), std::optional<uid_t>(::geteuid()));
        ::close(pair[0]);
        ::close(pair[1]);
        QVERIFY(!peerUid(-1));
        const int notSocket = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        QVERIFY(!peerUid(notSocket));
        ::close(notSocket);

        if (::geteuid() != 0)
            QSKIP("connecting as another user needs root");
        // Let "nobody" reach the socket, as a careless runtime folder would.
        QVERIFY(QFile::setPermissions(runtime->path(), QFile::ExeOther | QFile::ReadOwner |
                                                           QFile::WriteOwner | QFile::ExeOwner));
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0777), 0);
        const sockaddr_un address = unixAddress(path);
        const QByteArray expected = formatAnswer(refusal(kOtherUser));
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(20);
            char answer[256] = {};
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0 ||
                ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
                ::_exit(2);
            (void)::send(fd, "{\"swipe\":{}}\n", 13, MSG_NOSIGNAL);
            ::_exit(::read(fd, answer, sizeof answer - 1) > 0 && expected == answer ? 0 : 3);
        }
        int status = -1;
        pid_t reaped = 0;
        QTRY_VERIFY(reaped == child || (reaped = ::waitpid(child, &status, WNOHANG)) == child);
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 0); // 2: could not connect, 3: not refused
        QCOMPARE(sink.swipes.size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestVirtualMsr)
#include "tst_virtualmsr.moc"
