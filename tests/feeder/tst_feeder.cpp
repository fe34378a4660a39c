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
// Everything parseArguments sets, in one comparable list.
QVariantList fields(const Options &o)
{
    QVariantList all{o.device, o.repeat, o.wait, o.timeoutMs, o.file, o.help, o.version};
    for (std::size_t t = 0; t < 3; ++t)
        all << QString::fromStdString(o.card.text[t].value_or("-")) << int(o.card.damage[t])
            << int(o.card.raw[t] ? o.card.raw[t]->size() : -1);
    return all << o.card.reverse;
}

} // namespace

class TestFeeder : public QObject {
    Q_OBJECT
    QTemporaryDir runtime;
    QString out, err;
    QByteArray input; // standard input for "--file -"

    int run(const QStringList &arguments)
    {
        out.clear();
        err.clear();
        QTextStream o(&out), e(&err);
        QBuffer in(&input);
        in.open(QIODevice::ReadOnly);
        return runMsrSwipe(arguments, in, o, e);
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
        QTest::newRow("short") << QStringList{"-1",    "A",  "-2", "12", "-3", "3", "-d",
                                              "2:end", "-n", "2",  "-w", "-D", "X"}
                               << QStringList{"--track1=A",     "--track2=12", "--track3=3",
                                              "--damage=2:end", "--repeat=2",  "--wait",
                                              "--device=X"};
        QTest::newRow("clustered")
            << QStringList{"-wn3", "-d1:lrc", "-DX", "-2", "1"}
            << QStringList{"--wait", "--repeat=3", "--damage=1:lrc", "--device=X", "--track2=1"};
        QTest::newRow("file") << QStringList{"-f", "-", "-wD", "X"}
                              << QStringList{"--file", "-", "--wait", "--device", "X"};
        QTest::newRow("help") << QStringList{"-h"} << QStringList{"--help"};
        QTest::newRow("long after one dash")
            << QStringList{"-card", "test", "-repeat=2", "-wait", "-device", "X"}
            << QStringList{"--card=test", "--repeat=2", "--wait", "--device=X"};
        QTest::newRow("values that start with a dash")
            << QStringList{"-1", "-card", "--track2", "-wait", "-D", "-w"}
            << QStringList{"--track1=-card", "--track2=-wait", "--device=-w"};
    }
    void shortAndOldFormsMeanTheLongOnes()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, longForm);
        const ParsedOptions got = parseArguments(arguments);
        QVERIFY2(got.options, qPrintable(got.error));
        QCOMPARE(fields(*got.options), fields(parse(longForm)));
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

    void readsTheTextOfAReader_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("cards"); // "LINE track1|track2|track3", '-' for none
        const auto row = [](const char *name, const char *text, const QStringList &cards) {
            QTest::newRow(name) << QByteArray(text) << cards;
        };
        row("three tracks", "%B41^X^29?;41=29?+33?", {"1 B41^X^29|41=29|33"});
        row("comments, blank lines, CRLF, ';' for track 3",
            "# batch\r\n\r\n;12?;34?\r\n  %A?  \n;?", {"3 -|12|34", "4 A|-|-", "5 -||-"});
        row("no end sentinel", "%A?\n%A?;1", {"line 2: track 2 has no end sentinel '?'"});
        row("no start sentinel", "B41^X",
            {"line 1: 'B' at column 1 starts no track: a track starts with '%', ';' or '+'"});
        row("out of order", ";1?%A?",
            {"line 1: '%' at column 4 starts track 1, which cannot follow track 2"});
        row("after track 3", "+1?;2?",
            {"line 1: ';' at column 4 starts track 2, which cannot follow track 3"});
        row("the reader's failure mark", "%A?;E?",
            {"line 1: track 2 is 'E', a reader's mark for a track it could not read, not card "
             "data"});
        row("control character", "%A?\x1b",
            {"line 1: '\\x1B' at column 4 starts no track: a track starts with '%', ';' or '+'"});
    }
    void readsTheTextOfAReader()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, cards);
        const ReaderText read = parseReaderText(text);
        QStringList got;
        for (const ReaderLine &card : read.cards) {
            QStringList tracks;
            for (const auto &track : card.tracks)
                tracks << QString::fromStdString(track.value_or("-"));
            got << QString::number(card.line) + ' ' + tracks.join('|');
        }
        if (!read.error.isEmpty())
            got << QStringLiteral("line %1: %2").arg(read.errorLine).arg(read.error);
        QCOMPARE(got, cards);
    }

    // The real binary, for its exit status, what it says and what the reader took.
    void theBinary_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // standard output, then standard error
        QTest::addColumn<int>("swipes");
        const QString cards = runtime.filePath("cards.txt");
        QFile file(cards);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("# two\n;12?\n%A?;34?\n") > 0);
        const QString lines[] = {
            "line 2: swipe %1 of 2 accepted as #%2: track 1: empty; track 2: 2 characters; "
            "track 3: empty\n",
            "line 3: swipe %1 of 2 accepted as #%2: track 1: 1 character; track 2: 2 characters; "
            "track 3: empty\n"};
        QTest::newRow("no reader")
            << QStringList{"-D", "NOBODY", "--card", "test"} << QByteArray() << 3
            << "msrswipe: no reader is listening on NOBODY: start swipewatch first\n"
            << 0;
        QTest::newRow("cards in a file") << QStringList{"-f", cards, "-n2"} << QByteArray() << 0
                                         << lines[0].arg(1).arg(1) + lines[0].arg(2).arg(2) +
                                                lines[1].arg(1).arg(3) + lines[1].arg(2).arg(4)
                                         << 4;
        QTest::newRow("cards on standard input")
            << QStringList{"-w", "-f", "-"} << QByteArray("%A?\n") << 0
            << "line 1: swipe delivered as #1: track 1: 1 character; track 2: empty; track 3: "
               "empty\n"
            << 1;
        QTest::newRow("a bad line sends nothing")
            << QStringList{"-f", "-"} << QByteArray(";12?\n%a?\n") << 2
            << "msrswipe: standard input, line 2: track 1 cannot hold 'a' (position 1): track 1 "
               "takes only ASCII space to '_' (digits, capitals and punctuation, no lowercase)\n"
            << 0;
        QTest::newRow("endless file") << QStringList{"-f", "/dev/zero"} << QByteArray() << 2
                                      << "msrswipe: /dev/zero is longer than 4 MiB: split the "
                                         "batch\n"
                                      << 0;
        QTest::newRow("folder") << QStringList{"--file", runtime.path()} << QByteArray() << 2
                                << "msrswipe: " + runtime.path() +
                                       " is a folder, not a file of cards\n"
                                << 0;
        QTest::newRow("version") << QStringList{"--version"} << QByteArray() << 0
                                 << "msrswipe " SWIPEWATCH_VERSION_STRING "\n"
                                 << 0;
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
