// SPDX-License-Identifier: MIT
// The real window, control and a virtual or serial reader in one process, under a flood.
// Queues of good and bad cards are the control's own table (deliverySequences).
#include "backends/backends.h"
#include "backends/virtual/swipeprotocol.h"
#include "codec/stripecodec.h"
#include "reader/msrcontrol.h"
#include "reader/runtimepaths.h"
#include "tests/window/harness.h"

#include <QScopeGuard>
#include <QTemporaryDir>

#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace msr::protocol;

namespace {

constexpr int kPatience = 60000; // ms; a loaded machine under sanitizers is slow
const QString kTrack2 = QStringLiteral("4111111111111111=29121010000000000000");
const QByteArray kTextSwipe = "%B4111111111111111^TEST/CARD^2912101?;4111111111111111=2912101?\r";

QByteArray goodSwipe()
{
    SwipeRequest request;
    request.tracks[1] = stripe::encodeTrack(2, kTrack2.toStdString()).bits;
    return formatRequest(request);
}

} // namespace

class TestReliability : public QObject {
    Q_OBJECT
private slots:
    void floodIsDeliveredOrRefusedSwipeBySwipe()
    {
        constexpr int kFlood = 20000;
        // runWindow() in miniature: the real control behind the real window.
        QTemporaryDir runtime;
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(runtime.path())); // no user's device list
        qunsetenv(msr::DeviceRegistry::kEnvironmentVariable);
        msr::MsrControl control(msr::standardRegistry());
        testsupport::RecordingMessageBoxes boxes;
        swipewatch::frmMSR form(&control, boxes);
        form.show();
        QTRY_COMPARE(form.lbCount()->Caption(), QStringLiteral("0"));
        sockaddr_un address{AF_UNIX, {}};
        qstrncpy(address.sun_path, qPrintable(msr::swipeSocketPath(form.kDeviceName)),
                 sizeof address.sun_path);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        QCOMPARE(::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
        // Sends as fast as the socket takes it while reading answers, until
        // each line has its answer or the reader hangs up.
        const QByteArray out = goodSwipe().repeated(kFlood);
        qsizetype sent = 0;
        QByteArray in;
        const auto converse = [&] {
            const ssize_t n =
                ::send(fd, out.data() + sent, size_t(out.size() - sent), MSG_NOSIGNAL);
            sent += std::max<ssize_t>(n, 0);
            char chunk[65536];
            ssize_t got;
            while ((got = ::read(fd, chunk, sizeof chunk)) > 0)
                in.append(chunk, got);
            return got == 0 || in.count('\n') >= kFlood;
        };
        QTRY_VERIFY_WITH_TIMEOUT(converse(), kPatience);
        ::close(fd);
        QList<QByteArray> answers = in.split('\n');
        QCOMPARE(answers.takeLast(), QByteArray());
        QCOMPARE(answers.size(), kFlood);
        int accepted = 0;
        for (const QByteArray &line : answers) {
            const std::optional<Answer> answer = parseAnswer(line);
            QVERIFY2(answer && (answer->result == Result::Accepted ||
                                answer->reason == QLatin1String("queue full")),
                     line.constData());
            accepted += answer->id.has_value();
        }
        QVERIFY(accepted >= msr::MsrControl::kMaxPendingSwipes);
        QTRY_COMPARE_WITH_TIMEOUT(form.lbCount()->Caption(), QString::number(accepted), kPatience);
        QCOMPARE(control.pendingSwipes(), 0);
        QCOMPARE(form.lbErrorCount()->Caption(), QStringLiteral("0"));
    }

    // The port is not read while the queue is full: its writer waits, and every swipe counts.
    void serialFloodLosesNoSwipe()
    {
        constexpr int kFlood = 5000;
        int master = -1, slave = -1;
        char name[128] = {};
        termios raw{};
        ::cfmakeraw(&raw);
        QCOMPARE(::openpty(&master, &slave, name, &raw, nullptr), 0);
        const auto closing = qScopeGuard([&] { ::close(master), ::close(slave); });
        QTemporaryDir runtime;
        QFile list(runtime.filePath("devices.conf"));
        QVERIFY(list.open(QIODevice::WriteOnly) &&
                list.write("MCRSTUBEX = serial gap=2000 device=" + QByteArray(name) + '\n') > 0);
        list.close();
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        qputenv(msr::DeviceRegistry::kEnvironmentVariable, QFile::encodeName(list.fileName()));
        msr::MsrControl control(msr::standardRegistry());
        testsupport::RecordingMessageBoxes boxes;
        swipewatch::frmMSR form(&control, boxes);
        form.show();
        QTRY_COMPARE(form.lbCount()->Caption(), QStringLiteral("0"));
        const QByteArray out = kTextSwipe.repeated(kFlood);
        const std::jthread writer([&](const std::stop_token &stop) {
            ::fcntl(master, F_SETFL, O_NONBLOCK);
            for (qsizetype sent = 0; sent < out.size() && !stop.stop_requested();) {
                const ssize_t n = ::write(master, out.data() + sent, size_t(out.size() - sent));
                pollfd writable{master, POLLOUT, 0};
                sent += n > 0 ? n : (::poll(&writable, 1, 100), 0);
            }
        });
        QTRY_COMPARE_WITH_TIMEOUT(form.lbCount()->Caption().toInt() +
                                      form.lbErrorCount()->Caption().toInt(),
                                  kFlood, kPatience);
        QCOMPARE(form.lbErrorCount()->Caption(), QStringLiteral("0"));
    }
};

QTEST_MAIN(TestReliability)
#include "tst_reliability.moc"
