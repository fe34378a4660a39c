// SPDX-License-Identifier: MIT
// The real window, control and virtual reader in one process, under a flood.
// Queues of good and bad cards are the control's own table (deliverySequences).
#include "backends/backends.h"
#include "backends/virtual/swipeprotocol.h"
#include "codec/stripecodec.h"
#include "reader/msrcontrol.h"
#include "reader/runtimepaths.h"
#include "tests/window/harness.h"

#include <QTemporaryDir>

#include <future>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

using namespace msr::protocol;

namespace {

constexpr int kPatience = 60000; // ms; a loaded machine under sanitizers is slow
const QString kTrack2 = QStringLiteral("4111111111111111=29121010000000000000");

QByteArray goodSwipe()
{
    SwipeRequest request;
    request.tracks[1] = stripe::encodeTrack(2, kTrack2.toStdString()).bits;
    return formatRequest(request);
}

// Sends all of out as fast as the socket takes it while reading answers,
// until `answers` lines came back or the reader hung up.
QList<QByteArray> converse(const sockaddr_un address, const QByteArray out, int answers)
{
    QList<QByteArray> lines;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval patience{60, 0}; // a reader silent for a minute has lost track
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0) {
        std::thread writer([&] { (void)::send(fd, out.data(), out.size(), MSG_NOSIGNAL); });
        QByteArray in;
        char chunk[65536];
        for (ssize_t n; lines.size() < answers && (n = ::read(fd, chunk, sizeof chunk)) > 0;) {
            in.append(chunk, n);
            for (qsizetype nl; (nl = in.indexOf('\n')) >= 0; in.remove(0, nl + 1))
                lines << in.left(nl);
        }
        ::shutdown(fd, SHUT_RDWR); // wakes a writer still blocked
        writer.join();
    }
    ::close(fd);
    return lines;
}

// runWindow() in miniature: the real control behind the real window.
struct RealWindow {
    QTemporaryDir runtime;
    testsupport::RecordingMessageBoxes boxes;
    std::unique_ptr<msr::MsrControl> control;
    std::unique_ptr<swipewatch::frmMSR> form;
    sockaddr_un socket{AF_UNIX, {}};

    [[nodiscard]] bool start()
    {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        qunsetenv(msr::DeviceRegistry::kEnvironmentVariable);
        control = std::make_unique<msr::MsrControl>(msr::standardRegistry());
        form = std::make_unique<swipewatch::frmMSR>(control.get(), boxes);
        qstrncpy(socket.sun_path, qPrintable(msr::swipeSocketPath(form->kDeviceName)),
                 sizeof socket.sun_path);
        form->show();
        return QTest::qWaitFor([this] { return form->lbCount()->Caption() == "0"; });
    }
    // The client runs in another thread while this one serves it.
    QList<QByteArray> talk(const QByteArray &out, int answers)
    {
        auto client = std::async(std::launch::async, converse, socket, out, answers);
        // Past the patience, get() waits for the client's own time-out.
        (void)QTest::qWaitFor(
            [&] { return client.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            kPatience);
        return client.get();
    }
};

} // namespace

class TestReliability : public QObject {
    Q_OBJECT
private slots:
    void floodIsDeliveredOrRefusedSwipeBySwipe()
    {
        constexpr int kFlood = 20000;
        RealWindow w;
        QVERIFY(w.start());
        const QList<QByteArray> answers = w.talk(goodSwipe().repeated(kFlood), kFlood);
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
        QTRY_COMPARE_WITH_TIMEOUT(w.form->lbCount()->Caption(), QString::number(accepted),
                                  kPatience);
        QCOMPARE(w.control->pendingSwipes(), 0);
        QCOMPARE(w.form->lbErrorCount()->Caption(), QStringLiteral("0"));
    }
};

QTEST_MAIN(TestReliability)
#include "tst_reliability.moc"
