// SPDX-License-Identifier: MIT
// Keyboard-type readers: key events to text, the device-list options, and
// the service on an emulated evdev node (the real open, EVIOCGRAB and read):
// claim, swipes, unplugged and back when udev says so, release.
#include "testbed.h"

#include "../common/swipelog.h"
#include "backends/keyboard/keyboardservice.h"
#include "reader/opos.h"

#include <QSignalSpy>
#include <QTest>

#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

using namespace msr;

namespace {

QByteArray record(unsigned type, unsigned code, int value)
{
    input_event e{};
    e.type = type;
    e.code = code;
    e.value = value;
    return QByteArray(reinterpret_cast<const char *>(&e), sizeof e);
}

// One key as a keyboard reports it: scan code, key, report.
QByteArray key(unsigned code, int value)
{
    return record(EV_MSC, MSC_SCAN, int(code)) + record(EV_KEY, code, value) +
           record(EV_SYN, SYN_REPORT, 0);
}

QByteArray tap(unsigned code)
{
    return key(code, 1) + key(code, 0);
}

// A US layout by key code up to KEY_SLASH, plain and with Shift.
const QByteArrayView kPlain = "  1234567890-=  qwertyuiop  \r asdfghjkl;    zxcvbnm,./";
const QByteArrayView kShifted = "  !@#$%^&*()_+  QWERTYUIOP    ASDFGHJKL:    ZXCVBNM<>?";

// Types as a reader does, Shift held across shifted characters.
QByteArray type(QByteArrayView text)
{
    QByteArray out;
    bool shift = false;
    for (char c : text) {
        const bool up = !kPlain.contains(c);
        if (up != std::exchange(shift, up))
            out += key(KEY_LEFTSHIFT, up);
        out += tap(unsigned((up ? kShifted : kPlain).indexOf(c)));
    }
    return shift ? out + key(KEY_LEFTSHIFT, 0) : out;
}

} // namespace

class TestKeyboard : public QObject {
    Q_OBJECT
private slots:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("records");
        QTest::addColumn<QString>("text"); // <lost> where events were lost
        QTest::addRow("letters without Shift are upper case") << tap(KEY_B) + tap(KEY_E) << "BE";
        QTest::addRow("left Shift released, right still held, then released")
            << key(KEY_LEFTSHIFT, 1) + key(KEY_RIGHTSHIFT, 1) + key(KEY_LEFTSHIFT, 0) + tap(KEY_5) +
                   tap(KEY_SLASH) + key(KEY_RIGHTSHIFT, 0) + tap(KEY_5)
            << "%?5";
        QTest::addRow("autorepeat types nothing")
            << key(KEY_5, 1) + key(KEY_5, 2) + key(KEY_5, 2) + key(KEY_5, 0) << "5";
        QTest::addRow("both Enter keys") << tap(KEY_ENTER) + tap(KEY_KPENTER) << "\r\r";
        QTest::addRow("Alt and keypad digits")
            << key(KEY_LEFTALT, 1) + tap(KEY_KP3) + tap(KEY_KP7) + key(KEY_LEFTALT, 0) << "%";
        QTest::addRow("lost events: up to the next report skipped, Shift forgotten")
            << type(";12") + key(KEY_LEFTSHIFT, 1) + record(EV_SYN, SYN_DROPPED, 0) +
                   record(EV_KEY, KEY_3, 1) + record(EV_SYN, SYN_REPORT, 0) + tap(KEY_4)
            << ";12<lost>4";
    }
    void decode()
    {
        QFETCH(QByteArray, records);
        QFETCH(QString, text);
        KeyDecoder decoder;
        QString out;
        for (qsizetype at = 0; at < records.size(); at += 7) // half records and worse
            for (const KeyText &piece : decoder.feed(records.mid(at, 7)))
                out += QString::fromLatin1(piece.text) + (piece.lost ? "<lost>" : "");
        QCOMPARE(out, text);
    }

    void theReaderOnTheTestbed()
    {
        QVERIFY(Testbed::load("keyboard.umockdev"));
        const QString byId = "/dev/input/by-id/usb-Test_Reader-event-kbd";
        QVERIFY(Testbed::link(byId, "../event9"));
        int reader = Testbed::devFd("/dev/input/event9");
        // Options are read as for a serial reader, bar those of a port.
        QVERIFY(
            !keyboardSettings({"TILL", "keyboard", {{"device", "/x"}, {"baud", "9600"}}}, nullptr));
        const auto settings =
            keyboardSettings({"TILL", "keyboard", {{"device", byId}, {"lrc", "no"}}}, nullptr);
        QVERIFY(settings);
        KeyboardService service("TILL", *settings);
        SwipeLog log;
        service.setSwipeSink(&log);
        QTest::failOnWarning(QRegularExpression(".")); // each message is expected below, once
        QCOMPARE(service.claim(0), opos::OPOS_SUCCESS);

        QVERIFY(send(reader, type("%B4111^DOE/J^2912?;4111=2912?\r")));
        QTRY_COMPARE(log.swipes, QStringList{"1 B4111^DOE/J^2912:0|4111=2912:0|:0"});
        // Keystrokes lost in a swipe spoil every track it touched.
        QVERIFY(send(reader, type("%A?;12") + record(EV_SYN, SYN_DROPPED, 0) + type("3?\r")));
        QTRY_COMPARE(log.swipes.mid(1), QStringList{"2 A:205|12:205|:0"});

        // Unplugged in the middle of a swipe, then plugged in again.
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("TILL: the reader at " + byId + " went away"));
        QSignalSpy reads(service.findChild<DevicePump *>(), &DevicePump::dataRead);
        QVERIFY(send(reader, type("%B41")));
        // Read before the node goes: a pty drops what is unread when its far end closes.
        const auto bytesRead = [&] {
            qsizetype n = 0;
            for (const QList<QVariant> &read : reads)
                n += read[0].toByteArray().size();
            return n;
        };
        QTRY_COMPARE(bytesRead(), type("%B41").size());
        ::close(reader);
        QTRY_COMPARE(log.swipes.mid(2), QStringList{"3 B41:205|:0|:0"});
        const char *event9 = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/"
                             "0003:0801:0001.0002/input/input9/event9";
        Testbed::uevent(event9, "remove");
        Testbed::remove(event9);
        // Back at another node, its by-id link moved there. The test bed cannot
        // map a pty number it has mapped before: hold the freed one.
        const int holder = ::posix_openpt(O_RDWR | O_NOCTTY);
        const QByteArray event10 = QByteArray(event9).replace("event9", "event10");
        QVERIFY(Testbed::add("P: " + event10.mid(4) +
                             "\nN: input/event10\nE: SUBSYSTEM=input\n"
                             "E: DEVNAME=/dev/input/event10\nA: dev=13:74\n"));
        QVERIFY(Testbed::link(byId, "../event10"));
        reader = Testbed::devFd("/dev/input/event10");
        QVERIFY(send(reader, type(";5?\r"))); // read once udev says the reader is back
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("TILL: the reader at .* is back"));
        Testbed::uevent(event10.constData(), "add");
        QTRY_COMPARE(log.swipes.mid(3), QStringList{"4 :0|5:0|:0"});

        service.release();
        ::close(holder);
    }
};

QTEST_GUILESS_MAIN(TestKeyboard)
#include "tst_keyboard.moc"
