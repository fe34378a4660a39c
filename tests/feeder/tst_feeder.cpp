// SPDX-License-Identifier: MIT
// msrswipe: its options, the bits it writes for a card, and what it says and
// returns against a real virtual reader, or when none is listening.
#include "backends/virtual/virtualmsr.h"
#include "codec/stripecodec.h"
#include "reader/runtimepaths.h"
#include "tools/feeder/cardoptions.h"
#include "tools/feeder/swipefeeder.h"

#include <swipewatch/version.h>

#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <unistd.h>

using namespace feeder;

namespace {

// Stands in for the control on MCRSTUBEX: admits `room` swipes and finishes
// each at once, or, stuck like a stopped window, admits all and finishes none.
struct StandIn : msr::SwipeSink {
    static constexpr int kStuck = -1;
    msr::VirtualMsrService service{QStringLiteral("MCRSTUBEX")};
    int room;
    int taken = 0;
    explicit StandIn(int room) : room(room)
    {
        service.setSwipeSink(this);
        service.claim(0);
    }
    msr::SwipeVerdict admitSwipe(quint64 id, const msr::SwipeRead &) override
    {
        if (room != kStuck && taken >= room)
            return {false, QStringLiteral("\x1b[2Jqueue full")};
        ++taken;
        if (room != kStuck)
            QTimer::singleShot(0, &service, [this, id] { service.swipeFinished(id, true, {}); });
        return {true, {}};
    }
};
} // namespace

class TestFeeder : public QObject {
    Q_OBJECT
    QTemporaryDir runtime;
    QString out, err;

    // msrswipe in this process: WORDS split at blanks, INPUT on standard input.
    int run(const QString &words, const QByteArray &input = {})
    {
        out = err = QString();
        QTextStream o(&out), e(&err);
        int in[2]; // a pipe holding all of input, then its end
        if (::pipe(in) != 0 || ::write(in[1], input.constData(), input.size()) != input.size())
            return -1;
        ::close(in[1]);
        const int status = runMsrSwipe(words.split(' ', Qt::SkipEmptyParts), in[0], o, e);
        ::close(in[0]);
        return status;
    }

private slots:
    void init()
    {
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        qunsetenv("TMPDIR");
    }

    void shortAndOldFormsMeanTheLongOnes()
    {
        const std::pair<QString, QString> forms[] = {
            {"-card test -repeat=2 -wait -device X", "--card=test --repeat=2 --wait --device=X"},
            // values that start with a dash
            {"-1 -card --track2 -wait -D -w", "--track1=-card --track2=-wait --device=-w"},
            {"-h", "--help"},
        };
        for (const auto &[words, longWords] : forms) {
            const ParsedOptions got = parseArguments(words.split(' '));
            QVERIFY2(got.options && got.options == parseArguments(longWords.split(' ')).options,
                     qPrintable(words + ": " + got.error));
        }
    }

    void buildsTheCardsBits()
    {
        const auto card = [](const QStringList &arguments) {
            return parseArguments(arguments).options.value_or(Options{}).card;
        };
        for (const SampleCard &sample : sampleCards())
            QVERIFY(buildSwipe(card({"--card", QString::fromLatin1(sample.name)})).ok());
        // Later options change the card; text copied from a reader loses its
        // sentinels; raw bits replace a track and turn round too.
        const BuiltSwipe built = buildSwipe(card({"--card", "full", "--track2=;123=45?", "--raw",
                                                  "3:0011", "--damage", "1:lrc", "--reverse"}));
        const stripe::Decoded track1 = stripe::decodeTrack(1, built.tracks[0]);
        const stripe::Decoded track2 = stripe::decodeTrack(2, built.tracks[1]);
        QVERIFY(track1.error == stripe::LrcError && track1.reversed);
        QVERIFY(track2.text == "123=45" && track2.reversed);
        QCOMPARE(built.tracks[2], (stripe::Bits{1, 1, 0, 0}));
        QCOMPARE(card({"--track1", "%A?B?"}).text[0], std::string("A?B"));
        QCOMPARE(card({"-3", ";12"}).text[2], std::string(";12"));
    }

