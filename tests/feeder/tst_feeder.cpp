// SPDX-License-Identifier: MIT
// msrswipe: its options, the bits it writes for a card, and what it says and
// returns against a real virtual reader, or when none is listening.
#include "backends/virtual/virtualmsr.h"
#include "codec/stripecodec.h"
#include "reader/opos.h"
#include "reader/runtimepaths.h"
#include "tools/feeder/cardoptions.h"
#include "tools/feeder/swipefeeder.h"

#include <swipewatch/version.h>

#include <QBuffer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QTimer>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace feeder;

namespace {

const std::string kTrack1 = "B4111111111111111^TEST/CARD^29121010000000000000";
const std::string kTrack2 = "4111111111111111=29121010000000000000";

// Stands in for the control: admits `room` swipes, and finishes each at once.
struct StandIn : msr::SwipeSink {
    msr::MsrService *service = nullptr;
    int room = 1000;
    QString reason = QStringLiteral("queue full");
    bool finishes = true;
    QList<msr::SwipeRead> swipes;
    msr::SwipeVerdict admitSwipe(quint64 id, const msr::SwipeRead &read) override
    {
        if (swipes.size() >= room)
            return {false, reason};
        swipes << read;
        if (finishes)
            QTimer::singleShot(0, service, [this, id] { service->swipeFinished(id, true, {}); });
        return {true, {}};
    }
};

Options parse(const QStringList &arguments)
{
    const ParsedOptions parsed = parseArguments(arguments);
    if (!parsed.options)
        qWarning("%s", qPrintable(parsed.error));
    return parsed.options.value_or(Options{});
}
Card card(const QStringList &arguments)
{
    return parse(arguments).card;
}
} // namespace

class TestFeeder : public QObject {
    Q_OBJECT
    QTemporaryDir runtime;
    QString out, err;

    int run(const QStringList &arguments)
    {
        out.clear();
        err.clear();
        QTextStream o(&out), e(&err);
        QBuffer none; // nothing on standard input
        none.open(QIODevice::ReadOnly);
        return runMsrSwipe(arguments, none, o, e);
    }

private slots:
    void init()
    {
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        qunsetenv("TMPDIR");
    }

    void parsesOptions()
    {
        Options o = parse({"--card", "test"});
        QCOMPARE(o.card.text[0], kTrack1);
        QCOMPARE(o.card.text[1], kTrack2);
        QVERIFY(!o.card.text[2] && !o.card.raw[2]);
        QCOMPARE(o.device, QStringLiteral("MCRSTUBEX"));
        QCOMPARE(o.repeat, 1);
        QVERIFY(!o.wait && !o.card.reverse && !o.help);

        // Later options change the card; sentinels copied from a reader are dropped.
        o = parse({"--card", "test", "--track2=;123=45?", "--raw", "1:0110", "--damage", "2:lrc",
                   "--reverse", "--repeat", "3", "--wait", "--device", "COUNTER2"});
        QVERIFY(!o.card.text[0]);
        QCOMPARE(o.card.raw[0], (stripe::Bits{0, 1, 1, 0}));
        QCOMPARE(o.card.text[1], std::string("123=45"));
        QCOMPARE(o.card.damage,
                 (std::array{stripe::Damage::None, stripe::Damage::Lrc, stripe::Damage::None}));
        QVERIFY(o.card.reverse && o.wait);
        QCOMPARE(o.repeat, 3);
        QCOMPARE(o.device, QStringLiteral("COUNTER2"));
        QCOMPARE(card({"--track1", "%A?B?"}).text[0], std::string("A?B"));
        QCOMPARE(card({"--track3", ";12"}).text[2], std::string(";12"));
        QVERIFY(parse({"-h"}).help);
    }

