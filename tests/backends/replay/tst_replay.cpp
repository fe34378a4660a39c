// SPDX-License-Identifier: MIT
// Recordings and the replay kind: the format read and refused line by line,
// the recorder's file, and per kind a live reader on its test seam recorded
// and played back, the control giving the same events both times.
#include "testbed.h"

#include "../common/keytyping.h"
#include "../common/swipelog.h"
#include "backends/hid/hidservice.h"
#include "backends/keyboard/keyboardservice.h"
#include "backends/replay/recorder.h"
#include "backends/replay/replayservice.h"
#include "backends/serial/serialservice.h"
#include "reader/msrcontrol.h"
#include "reader/opos.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace msr;

namespace {

// A stripe reader's vendor layout, no report ID: status, lengths, 110-byte tracks.
const QByteArray kVendor = QByteArray::fromHex("0600FF0901A1011500 26FF00 7508 0920 0921 0922 0928"
                                               "0929 092A 0938 9507 8102 0930956E820201"
                                               "0931956E820201 0932956E820201 C0");

QByteArray vendorReport(const QByteArray &status, const QList<QByteArray> &tracks, int size = 337)
{
    QByteArray r = status + char(tracks[0].size()) + char(tracks[1].size()) +
                   char(tracks[2].size()) + '\0' + QByteArray(330, '\0');
    for (int t = 0; t < 3; ++t)
        r.replace(7 + 110 * t, tracks[t].size(), tracks[t]);
    return r.left(size);
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// A control on a one-line device list, logging its events with the tracks they carry.
struct Watch {
    DeviceRegistry registry;
    std::unique_ptr<MsrControl> control;
    QStringList events;

    Watch(const QString &list, const QString &line, const QString &kind,
          DeviceRegistry::Factory factory)
    {
        writeFile(list, line.toUtf8() + '\n');
        registry.setDeviceList(list);
        registry.addKind(kind, std::move(factory));
        control = std::make_unique<MsrControl>(registry);
        QObject::connect(control.get(), &MsrControl::eventDelivered,
                         [this](int id, const QVariantList &args) {
                             QStringList tracks;
                             for (int t = dispid::Track1Data; t <= dispid::Track3Data; ++t)
                                 tracks << control->invoke(t, InvokeKind::PropertyGet).toString();
                             QString event = QString::number(id);
                             for (const QVariant &arg : args)
                                 event += ' ' + arg.toString();
                             events << event + ' ' + tracks.join('|');
                             put(dispid::DataEventEnabled, 1);
                         });
    }
    QVariant put(int id, int value)
    {
        return control->invoke(id, InvokeKind::PropertyPut, {value});
    }
    int start()
    {
        int rc = control->invoke(dispid::Open, InvokeKind::Method, {QStringLiteral("R")}).toInt();
        if (!rc)
            rc = control->invoke(dispid::ClaimDevice, InvokeKind::Method, {1000}).toInt();
        put(dispid::ErrorReportingType, opos::MSR_ERT_TRACK);
        put(dispid::DeviceEnabled, 1);
        put(dispid::DataEventEnabled, 1);
        return rc;
    }
};

} // namespace

class TestReplay : public QObject {
    Q_OBJECT
    QTemporaryDir dir{"/tmp/tst_replay-XXXXXX"};

private slots:
    void initTestCase()
    {
        qputenv("XDG_RUNTIME_DIR", dir.filePath("run").toLocal8Bit());
        QVERIFY(Testbed::load("keyboard.umockdev"));
        QVERIFY(Testbed::load("hidreader.umockdev"));
    }