    // Refused before anything is sent, with status 2 and why.
    void refusesBadInput_data()
    {
        QTest::addColumn<QString>("words");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("why");
        const auto row = [](const QString &words, const char *why, const char *input = "") {
            QTest::newRow(qPrintable(QString::fromLatin1(why).section('\n', 0, 0)))
                << words << QByteArray(input) << QString::fromLatin1(why);
        };
        row("", "nothing to swipe: give --card");
        row("-wx", "Unknown option 'x'.\nTry 'msrswipe --help'.\n");
        row("-f cards.txt -2 1", "--file brings its own cards");
        row("--file=", "--file takes a file name");
        row("--card nope",
            "there is no card 'nope': the cards are test, full, gift, long, blank\n");
        row("--card test --card gift", "--card is given more than once");
        row("--card test x", "unexpected argument 'x'");
        row("--raw 2:012", "--raw takes TRACK:BITS");
        row("--track2 1 --raw 2:01", "track 2 is given more than once");
        row("--damage 2:scratch --card test", "--damage takes TRACK:KIND");
        row("--card test -d 1:lrc -d 1:end", "track 1 is damaged more than once");
        row("--card test --repeat 0", "--repeat takes a whole number from 1 to 100000\n");
        row("--card test --damage-rate 2:parity:1.5", "--damage-rate takes TRACK:KIND:P");
        row("--card test -d 2:end --damage-rate 2:parity:0.1",
            "track 2 is damaged on every swipe by --damage");
        row("--card test --damage-rate 2:parity:0.6 --damage-rate 2:lrc:0.5",
            "the chances of --damage-rate on track 2 add up to more than 1");
        row("--card test --damage-rate 3:lrc:0.01", "track 3 has nothing on it to damage");
        row("--card test -D MCRSTUBEX\n", "'MCRSTUBEX\\x0A' is not a device name");
        const QString tooLong(65, 'A'); // a name's limit is 64
        row("--card test -D " + tooLong, qPrintable('\'' + tooLong + "' is not a device name"));
        row("--card test --timeout 0",
            "--timeout takes a number of seconds, more than 0 and at most 86400\n");
        row("--raw 1:01 -d 1:lrc", "track 1 is raw bits, which are sent as they are");
        row("--card test -d 3:lrc", "track 3 has nothing on it to damage");
        row("-f -", "standard input, line 2: track 1 cannot hold 'a' (position 1)", ";12?\n%a?\n");
        row("-f -", "standard input, line 1: 'B' at column 1 starts no track", "B4^X?");
        row("-f -", "standard input, line 1: '%' at column 4 starts track 1, which", ";1?%A?");
        row("-f -", "standard input, line 1: track 2 is 'E', a reader's mark", "%A?;E?");
        row("-f -", "standard input, line 2: track 2 has no end sentinel '?'", "%A?\n%A?;1\n");
        row("-f /dev/zero", "/dev/zero is longer than 4 MiB: split the batch");
    }
    void refusesBadInput()
    {
        QFETCH(QString, words);
        QFETCH(QByteArray, input);
        QFETCH(QString, why);
        QCOMPARE(run(words, input), 2);
        QVERIFY2(err.startsWith("msrswipe: " + why), qPrintable(err));
    }