    void shortAndOldFormsMeanTheLongOnes_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("longForm");
        const auto row = [](const char *name, const QString &words, const QString &longWords) {
            QTest::newRow(name) << words.split(' ') << longWords.split(' ');
        };
        row("short", "-1 A -2 12 -3 3 -d 2:end -n 2 -w -D X",
            "--track1=A --track2=12 --track3=3 --damage=2:end --repeat=2 --wait --device=X");
        row("clustered, and a file", "-wn3 -d1:lrc -DX -f -",
            "--wait --repeat=3 --damage=1:lrc --device=X --file=-");
        row("long after one dash", "-card test -repeat=2 -wait -device X",
            "--card=test --repeat=2 --wait --device=X");
        row("values that start with a dash", "-1 -card --track2 -wait -D -w",
            "--track1=-card --track2=-wait --device=-w");
    }
    void shortAndOldFormsMeanTheLongOnes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, longForm);
        const ParsedOptions got = parseArguments(arguments);
        QVERIFY2(got.options, qPrintable(got.error));
        QVERIFY(*got.options == parse(longForm));
    }

    void refusesBadOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("error");
        const auto row = [](const QStringList &arguments, const char *error) {
            QTest::newRow(error) << arguments << QString::fromLatin1(error);
        };
        row({}, "nothing to swipe: give --card, --track1/2/3, --raw or --file (see --help)");
        row({"-wx"}, "Unknown option 'x'.");
        row({"-n"}, "Missing value after '-n'.");
        row({"-f", "cards.txt", "-2", "1"},
            "--file brings its own cards: give it without --card, --track1/2/3 and --raw");
        row({"--file="}, "--file takes a file name, or '-' for standard input");
        row({"--card", "nope"},
            "there is no card 'nope': the cards are test, full, gift, long, blank");
        row({"--card", "test", "--card", "gift"}, "--card is given more than once");
        row({"--card", "test", "x"}, "unexpected argument 'x'");
        row({"--swipe"}, "Unknown option 'swipe'.");
        row({"--raw", "2:012"},
            "--raw takes TRACK:BITS, a track from 1 to 3 and bits 0 or 1, not '2:012'");
        row({"--track2", "1", "--raw", "2:01"}, "track 2 is given more than once");
        row({"--damage", "2:scratch", "--card", "test"},
            "--damage takes TRACK:KIND, a track from 1 to 3 and a kind of start, end, parity, lrc "
            "or other, not '2:scratch'");
        row({"--card", "test", "--damage", "1:lrc", "--damage", "1:end"},
            "track 1 is damaged more than once");
        row({"--card", "test", "--repeat", "0"}, "--repeat takes a whole number from 1 to 100000");
        row({"--card", "test", "--device", "../x"},
            "'../x' is not a device name: use letters, digits, '_', '-' and '.'");
        row({"--card", "test", "--device", "MCRSTUBEX\n"},
            "'MCRSTUBEX\\x0A' is not a device name: use letters, digits, '_', '-' and '.'");
        row({"--card", "test", "--timeout", "0"},
            "--timeout takes a number of seconds, more than 0 and at most 86400");
    }
    void refusesBadOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, error);
        QCOMPARE(parseArguments(arguments).error, error);
        QCOMPARE(run(arguments), int(ExitBadInput));
        QCOMPARE(err, "msrswipe: " + error + "\nTry 'msrswipe --help'.\n");
    }

    void buildsTheCardsBits()
    {
        for (const SampleCard &sample : sampleCards()) {
            const BuiltSwipe built = buildSwipe(card({"--card", QString::fromLatin1(sample.name)}));
            QVERIFY2(built.ok(), qPrintable(built.error));
            for (std::size_t t = 0; t < 3; ++t) {
                const stripe::Decoded read = stripe::decodeTrack(int(t + 1), built.tracks[t]);
                QCOMPARE(read.error, int(stripe::Ok));
                QCOMPARE(read.text, std::string(sample.tracks[t]));
                QCOMPARE(built.tracks[t].empty(), sample.tracks[t].empty());
            }
        }
        const BuiltSwipe damaged =
            buildSwipe(card({"--card", "test", "--damage", "2:end", "--reverse"}));
        const stripe::Decoded track1 = stripe::decodeTrack(1, damaged.tracks[0]);
        QVERIFY(track1.text == kTrack1 && track1.reversed);
        QCOMPARE(stripe::decodeTrack(2, damaged.tracks[1]).error, int(stripe::EndSentinelError));
        QCOMPARE(buildSwipe(card({"--raw", "3:0011", "--reverse"})).tracks[2],
                 (stripe::Bits{1, 1, 0, 0}));

        QCOMPARE(
            buildSwipe(card({"--raw", "1:01", "--damage", "1:lrc"})).error,
            QStringLiteral(
                "track 1 is raw bits, which are sent as they are: damage a track given as text"));
        QCOMPARE(buildSwipe(card({"--card", "test", "--damage", "3:lrc"})).error,
                 QStringLiteral("track 3 has nothing on it to damage"));
        QCOMPARE(run({"--track2", "12A"}), int(ExitBadInput));
        QVERIFY2(err.startsWith("msrswipe: track 2 cannot hold 'A'"), qPrintable(err));
    }

    void talksToTheReader()
    {
        const QString noReader =
            "msrswipe: no reader is listening on MCRSTUBEX: start swipewatch first\n";
        QCOMPARE(run({"--card", "test"}), int(ExitNoReader));
        QCOMPARE(err, noReader);
        QCOMPARE(out, QString());
        // A socket file with nobody behind it, left by a window that was killed.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, qPrintable(msr::swipeSocketPath("MCRSTUBEX")),
                 sizeof address.sun_path);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        QCOMPARE(run({"--card", "test"}), int(ExitNoReader));
        QCOMPARE(err, noReader);
        ::close(fd);

        msr::VirtualMsrService service(QStringLiteral("MCRSTUBEX"));
        StandIn sink;
        sink.service = &service;
        service.setSwipeSink(&sink);
        QCOMPARE(service.claim(0), opos::OPOS_SUCCESS);

        QCOMPARE(run({"--card", "test"}), int(ExitOk));
        QCOMPARE(out, "swipe accepted as #1: track 1: 48 characters; track 2: 37 characters; track "
                      "3: empty\n");
        QCOMPARE(err, QString());
        QCOMPARE(sink.swipes.last().tracks[1].text, QString::fromStdString(kTrack2));
        QCOMPARE(run({"--card", "gift", "--damage", "2:parity", "--reverse", "--wait"}),
                 int(ExitOk));
        QCOMPARE(
            out,
            "swipe delivered as #2: track 1: empty; track 2: parity error (203), read backwards; "
            "track 3: empty\n");

        sink.room = 4;
        QCOMPARE(run({"--card", "blank", "--repeat", "3"}), int(ExitRefused));
        QCOMPARE(out,
                 "swipe 1 of 3 accepted as #3: track 1: empty; track 2: empty; track 3: empty\n"
                 "swipe 2 of 3 accepted as #4: track 1: empty; track 2: empty; track 3: empty\n");
        QCOMPARE(err, "msrswipe: the reader on MCRSTUBEX refused swipe 3 of 3: queue full\n");
        QCOMPARE(run({"--card", "blank", "--repeat", "2"}), int(ExitRefused));
        QCOMPARE(out, QString());
        QCOMPARE(err,
                 "msrswipe: the reader on MCRSTUBEX refused 2 of 2 swipes, the first (swipe 1) "
                 "with: queue full\n");
        sink.reason = "\x1b[2Jqueue full";
        QCOMPARE(run({"--card", "blank"}), int(ExitRefused));
        QCOMPARE(err, "msrswipe: the reader on MCRSTUBEX refused the swipe: \\x1B[2Jqueue full\n");

        // A window that takes the swipe and never answers (stopped, say).
        sink.room = 1000;
        sink.finishes = false;
        QCOMPARE(run({"--card", "test", "--wait", "--timeout", "0.5"}), int(ExitNoReader));
        QCOMPARE(err, "msrswipe: the window on MCRSTUBEX did not answer within 0.5 seconds\n");

        // A refused connection is a failed connection, not a refused swipe.
        QTRY_COMPARE(service.connectionCount(), 0); // the one that gave up is gone
        std::vector<std::unique_ptr<QLocalSocket>> others;
        while (others.size() < std::size_t(msr::VirtualMsrService::kMaxConnections)) {
            others.push_back(std::make_unique<QLocalSocket>());
            others.back()->connectToServer(msr::swipeSocketPath("MCRSTUBEX"));
        }
        QTRY_COMPARE(service.connectionCount(), msr::VirtualMsrService::kMaxConnections);
        QCOMPARE(run({"--card", "test"}), int(ExitNoReader));
        QCOMPARE(err, "msrswipe: the reader on MCRSTUBEX refused the connection: too many "
                      "connections\n");
    }

    void namesThePathItCannotUse()
    {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.filePath(QString(100, 'd'))));
        QCOMPARE(run({"--card", "test"}), int(ExitNoReader));
        QVERIFY2(err.contains("/swipewatch-MCRSTUBEX.sock is longer than a local socket path "
                              "may be (at most 107 bytes)"),
                 qPrintable(err));
        qunsetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", "/dev/null/tmp");
        QCOMPARE(run({"--card", "test"}), int(ExitNoReader));
        QVERIFY2(
            err.startsWith("msrswipe: cannot create the runtime folder /dev/null/tmp/runtime-"),
            qPrintable(err));
    }

    // The real binary, for its exit status, what it says and what the reader took.
    void theBinary_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // standard output, then standard error
        QTest::addColumn<int>("swipes");
        const auto row = [](const char *name, const QString &words, const char *input, int status,
                            const QString &said, int swipes) {
            QTest::newRow(name) << words.split(' ') << QByteArray(input) << status << said
                                << swipes;
        };
        const auto badLine = [&row](const char *name, const char *input, const QString &why) {
            row(name, "-f -", input, 2, "msrswipe: standard input, line " + why + '\n', 0);
        };
        QFile file(runtime.filePath("cards.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("# one card\n;12?\n") > 0);
        const QString card = "line %1: swipe %2 as #%3: track 1: %4; track 2: %5; track 3: %6\n";
        row("no reader", "-D NOBODY --card test", "", 3,
            "msrswipe: no reader is listening on NOBODY: start swipewatch first\n", 0);
        row("cards in a file", "-n2 -f " + file.fileName(), "", 0,
            card.arg(u"2", u"1 of 2 accepted", u"1", u"empty", u"2 characters", u"empty") +
                card.arg(u"2", u"2 of 2 accepted", u"2", u"empty", u"2 characters", u"empty"),
            2);
        row("cards on standard input: CRLF, blanks, ';' for track 3", "-w -f -",
            "%B4^X?;41=2?+33?\r\n\n  ;12?;3?  \n", 0,
            card.arg(u"1", u"delivered", u"1", u"4 characters", u"4 characters", u"2 characters") +
                card.arg(u"3", u"delivered", u"2", u"empty", u"2 characters", u"1 character"),
            2);
        badLine("text a track cannot hold, after a good line", ";12?\n%a?\n",
                "2: track 1 cannot hold 'a' (position 1): track 1 takes only ASCII space to '_' "
                "(digits, capitals and punctuation, no lowercase)");
        badLine("no end sentinel", "%A?;1", "1: track 2 has no end sentinel '?'");
        badLine("no start sentinel", "B4^X?",
                "1: 'B' at column 1 starts no track: a track starts with '%', ';' or '+'");
        badLine("out of order", ";1?%A?",
                "1: '%' at column 4 starts track 1, which cannot follow track 2");
        badLine("the reader's failure mark", "%A?;E?",
                "1: track 2 is 'E', a reader's mark for a track it could not read, not card data");
        row("endless file", "-f /dev/zero", "", 2,
            "msrswipe: /dev/zero is longer than 4 MiB: split the batch\n", 0);
        row("version", "--version", "", 0, "msrswipe " SWIPEWATCH_VERSION_STRING "\n", 0);
    }
    void theBinary()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(int, status);
        QFETCH(QString, said);
        QFETCH(int, swipes);
        msr::VirtualMsrService service(QStringLiteral("MCRSTUBEX"));
        StandIn sink;
        sink.service = &service;
        service.setSwipeSink(&sink);
        QCOMPARE(service.claim(0), opos::OPOS_SUCCESS);
        QProcess msrswipe;
        QSignalSpy finished(&msrswipe, &QProcess::finished);
        msrswipe.start(QStringLiteral(MSRSWIPE_PATH), arguments);
        msrswipe.write(input);
        msrswipe.closeWriteChannel();
        QVERIFY(finished.wait(30000)); // the reader answers from this event loop
        QCOMPARE(msrswipe.exitCode(), status);
        QCOMPARE(msrswipe.readAllStandardOutput() + msrswipe.readAllStandardError(), said);
        QCOMPARE(sink.swipes.size(), swipes);
    }
};

QTEST_GUILESS_MAIN(TestFeeder)
#include "tst_feeder.moc"
