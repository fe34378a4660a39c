// SPDX-License-Identifier: MIT
// Keyboard-type readers: key events to text, the device-list options, and
// the service on an emulated evdev node (the real open, EVIOCGRAB and read):
// claim, swipes, unplugged and back when udev says so, release.
#include "testbed.h"

#include "../common/keytyping.h"
#include "../common/swipelog.h"
#include "backends/keyboard/keyboardservice.h"
#include "reader/opos.h"

#include <QSignalSpy>
#include <QTest>

#include <linux/input.h>
#include <unistd.h>

using namespace msr;

namespace {

} // namespace

class TestKeyboard : public QObject {
    Q_OBJECT
private slots:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("records");
        QTest::addColumn<QString>("text"); // <lost> where events were lost
        QTest::addRow("us: letters without Shift are upper case")
            << tap(KEY_B) + tap(KEY_E) << "BE";
        QTest::addRow("us: left Shift released, right still held, then released")
            << key(KEY_LEFTSHIFT, 1) + key(KEY_RIGHTSHIFT, 1) + key(KEY_LEFTSHIFT, 0) + tap(KEY_5) +
                   tap(KEY_SLASH) + key(KEY_RIGHTSHIFT, 0) + tap(KEY_5)
            << "%?5";
        QTest::addRow("us: autorepeat types nothing")
            << key(KEY_5, 1) + key(KEY_5, 2) + key(KEY_5, 2) + key(KEY_5, 0) << "5";
        QTest::addRow("us: both Enter keys") << tap(KEY_ENTER) + tap(KEY_KPENTER) << "\r\r";
        QTest::addRow("us: Alt and keypad digits")
            << key(KEY_LEFTALT, 1) + tap(KEY_KP3) + tap(KEY_KP7) + key(KEY_LEFTALT, 0) << "%";
        QTest::addRow("us: lost events: up to the next report skipped, Shift forgotten")
            << type(";12") + key(KEY_LEFTSHIFT, 1) + record(EV_SYN, SYN_DROPPED, 0) +
                   record(EV_KEY, KEY_3, 1) + record(EV_SYN, SYN_REPORT, 0) + tap(KEY_4)
            << ";12<lost>4";
        QTest::addRow("us: Enter drops Shift")
            << key(KEY_LEFTSHIFT, 1) + tap(KEY_ENTER) + tap(KEY_1) << "\r1";
        QTest::addRow("us: Alt over keys no reader types: lost; Enter drops it")
            << key(KEY_LEFTALT, 1) + tap(KEY_5) + tap(KEY_6) + tap(KEY_ENTER) + tap(KEY_1)
            << "<lost>\r1";
        QTest::addRow("us: the idle gap drops Shift and Alt")
            << key(KEY_LEFTSHIFT, 1, 1000) + tap(KEY_1, 1200) + key(KEY_LEFTALT, 1, 1200) +
                   tap(KEY_KP3, 1200) + tap(KEY_2, 1400)
            << "12";
        QTest::addRow("us: a Shift release lost: Shift again after shifted text")
            << key(KEY_RIGHTSHIFT, 1) + type("%B4^") << "%B$<lost>^";
        QTest::addRow("fr: a card typed on a French reader")
            << typeFrench("%B4111^DOE/J^2912?;4111=2912?\r") << "%B4111^DOE/J^2912?;4111=2912?\r";
        QTest::addRow("fr: digits without Shift are letters; AltGr is no Alt")
            << tap(KEY_2) + tap(KEY_0) + key(KEY_RIGHTALT, 1) + tap(KEY_9) + key(KEY_RIGHTALT, 0)
            << "éà^";
        QTest::addRow("de: Y and Z swapped; ^ dead, composed, dropped at Enter")
            << tap(KEY_Y) + tap(KEY_Z) + tap(KEY_GRAVE) + tap(KEY_SPACE) + tap(KEY_GRAVE) +
                   tap(KEY_E) + tap(KEY_GRAVE) + tap(KEY_ENTER) + tap(KEY_E)
            << "ZY^ê\rE";
    }
    void decode()
    {
        QFETCH(QByteArray, records);
        QFETCH(QString, text);
        const QString layout = QString::fromLatin1(QTest::currentDataTag()).section(':', 0, 0);
        QString fault;
        KeyDecoder decoder(KeyLayout::compile(layout, {}, &fault));
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
        QString fault;
        QVERIFY(!keyboardSettings({"TILL", "keyboard", {{"device", "/x"}, {"layout", "us,fr"}}},
                                  &fault));
        QCOMPARE(fault, "no keyboard layout 'us,fr': layout= and variant= take one XKB name each, "
                        "such as us, fr or de");
        QVERIFY(
            !keyboardSettings({"TILL", "keyboard", {{"device", "/x"}, {"layout", "zz"}}}, &fault));
        QCOMPARE(fault, "no keyboard layout 'zz' in the XKB data (/usr/share/X11/xkb)");
        const auto settings =
            keyboardSettings({"TILL", "keyboard", {{"device", byId}, {"lrc", "no"}}}, nullptr);
        QVERIFY(settings);
        // A reader set to the French layout, and listed so.
        const auto french = keyboardSettings(
            {"TILL", "keyboard", {{"device", byId}, {"layout", "fr"}, {"lrc", "no"}}}, nullptr);
        QVERIFY(french);
        KeyboardService frenchService("TILL", *french);
        SwipeLog frenchLog;
        frenchService.setSwipeSink(&frenchLog);
        QCOMPARE(frenchService.claim(0), opos::OPOS_SUCCESS);
        QVERIFY(send(reader, typeFrench("%B4111^DOE/J^2912?;4111=2912?\r")));
        QTRY_COMPARE(frenchLog.swipes, QStringList{"1 B4111^DOE/J^2912:0|4111=2912:0|:0"});
        frenchService.release();

        KeyboardService service("TILL", *settings);
        SwipeLog log;
        service.setSwipeSink(&log);
        QTest::failOnWarning(QRegularExpression(".")); // each message is expected below, once
        QCOMPARE(service.claim(0), opos::OPOS_SUCCESS);
        QSignalSpy reads(service.findChild<DevicePump *>(), &DevicePump::dataRead);
        const auto bytesRead = [&] {
            qsizetype n = 0;
            for (const QList<QVariant> &read : reads)
                n += read[0].toByteArray().size();
            return n;
        };
        // A pty holds a few kilobytes: more is sent as the service reads it.
        const auto feed = [&](const QByteArray &bytes) {
            const qsizetype start = bytesRead();
            for (qsizetype at = 0; at < bytes.size(); at += 2048) {
                QVERIFY(send(reader, bytes.mid(at, 2048)));
                QTRY_COMPARE(bytesRead() - start, std::min(at + 2048, bytes.size()));
            }
        };

        QVERIFY(send(reader, type("%B4111^DOE/J^2912?;4111=2912?\r")));
        QTRY_COMPARE(log.swipes, QStringList{"1 B4111^DOE/J^2912:0|4111=2912:0|:0"});
        // Keystrokes lost in a swipe spoil every track it touched.
        QVERIFY(send(reader, type("%A?;12") + record(EV_SYN, SYN_DROPPED, 0) + type("3?\r")));
        QTRY_COMPARE(log.swipes.mid(1), QStringList{"2 A:205|12:205|:0"});
        // Stray keys are noise; a modifier left down spoils at most its own swipe.
        const QByteArray card = type("%B4111^DOE/J^2912?;4111=2912?\r");
        QTest::ignoreMessage(QtWarningMsg, "tst_keyboard: TILL: ignored 2 bytes of noise outside "
                                           "the tracks of a swipe");
        feed(tap(KEY_SPACE) + tap(KEY_5) + card + key(KEY_LEFTALT, 1) + card + card +
             key(KEY_RIGHTSHIFT, 1) + card + card);
        const QString good = "B4111^DOE/J^2912:0|4111=2912:0|:0";
        QTRY_COMPARE(log.swipes.mid(2),
                     QStringList({"3 " + good, "4 :205|:205|:205", "5 " + good,
                                  "6 B$!!!^DOE/J^2912:205|4111=2912:205|:0", "7 " + good}));

        // Unplugged in the middle of a swipe, then plugged in again.
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("TILL: the reader at " + byId + " went away"));
        // Read before the node goes: a pty drops what is unread when its far end closes.
        feed(type("%B41"));
        ::close(reader);
        QTRY_COMPARE(log.swipes.mid(7), QStringList{"8 B41:205|:0|:0"});
        const char *event9 = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/"
                             "0003:0801:0001.0002/input/input9/event9";
        // Back at another node, its by-id link moved there.
        const QByteArray event10 =
            Testbed::replug(event9, "event10", "input/event10", "input", "13:74");
        QVERIFY(!event10.isEmpty());
        QVERIFY(Testbed::link(byId, "../event10"));
        reader = Testbed::devFd("/dev/input/event10");
        QVERIFY(send(reader, type(";5?\r"))); // read once udev says the reader is back
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("TILL: the reader at .* is back"));
        Testbed::uevent(event10.constData(), "add");
        QTRY_COMPARE(log.swipes.mid(8), QStringList{"9 :0|5:0|:0"});

        // A full queue: the rest waits in the node, then comes in order; one
        // whose keystrokes the kernel dropped meanwhile is an error.
        log.room = 1;
        const QByteArray queued = type("%A?;31?\r") + type("%B?;32?\r") + type("%C?;33?\r") +
                                  record(EV_SYN, SYN_DROPPED, 0) + type(";34?\r");
        const qsizetype before = bytesRead();
        QVERIFY(send(reader, queued));
        QTRY_COMPARE(log.refused, 1);
        QVERIFY(bytesRead() - before < queued.size()); // the rest is left in the node
        log.room = -1;
        service.swipeFinished(10, true, {});
        QTRY_COMPARE(log.swipes.mid(9), QStringList({"10 A:0|31:0|:0", "11 B:0|32:0|:0",
                                                     "12 C:0|33:0|:0", "13 :0|34:205|:0"}));
        // Refused for any other reason: not kept, and said once for them all.
        log.room = 0;
        log.refusal = reason::kDisabled;
        QVERIFY(send(reader, type("%D?;35?\r") + type("%E?;36?\r")));
        QTRY_COMPARE(log.refused, 3);
        QTest::ignoreMessage(QtWarningMsg,
                             "tst_keyboard: TILL: 2 swipes discarded: reader is disabled");

        service.release();

        // Released while the reader is still away: nothing of the lost node is touched.
        QCOMPARE(service.claim(0), opos::OPOS_SUCCESS);
        QSignalSpy away(service.findChild<DevicePump *>(), &DevicePump::wentAway);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("TILL: the reader at .* went away"));
        ::close(reader);
        QTRY_COMPARE(away.count(), 1);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        service.release();
    }
};

QTEST_GUILESS_MAIN(TestKeyboard)
#include "tst_keyboard.moc"