    // A recording is read as a person may have edited it, and written back the
    // way the recorder writes it; a fault is 104 at Open naming the line.
    void recordings_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("result"); // as written back, or "LINE: fault"
        const QByteArray serial = "swipewatch-recording 1\nkind serial\ngap 40\nlrc no\n";
        const auto row = [](const char *name, const QByteArray &text, const QString &options,
                            const QString &result) {
            QTest::addRow("%s", name) << text << options << result;
        };
        row("edited: comments, CR LF, hex, times",
            "# bench copy\r\nswipewatch-recording 1\r\nkind serial\r\nlrc yes\r\n\r\n"
            "+0 \"%A?\\r\\x03\\\\\\\"\"\r\n+1.5 hex 3B 31 3F\r\n  # a comment\n+2.0000 gone\n"
            "+2.25 back\n",
            "",
            "swipewatch-recording 1\nkind serial\ngap 150\nlrc yes\n+0.000 "
            "\"%A?\\r\\x03\\\\\\\"\"\n"
            "+1.500 \";1?\"\n+2.000 gone\n+2.250 back\n");
        row("keyboard, microseconds",
            "swipewatch-recording 1\nkind keyboard\ngap 150\nlrc no\n"
            "+0.000250 1 42 1,0 0 0 , 4 4 -7\n",
            "speed=0.5 loop=yes",
            "swipewatch-recording 1\nkind keyboard\ngap 150\nlrc no\nlayout us\n+0.000250 1 42 1, "
            "0 0 0, 4 4 -7\n");
        QByteArray spaced = kVendor.toHex().toUpper(); // 16 bytes a group
        for (qsizetype at = spaced.size() / 32 * 32; at > 0; at -= 32)
            spaced.insert(at, ' ');
        row("hid, another reader after a replug",
            "swipewatch-recording 1\nkind hid\ndescriptor " + kVendor.toHex() +
                "\n+1 0000 0003\n+2 descriptor " + kVendor.toHex() + "\n",
            "",
            "swipewatch-recording 1\nkind hid\ndescriptor " + spaced.trimmed() +
                "\n+1.000 00000003\n+2.000 descriptor " + spaced.trimmed() + "\n");
        const auto fault = [&](const char *name, const QByteArray &text, const char *result) {
            row(name, text, "", QStringLiteral("r.rec:") + result);
        };
        fault("empty", "", "1: empty");
        fault("another file", "MCRSTUBEX = virtual\n", "1: not a recording");
        fault("a later version", "swipewatch-recording 2\n", "1: a recording of another version");
        fault("header cut off", "swipewatch-recording 1\n",
              "1: the recording ends inside its header");
        fault("last line cut off", serial + "+1.000 \"%B41", "5: the file ends inside this line");
        fault("time goes back", serial + "+2 \"1\"\n+1 \"2\"\n", "6: the time goes back");
        fault("bad time", serial + "+1,5 \"1\"\n", "5: expected the time as +SECONDS");
        fault("unknown escape", serial + "+1 \"\\q\"\n", "5: unknown escape '\\q'");
        fault("raw control character", serial + "+1 \"\x1b\"\n", "5: a control character");
        fault("odd hex", serial + "+1 hex 3B3\n", "5: an odd number of hex digits");
        fault("half a triple", "swipewatch-recording 1\nkind keyboard\n+0 1 42\n",
              "3: expected input events");
        fault("unknown header line", serial + "gpa 20\n", "5: 'gpa' is not a header line");
        fault("header after reads", serial + "+0 \"1\"\nlrc yes\n", "6: expected +TIME");
        fault("gap out of range", "swipewatch-recording 1\nkind serial\ngap 5\n",
              "3: gap '5' is not a whole number from 10");
        fault("hid without its descriptor", "swipewatch-recording 1\nkind hid\n+0 00\n",
              "3: a read before the descriptor line");
        fault("a layout libxkbcommon lacks",
              "swipewatch-recording 1\nkind keyboard\nlayout fr\nvariant zz\n+0 1 42 1\n",
              "4: no keyboard layout 'fr(zz)'");
        fault("a keyboard's descriptor",
              "swipewatch-recording 1\nkind hid\n\ndescriptor 05010906A101050719002965750895068100"
              "C0\n",
              "4: not a stripe reader's descriptor");
        row("bad speed", serial, "speed=0", "bad value '0' for speed");
    }
    void recordings()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, options);
        QFETCH(QString, result);
        const QString file = dir.filePath("r.rec");
        writeFile(file, text);
        Watch watch(dir.filePath("devices.conf"), "R = replay file=" + file + ' ' + options,
                    "replay", &replay::createReplayService);
        const DeviceRegistry::Lookup lookup = watch.registry.create("R");
        QCOMPARE(lookup.result, lookup.service ? 0 : opos::OPOS_E_NOSERVICE);
        const replay::Parsed parsed = replay::parseRecording(text);
        const QString got = lookup.service
                                ? QString::fromUtf8(replay::formatRecording(*parsed.recording))
                                : lookup.error;
        QVERIFY2(lookup.service ? got == result : got.contains(result), qPrintable(got));
    }

    // The file the recorder writes holds card numbers: only the user may read it.
    void recorderFile_data()
    {
        QTest::addColumn<QString>("make"); // what is at the path before
        QTest::addColumn<QString>("result");
        QTest::addRow("new") << ""
                             << "0600";
        QTest::addRow("an old recording, readable by all") << "file"
                                                           << "0600";
        QTest::addRow("a symbolic link") << "link"
                                         << "a symbolic link";
        QTest::addRow("a FIFO") << "fifo"
                                << "not a regular file";
    }
    void recorderFile()
    {
        QFETCH(QString, make);
        QFETCH(QString, result);
        const QString path = dir.filePath("out-" + make), target = dir.filePath("target");
        writeFile(target, "keep");
        QFile::remove(path);
        if (make == "file") {
            writeFile(path, "old content");
            QCOMPARE(::chmod(QFile::encodeName(path), 0644), 0);
        }
        if (make == "link")
            QVERIFY(QFile::link(target, path));
        if (make == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(path), 0600), 0);
            // A reader, so that the open itself works.
            QVERIFY(::open(QFile::encodeName(path), O_RDONLY | O_NONBLOCK) >= 0);
        }
        replay::Recorder recorder;
        const bool ok = recorder.open(path, {"serial", "/dev/ttyS0", {{"gap", "40"}}, {}, -1, {}});
        struct stat st {};
        QCOMPARE(::lstat(QFile::encodeName(path), &st), 0);
        const QString got = ok ? QString::number(st.st_mode & 07777, 8).rightJustified(4, '0')
                               : recorder.lastError();
        QVERIFY2(got.contains(result), qPrintable(got));
        QVERIFY(recorder.close() == ok);
        QFile kept(target);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("keep"));
        QFile written(path);
        QVERIFY(!ok || (written.open(QIODevice::ReadOnly) &&
                        written.readAll().startsWith(
                            "swipewatch-recording 1\nkind serial\ndevice /dev/ttyS0\ngap 40\n")));
    }

    // Each chunk goes to the reader's seam once the events of the one before
    // are in; a text chunk whose swipe the idle gap ends waits for it too.
    void roundTrip_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QList<QByteArray>>("chunks");
        QTest::addColumn<QList<int>>("events"); // all events in after each chunk
        const QList<QByteArray> text{
            "READER V1.0\r\n%B4111^DOE/J^2912?;4111=2912?\r\n", // sign-on, a good card
            "%E?;4111=2912?\r",                                 // track 1 unread
            ";4111=2912",                                       // no end sentinel: the gap ends it
            ";1?",                                              // one track each, a gap between:
            ";2?",                                              // two swipes, at any speed
        };
        const QList<int> after{1, 4, 5, 6, 7};
        QTest::addRow("serial") << "serial" << text << after;
        QList<QByteArray> keys;
        for (const QByteArray &chunk : text)
            keys << typeFrench(chunk); // replayed through the recorded layout
        keys[0] = typeFrench("%B4111^DOE/J^2912?;4111=2912?\r");
        keys[1] = typeFrench("%B?;12") + record(EV_SYN, SYN_DROPPED, 0) + typeFrench("3?\r");
        QTest::addRow("keyboard") << "keyboard" << keys << QList<int>{1, 2, 3, 4, 5};
        QTest::addRow("hid")
            << "hid"
            << QList<QByteArray>{vendorReport(QByteArray(3, 0), {"%B41^X^29?", ";41=29?", ""}),
                                 vendorReport(QByteArray::fromHex("000100"),
                                              {"%B41^X^29?", "", ""}),
                                 vendorReport(QByteArray(3, 0), {"", ";41=29?", ""}, 10)}
            << QList<int>{1, 4, 5};
    }
    void roundTrip()
    {
        QFETCH(QString, kind);
        QFETCH(QList<QByteArray>, chunks);
        QFETCH(QList<int>, events);
        int pair[2] = {-1, -1}; // the node's end, the reader's end
        DeviceRegistry::Factory live;
        QString line = "R = " + kind;
        if (kind == "serial") {
            char name[128];
            termios raw{};
            ::cfmakeraw(&raw);
            QCOMPARE(::openpty(&pair[1], &pair[0], name, &raw, nullptr), 0);
            line += " gap=40 device=" + QString::fromLocal8Bit(name);
            live = &createSerialService;
        } else if (kind == "keyboard") {
            // Emulated nodes: the test bed's.
            line += " layout=fr gap=40 device=/dev/input/event9";
            live = &createKeyboardService;
            pair[1] = Testbed::devFd("/dev/input/event9");
        } else {
            line += " device=/dev/hidraw0";
            live = [](const DeviceEntry &entry, QString *error) {
                return hid::createHidService(entry, error);
            };
            pair[1] = Testbed::devFd("/dev/hidraw0");
        }
        const auto expectFaults = [&] { // the short report is said on standard error
            for (int i = 0; kind == "hid" && i < 2; ++i)
                QTest::ignoreMessage(QtWarningMsg, QRegularExpression("10 bytes|data cut off"));
        };
        expectFaults();
        Watch reader(dir.filePath("live.conf"), line, kind, live);
        QCOMPARE(reader.start(), 0);
        replay::Recorder recorder;
        const QString file = dir.filePath(kind + ".rec");
        QVERIFY(recorder.open(file, reader.control->rawSource()));
        bool written = true;
        QObject::connect(reader.control.get(), &MsrControl::rawRead,
                         [&](const RawRead &read) { written = recorder.write(read) && written; });
        for (int i = 0; i < chunks.size(); ++i) {
            QVERIFY(send(pair[1], chunks[i]));
            QTRY_COMPARE(reader.events.size(), events[i]);
        }
        reader.control.reset();
        QVERIFY(written && recorder.close());
        if (kind == "serial")
            ::close(pair[0]), ::close(pair[1]);

        // Fifty times faster, twice round: each time what the reader gave.
        expectFaults();
        expectFaults();
        Watch replayed(dir.filePath("replay.conf"), "R = replay speed=50 loop=yes file=" + file,
                       "replay", &replay::createReplayService);
        QCOMPARE(replayed.start(), 0);
        QTRY_VERIFY(replayed.events.size() >= 2 * reader.events.size());
        QCOMPARE(replayed.events.mid(0, 2 * reader.events.size()), reader.events + reader.events);
    }
};

QTEST_GUILESS_MAIN(TestReplay)
#include "tst_replay.moc"
