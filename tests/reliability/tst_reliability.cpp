// SPDX-License-Identifier: MIT
// The real window, control and virtual reader in one process, under a flood
// and hostile clients; and the window alone with data no stripe could hold.
#include "backends/backends.h"
#include "backends/virtual/swipeprotocol.h"
#include "codec/stripecodec.h"
#include "reader/msrcontrol.h"
#include "reader/runtimepaths.h"
#include "tests/window/harness.h"

#include <QTemporaryDir>

#include <future>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace msr::protocol;

namespace {

constexpr int kPatience = 60000; // ms; a loaded machine under sanitizers is slow
const QString kTrack2 = QStringLiteral("4111111111111111=29121010000000000000");

QByteArray goodSwipe(bool wait)
{
    SwipeRequest request;
    request.tracks[1] = stripe::encodeTrack(2, kTrack2.toStdString()).bits;
    request.wait = wait;
    return formatRequest(request);
}

bool delivered(const QByteArray &answer)
{
    return parseAnswer(answer).value_or(Answer{}).result == Result::Delivered;
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
    [[nodiscard]] bool delivers()
    {
        const QList<QByteArray> lines = talk(goodSwipe(true), 1);
        return lines.size() == 1 && delivered(lines[0]);
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
        const QList<QByteArray> answers = w.talk(goodSwipe(false).repeated(kFlood), kFlood);
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

    // A good card and a card with a bad track 2, queued together, again and
    // again: each error is shown with its own card, never with another's lengths.
    void mixedBurstShowsEachErrorWithItsOwnCard_data()
    {
        QTest::addColumn<bool>("perCard");
        QTest::addColumn<QStringList>("shown"); // track 1 box, then the lengths
        QTest::newRow("Track") << false << QStringList{"BAD", " 3 Byte", "Parity error", " 0 Byte"};
        QTest::newRow("Card") << true
                              << QStringList{"", "Parity error", "Parity error", "Parity error"};
    }
    void mixedBurstShowsEachErrorWithItsOwnCard()
    {
        QFETCH(bool, perCard);
        QFETCH(QStringList, shown);
        RealWindow w;
        QVERIFY(w.start());
        w.form->Option1(perCard ? 0 : 1)->setValue(true);
        SwipeRequest bad{
            {stripe::encodeTrack(1, "BAD").bits,
             stripe::encodeTrack(2, kTrack2.toStdString(), stripe::Damage::Parity).bits},
            true}; // answered once both cards are through
        for (int round = 1; round <= 20; ++round) {
            const QList<QByteArray> answers = w.talk(goodSwipe(false) + formatRequest(bad), 2);
            QVERIFY(answers.size() == 2 && delivered(answers[1]));
            QStringList seen{w.form->tbTrack(0)->Text()};
            for (int i = 0; i < 3; ++i)
                seen << w.form->lbTrackDataLng(i)->Caption();
            QCOMPARE(seen, shown);
            QCOMPARE(w.form->lbCount()->Caption(), QString::number(perCard ? round : 2 * round));
            QCOMPARE(w.form->lbErrorCount()->Caption(), QString::number(round));
        }
    }

    void hostileRequestsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("reason"); // how the refusal starts
        auto row = [](const char *name, const QByteArray &line,
                      const char *reason = "malformed request: not JSON") {
            QTest::newRow(name) << line << QString::fromLatin1(reason);
        };
        QByteArray noise;
        for (int i = 1; i < 4096; ++i)
            noise += char(i * 131 % 256 == '\n' ? 0 : i * 131 % 256);
        row("binary noise", noise);
        // The JSON reader lets a raw control character through; the bits check does not.
        row("raw NUL in a string", QByteArray("{\"swipe\":{\"track2\":\"01\0001\"}}", 27),
            "malformed request: \"track2\" has \"?\" at bit 2");
        row("invalid UTF-8", "{\"\xc3\x28\":{}}");
        row("surrogate in UTF-8", "{\"swipe\":{\"\xed\xa0\x80\":\"\"}}");
        row("escaped NUL in a name", R"({"swipe":{"track2\u0000":""}})",
            "malformed request: unknown track \"track2?\"");
        row("fullwidth digit as a bit", "{\"swipe\":{\"track2\":\"\xef\xbc\x90\"}}",
            "malformed request: \"track2\" has \"?\" at bit 0");
        row("deep arrays", "{\"swipe\":" + QByteArray(30000, '[') + QByteArray(30000, ']') + '}');
        row("deep objects", QByteArray("{\"swipe\":").repeated(5000) + QByteArray(5000, '}'));
        row("huge exponent", R"({"swipe":{"track1":1e99999}})");
        row("huge integer", "{\"swipe\":{},\"wait\":" + QByteArray(300, '9') + '}',
            "malformed request: \"wait\" must be true or false");
        row("1 MiB line, then a hang-up", QByteArray(1 << 20, '{'), kLineTooLong);
    }

    void hostileRequestsAreRefused()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, reason);
        const bool hangsUp = reason == QLatin1String(kLineTooLong);
        RealWindow w;
        QVERIFY(w.start());
        // A reader that hangs up answers nothing behind the refusal.
        const QList<QByteArray> answers = w.talk(line + '\n' + goodSwipe(true), 2);
        QCOMPARE(answers.size(), hangsUp ? 1 : 2);
        const std::optional<Answer> refused = parseAnswer(answers[0]);
        QVERIFY2(refused && refused->result == Result::Refused && !refused->id &&
                     refused->reason.startsWith(reason),
                 answers[0].constData());
        QVERIFY(hangsUp ? w.delivers() : delivered(answers[1]));
        QCOMPARE(w.form->lbCount()->Caption(), QStringLiteral("1"));
    }

    // The peer check behind an opened folder is proven in tst_virtualmsr.
    void anotherUserIsTurnedAway()
    {
        const passwd *nobody = ::getpwnam("nobody");
        if (::geteuid() != 0 || !nobody)
            QSKIP("connecting as another user needs root and a user 'nobody'");
        RealWindow w;
        QVERIFY(w.start());
        const QByteArray expected = formatAnswer(refusal(QString::fromLatin1(kOtherUser)));
        const pid_t child = ::fork();
        if (child == 0) { // system calls only: this process has threads
            ::alarm(60);
            char answer[256] = {};
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
                ::setuid(nobody->pw_uid) != 0)
                ::_exit(2);
            if (::connect(fd, reinterpret_cast<sockaddr *>(&w.socket), sizeof w.socket) != 0)
                ::_exit(errno == EACCES ? 0 : 3); // the private folder refused it
            (void)::send(fd, "{\"swipe\":{}}\n", 13, MSG_NOSIGNAL);
            ::_exit(::read(fd, answer, sizeof answer - 1) > 0 && expected == answer ? 0 : 4);
        }
        int status = -1;
        pid_t reaped = 0;
        QTRY_VERIFY_WITH_TIMEOUT(
            reaped == child || (reaped = ::waitpid(child, &status, WNOHANG)) == child, kPatience);
        QCOMPARE(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
        QVERIFY(w.delivers());
        QCOMPARE(w.form->lbCount()->Caption(), QStringLiteral("1"));
    }

    void oddTrackDataStaysOnOneLineFromItsStart_data()
    {
        QTest::addColumn<QString>("text");
        QString controls = QString::fromUtf16(u"\uFFFD\u0007\t\n\r\u0085\u2028 B41^CARD");
        controls.insert(3, QChar(0));
        const QString rtl = QString::fromUtf16(u"\u05DB\u05E8\u05D8\u05D9\u05E1 \u0628\u0637"
                                               u"\u0627\u0642\u0629 \u202E4111\u202C");
        const QString astral =
            QString::fromUtf16(u"\U0001F4B3\U00010348\U0001D11E\U000E0041\u0301");
        QTest::newRow("replacement and control characters") << controls;
        QTest::newRow("right to left") << rtl;
        QTest::newRow("astral plane") << astral;
        QTest::newRow("lone surrogates") << QChar(0xDC00) + QStringLiteral("x") + QChar(0xD800);
        QTest::newRow("200,000 characters of all of it")
            << (controls + rtl + astral).repeated(200000 / 40).left(200000);
    }

    // Text no stripe carries, as another kind of reader could hand it over.
    void oddTrackDataStaysOnOneLineFromItsStart()
    {
        QFETCH(QString, text);
        Harness h;
        h.reader.tracks = {text, text, text};
        QVERIFY(h.start());
        const int height = h.form->tbTrack(0)->height();
        h.reader.fireDataEvent(trackWord(255, 255, 255));
        QCOMPARE(h.form->lbCount()->Caption(), QStringLiteral("1"));
        for (int i = 0; i < 3; ++i) {
            swipewatch::ui::TextBox *box = h.form->tbTrack(i);
            QCOMPARE(box->Text(), text);
            QCOMPARE(box->height(), height);
            QCOMPARE(box->cursorPosition(), 0);
            box->grab(); // lays out and scrolls the text as painting does
            const QRect start = box->inputMethodQuery(Qt::ImCursorRectangle).toRect();
            QVERIFY2(box->rect().contains(start.center()), qPrintable(QString::number(start.x())));
        }
    }
};

QTEST_MAIN(TestReliability)
#include "tst_reliability.moc"