    // Status and what the real binary says (exit status, streams, input), against
    // a reader with room for so many swipes.
    void answers_data()
    {
        QTest::addColumn<int>("room");
        QTest::addColumn<QString>("words");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said");
        QTest::addColumn<QString>("output"); // a file for standard output; "" a pipe
        const auto row = [](int room, const QString &words, int status, const QString &said,
                            const char *input = "", const char *output = "") {
            QTest::newRow(qPrintable(words + output))
                << room << words << QByteArray(input) << status << said << QString(output);
        };
        const QString queueFull = "\\x1B[2Jqueue full";
        QFile file(runtime.filePath("cards.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("# one card\n;12?\n") > 0);
        row(1, "--card test -d 2:parity --reverse", 0,
            "swipe accepted as #1: track 1: 48 characters, read backwards; track 2: parity error "
            "(203), read backwards; track 3: empty\n");
        row(1, "--card blank -n 3", 1,
            "swipe 1 of 3 accepted as #1: track 1: empty; track 2: empty; track 3: empty\n"
            "msrswipe: the reader on MCRSTUBEX refused 2 of 3 swipes, the first (swipe 2) with: " +
                queueFull + '\n');
        row(0, "--card blank", 1,
            "msrswipe: the reader on MCRSTUBEX refused the swipe: " + queueFull + '\n');
        row(StandIn::kStuck, "--card test -w --timeout 0.5", 3,
            "msrswipe: the window on MCRSTUBEX did not answer within 0.5 seconds\n");
        row(1, "-D NOBODY --card test", 3,
            "msrswipe: no reader is listening on NOBODY: start swipewatch first\n");
        row(1, "-n2 -f " + file.fileName(), 1,
            "line 2: swipe 1 of 2 accepted as #1: track 1: empty; track 2: 2 characters; track 3: "
            "empty\nline 2: swipe 2 of 2 refused (" +
                queueFull +
                ")\nmsrswipe: the reader on MCRSTUBEX refused swipe 2 of 2: " + queueFull + '\n');
        // CRLF, blank lines, and ';' after track 2 for track 3.
        row(2, "-w -f -", 0,
            "line 1: swipe delivered as #1: track 1: 4 characters; track 2: 4 characters; track 3: "
            "2 characters\nline 3: swipe delivered as #2: track 1: empty; track 2: 2 characters; "
            "track 3: 1 character\n",
            "%B4^X?;41=2?+33?\r\n\n  ;12?;3?  \n");
        row(1, "--version", 0, "msrswipe " SWIPEWATCH_VERSION_STRING "\n");
        // Answers lost to a full disk: the swipe went, but the run failed.
        row(1, "--card test", 1, "msrswipe: write error: No space left on device\n", "",
            "/dev/full");
    }
    void answers()
    {
        QFETCH(int, room);
        QFETCH(QString, words);
        QFETCH(QByteArray, input);
        QFETCH(int, status);
        QFETCH(QString, said);
        QFETCH(QString, output);
        StandIn reader(room);
        QProcess msrswipe;
        if (!output.isEmpty())
            msrswipe.setStandardOutputFile(output);
        QSignalSpy finished(&msrswipe, &QProcess::finished);
        msrswipe.start(QStringLiteral(MSRSWIPE_PATH), words.split(' '));
        msrswipe.write(input);
        msrswipe.closeWriteChannel();
        QVERIFY(finished.wait(30000)); // the reader answers from this event loop
        QCOMPARE(msrswipe.exitCode(), status);
        QCOMPARE(msrswipe.readAllStandardOutput() + msrswipe.readAllStandardError(), said);
    }

    // A producer that keeps its pipe open: each line goes as it arrives.
    void swipesEachLineAsItArrives()
    {
        StandIn reader(2);
        QProcess msrswipe;
        QSignalSpy finished(&msrswipe, &QProcess::finished);
        msrswipe.start(QStringLiteral(MSRSWIPE_PATH), {"-w", "-f", "-"});
        msrswipe.write(";12?\n");
        QTRY_COMPARE_WITH_TIMEOUT(reader.taken, 1, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(msrswipe.canReadLine(), 30000);
        QVERIFY(msrswipe.readLine().startsWith("line 1: swipe delivered as #1"));
        msrswipe.write("# and a second\n;34?");
        msrswipe.closeWriteChannel();
        QVERIFY(finished.wait(30000)); // the reader answers from this event loop
        QCOMPARE(msrswipe.exitCode(), 0);
        QCOMPARE(reader.taken, 2);
        QVERIFY(msrswipe.readAll().startsWith("line 3: swipe delivered as #2"));
    }

    // A file nobody listens on at the socket path, as a killed window leaves;
    // a full reader; no usable socket path: status 3, not 1, and which it was.
    void saysWhyItCannotSwipe()
    {
        QVERIFY(QFile(msr::swipeSocketPath("MCRSTUBEX")).open(QIODevice::WriteOnly));
        QCOMPARE(run("--card test"), 3);
        QCOMPARE(err, "msrswipe: no reader is listening on MCRSTUBEX: start swipewatch first\n");

        StandIn reader(1);
        QLocalSocket others[msr::VirtualMsrService::kMaxConnections];
        for (QLocalSocket &other : others)
            other.connectToServer(msr::swipeSocketPath("MCRSTUBEX"));
        QTRY_COMPARE(reader.service.connectionCount(), msr::VirtualMsrService::kMaxConnections);
        QCOMPARE(run("--card test"), 3);
        QCOMPARE(err, "msrswipe: the reader on MCRSTUBEX refused the connection: too many "
                      "connections\n");

        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.filePath(QString(100, 'd'))));
        QCOMPARE(run("--card test"), 3);
        QVERIFY(err.contains("MCRSTUBEX.sock is longer than a local socket path may be"));
        qunsetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", "/dev/null/tmp");
        QCOMPARE(run("--card test"), 3);
        QVERIFY(
            err.startsWith("msrswipe: cannot create the runtime folder /dev/null/tmp/runtime-"));
    }
};

QTEST_GUILESS_MAIN(TestFeeder)
#include "tst_feeder.moc"
