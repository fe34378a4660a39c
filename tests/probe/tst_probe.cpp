// SPDX-License-Identifier: MIT
// msrprobe: the readers it finds on an emulated sysfs and /dev, the udev
// rules it writes, and whole --watch runs against the virtual reader with
// msrswipe swiping, card numbers masked or not.
#include "testbed.h"

#include "reader/deviceregistry.h"
#include "tools/probe/msrprobe.h"
#include "tools/probe/watch.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

class TestProbe : public QObject {
    Q_OBJECT
    QTemporaryDir m_home;
    static constexpr int kPatience = 30000; // ms; sanitizer builds on a loaded machine are slow

private slots:
    void initTestCase()
    {
        // A keyboard-type reader, a USB serial reader, a HID reader naming
        // itself with a terminal escape, and that reader's keyboard interface.
        QVERIFY(Testbed::load("keyboard.umockdev"));
        QVERIFY(Testbed::load("serial.umockdev"));
        QVERIFY(Testbed::load("hidreader.umockdev", {{"=HID Reader\n", "=HID \x1b[2JReader\n"}}));
        qputenv("XDG_RUNTIME_DIR", m_home.filePath("run").toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", m_home.filePath("config").toLocal8Bit());
        qputenv("XDG_CONFIG_DIRS", m_home.filePath("config").toLocal8Bit());
        QFile list(m_home.filePath("devices.conf"));
        QVERIFY(list.open(QIODevice::WriteOnly) &&
                list.write("MCRSTUBEX = virtual\nGONE = serial device=/dev/\x1b[2Jgone\n"
                           "REPLAY = replay speed=20 file=" PROBE_FIXTURES
                           "/serial-three.rec\n") > 0);
        list.close();
        qputenv("SWIPEWATCH_DEVICES", list.fileName().toLocal8Bit());
    }

    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("lines"); // expected in what it prints
        QTest::addColumn<QString>("output");    // where its standard output goes; "" a pipe
        QTest::addRow("one of each kind")
            << QStringList() << 0
            << QStringList{"keyboard /dev/input/by-id/usb-Test_Reader-event-kbd -> "
                           "/dev/input/event9",
                           "\"Test Reader\", USB 0801:0001",
                           "READER1 = keyboard device=/dev/input/by-id/usb-Test_Reader-event-kbd",
                           "\"Serial Reader\", USB 0801:0003",
                           "READER2 = serial "
                           "device=\"/dev/serial/by-id/usb-Serial_Reader_S_N#1-if00\"",
                           "\"HID \\x1B[2JReader\", USB 0801:0002, vendor-defined page 0xFF00, "
                           "337-byte",
                           "READER3 = hid match=0801:0002"}
            << "";
        const QString rule =
            ", ATTRS{idVendor}==\"0801\", ATTRS{idProduct}==\"%1\", TAG+=\"uaccess\"";
        QTest::addRow("udev rule, hidraw")
            << QStringList{"--udev-rule", "/dev/hidraw0"} << 0
            << QStringList{"# In /etc/udev/rules.d/70-swipewatch.rules; then, as root, run "
                           "\"udevadm control --reload\" and \"udevadm trigger\", or replug it.",
                           "SUBSYSTEM==\"hidraw\"" + rule.arg("0002")}
            << "";
        QTest::addRow("udev rule, evdev")
            << QStringList{"--udev-rule", "/dev/input/event9"} << 0
            << QStringList{"SUBSYSTEM==\"input\", KERNEL==\"event*\"" + rule.arg("0001")} << "";
        QTest::addRow("udev rule, serial")
            << QStringList{"--udev-rule", "/dev/ttyACM0"} << 0
            << QStringList{"SUBSYSTEM==\"tty\"" + rule.arg("0003")} << "";
        QTest::addRow("udev rule, unplugged")
            << QStringList{"--udev-rule", "/dev/hidraw9"} << 1
            << QStringList{"no USB reader behind /dev/hidraw9: is it plugged in?"} << "";
        QTest::addRow("udev rule, escape in the path")
            << QStringList{"--udev-rule", "/dev/\x1b[2J"} << 1
            << QStringList{"msrprobe: udev knows no USB reader behind /dev/\\x1B[2J"} << "";
        QTest::addRow("unknown option")
            << QStringList{"--\x1b[2J"} << 2 << QStringList{"option '\\x1B[2J'"} << "";
        QTest::addRow("unknown reader")
            << QStringList{"--watch", "NO\aPE"} << 1
            << QStringList{"msrprobe: cannot open NO\\x07PE: 109"} << "";
        QTest::addRow("reader not there")
            << QStringList{"--watch", "GONE"} << 1
            << QStringList{"msrprobe: GONE: cannot use /dev/\\x1B[2Jgone: No such file",
                           "msrprobe: cannot claim GONE: 107"}
            << "";
        // A recording from a pty standing in for a serial reader: a good card, an
        // E on track 1, track 2 without its end sentinel.
        const QStringList replay{"--watch", "REPLAY", "--count"};
        const QString good = "track1 43 \"B411111******1111^<name, 8 characters>^291210******0000\""
                             "  track2 37 \"411111******1111=29121010000000000000\"  track3 0";
        QTest::addRow("replay, three swipes, two failed")
            << replay + QStringList{"3"} << 1
            << QStringList{"msrprobe: watching REPLAY: replay reader, file=" PROBE_FIXTURES
                           "/serial-three.rec speed=20, playing a serial reader recorded at "
                           "/dev/ttyACM0",
                           "data   " + good,
                           "data   track1 Other error  track2 37 \"411111******1111=",
                           "track2 End sentinel error  track3 0\ninputs 3, errors 2"}
            << "";
        QTest::addRow("replay, one good swipe, raw, fields")
            << replay + QStringList{"1", "--raw", "--show-data", "--fields"} << 0
            << QStringList{"  raw +0.000 serial 85 bytes: \"%B4111111111111111^DOE/JOHN^29121010"
                           "00000000?;4111111111111111=29121010000000000000?<CR>\"\n",
                           "\n    number 4111111111111111 (16 digits, Luhn ok); expiry 2029-12 ",
                           "name \"DOE/JOHN\" (8 characters); tracks 1 and 2 agree\ninputs 1, "
                           "errors 0"}
            << "";
        QTest::addRow("replay, json")
            << replay + QStringList{"2", "--json"} << 1
            << QStringList{"{\"event\":\"open\",\"kind\":\"replay\",\"name\":\"REPLAY\","
                           "\"recorded\":"
                           "{\"device\":\"/dev/ttyACM0\",\"kind\":\"serial\"},\"settings\":{",
                           "\"fields\":{\"chip\":false,\"expired\":false,\"expiry\":\"2029-12\","
                           "\"layout\":\"financial\",\"luhn\":true,\"name_length\":8,\"pan\":"
                           "\"411111******1111\",\"pan_length\":16,",
                           "\"service_code\":\"101\",\"tracks\":[2]}"}
            << "";
        QTest::addRow("no swipe before the timeout")
            << QStringList{"--watch", "MCRSTUBEX", "--timeout", "0.3"} << 3
            << QStringList{"inputs 0, errors 0"} << "";
        QTest::addRow("raw without --show-data")
            << QStringList{"--watch", "REPLAY", "--raw"} << 2
            << QStringList{"card numbers and names whole, so it needs --show-data"} << "";
        QTest::addRow("recording where it cannot be written")
            << QStringList{"--watch", "REPLAY", "--record", "/nonexistent/x.rec"} << 1
            << QStringList{"msrprobe: cannot write /nonexistent/x.rec: No such file"} << "";
        // What the user relies on, lost to a full disk or a closed descriptor, is an error.
        const QString writeError = "msrprobe: write error: ";
        QTest::addRow("listing, disk full")
            << QStringList() << 1 << QStringList{writeError + "No space left on device"}
            << "/dev/full";
        QTest::addRow("udev rule, output closed")
            << QStringList{"--udev-rule", "/dev/hidraw0"} << 1
            << QStringList{writeError + "Bad file descriptor"} << "closed";
    }
    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, lines);
        QFETCH(int, status);
        QFETCH(QString, output);
        QProcess probe;
        if (output == "closed")
            probe.setChildProcessModifier([] { ::close(STDOUT_FILENO); });
        else if (!output.isEmpty())
            probe.setStandardOutputFile(output);
        probe.start(MSRPROBE_BINARY, arguments);
        QVERIFY(probe.waitForFinished(kPatience));
        const QString printed =
            QString::fromUtf8(probe.readAllStandardOutput() + probe.readAllStandardError());
        QCOMPARE(probe.exitCode(), status);
        for (const QString &line : lines)
            QVERIFY2(printed.contains(line), qPrintable(printed));
        QVERIFY2(!printed.contains('\x1b') && !printed.contains('\a'), qPrintable(printed));
        QCOMPARE(printed.count(" = "), lines.filter(" = ").size()); // and no other reader
        // Each line to paste, read back by the device list, names the path listed above it.
        QFile list(m_home.filePath("pasted.conf"));
        for (const QString &line : printed.split('\n').filter(" = ")) {
            QVERIFY(list.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QVERIFY(list.write(line.toUtf8()) > 0);
            list.close();
            msr::DeviceRegistry registry;
            registry.setDeviceList(list.fileName());
            const QString kind = line.simplified().section(' ', 2, 2);
            QString device;
            registry.addKind(kind, [&](const msr::DeviceEntry &entry, QString *) {
                device = entry.options.value("device");
                return std::unique_ptr<msr::MsrService>();
            });
            registry.create(line.simplified().section(' ', 0, 0));
            const QRegularExpression listed('^' +
                                                QRegularExpression::escape(kind.leftJustified(8)) +
                                                ' ' + QRegularExpression::escape(device) + "( |$)",
                                            QRegularExpression::MultilineOption);
            QVERIFY2(!line.contains("device=") || printed.contains(listed), qPrintable(device));
        }
    }

    void maskTrack_data()
    {
        QTest::addColumn<int>("track");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        const QString pan = "4111111111111111", masked = "411111******1111";
        QTest::addRow("track 1 without ^") << 1 << "B" + pan << "B" + masked;
        QTest::addRow("dashes, spaces") << 2 << "4111-1111-1111-1111=4111 1111 1111 1111 "
                                        << "4111-11**-****-1111=4111 11** **** 1111 ";
        QTest::addRow("11, 12 digits") << 3 << "12345678901=123456789012"
                                       << "12345678901=123456**9012";
        QTest::addRow("19, 20 digits, 20 in groups")
            << 3 << "1234567890123456789=12345678901234567890=" + pan + " 2912"
            << "123456*********6789=12345678901234567890=411111********** 2912";
    }
    void maskTrack()
    {
        QFETCH(int, track);
        QFETCH(QString, text);
        QFETCH(QString, shown);
        QCOMPARE(probe::maskTrack(track, text), shown);
    }

    void watchesTheVirtualReader_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QStringList>("lines"); // the event lines after the time, then the counts
        QTest::addColumn<bool>("closed");       // nobody reads its output: the first swipe ends it
        QTest::addRow("text, masked")
            << QStringList()
            << QStringList{"data   track1 19 \"A411111******1111^<name, 1 character>\"  track2 16 "
                           "\"411111******1111\"  track3 23 \"015500********0004=7247\"",
                           "data   track1 48 \"B411111******1111^<name, 9 characters>^"
                           "29121010000000000000\"  track2 Parity error  track3 0",
                           "track2 37", "inputs 3, errors 1"}
            << false;
        QTest::addRow("json, whole")
            << QStringList{"--json", "--show-data"}
            << QStringList{"{\"data\":\"4111111111111111\",\"length\":16,\"track\":2}",
                           "{\"error\":203,\"text\":\"Parity error\",\"track\":2}",
                           "\"length\":37,\"track\":2}", "{\"errors\":1,\"inputs\":3}"}
            << false;
        QTest::addRow("text, output closed")
            << QStringList() << QStringList{"msrprobe: write error: Broken pipe"} << true;
    }
    void watchesTheVirtualReader()
    {
        QFETCH(QStringList, options);
        QFETCH(QStringList, lines);
        QFETCH(bool, closed);
        QProcess probe;
        int ends[2]; // with closed, its output: a pipe this test closes
        QVERIFY(::pipe2(ends, O_CLOEXEC) == 0);
        if (closed)
            probe.setChildProcessModifier([&] { ::dup2(ends[1], STDOUT_FILENO); });
        probe.start(MSRPROBE_BINARY, QStringList{"--watch", "MCRSTUBEX"} + options);
        ::close(ends[0]);
        ::close(ends[1]);
        QByteArray said;
        QTRY_VERIFY2_WITH_TIMEOUT((said += probe.readAllStandardError()).contains("watching"),
                                  said.constData(), kPatience);
        for (const QStringList &card :
             {QStringList{"-1", "A4111111111111111^X", "-2", "4111111111111111", "-3",
                          "015500000000000004=7247"},
              QStringList{"--card", "test", "--damage", "2:parity"},
              QStringList{"--card", "test"}}) {
            QProcess swipe;
            swipe.start(MSRSWIPE_BINARY, card + QStringList{"--wait"});
            QVERIFY(swipe.waitForFinished(kPatience));
            QCOMPARE(swipe.exitCode(), 0);
            if (closed) {
                QVERIFY(probe.waitForFinished(kPatience));
                QCOMPARE(probe.exitCode(), 1);
                QVERIFY2((said += probe.readAllStandardError()).contains(lines[0].toUtf8()),
                         said.constData());
                return;
            }
        }
        // A pid of 0, once msrprobe has ended, would signal this test's own group.
        QVERIFY(probe.processId() > 0 && ::kill(pid_t(probe.processId()), SIGINT) == 0);
        QVERIFY(probe.waitForFinished(kPatience));
        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.exitCode(), 1); // the parity error
        QStringList out = QString::fromUtf8(probe.readAllStandardOutput()).split('\n');
        QVERIFY(!options.contains("--json") ||
                out.takeFirst().startsWith("{\"event\":\"open\",\"kind\":\"virtual\","));
        QCOMPARE(out.size(), 5); // three events, the counts, and the last newline
        for (int i = 0; i < 4; ++i)
            QVERIFY2(out[i].contains(lines[i]), qPrintable(out[i]));
    }
};

QTEST_GUILESS_MAIN(TestProbe)
#include "tst_probe.moc"
