// SPDX-License-Identifier: MIT
// Keyboard-type readers: key events to text, the device-list options, and
// the service on a socketpair: claim, swipes, unplugged and back, release.
#include "../common/keytyping.h"
#include "../common/swipelog.h"
#include "backends/keyboard/keyboardservice.h"
#include "reader/opos.h"

#include <QTest>

#include <cerrno>
#include <linux/input.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace msr;

namespace {

struct FakeOps : DeviceOps {
    QStringList *calls;
    int *busy; // EBUSY answers left
    FakeOps(QStringList *c, int *b) : calls(c), busy(b) {}
    int grab(int) override { return *calls << "grab", *busy && (*busy)-- ? EBUSY : 0; }
    int ungrab(int) override { return *calls << "ungrab", 0; }
};

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

    void theReaderOnASocket()
    {
        int pair[2];
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        int device = pair[0]; // the node's end; -1: no such node
        QStringList calls;
        int busy = 2;
        // Options are read as for a serial reader, bar those of a port.
        QVERIFY(
            !keyboardSettings({"TILL", "keyboard", {{"device", "/x"}, {"baud", "9600"}}}, nullptr));
        const auto settings = keyboardSettings(
            {"TILL", "keyboard", {{"device", "/dev/input/event9"}, {"lrc", "no"}}}, nullptr);
        QVERIFY(settings);
        KeyboardService service(
            "TILL", *settings,
            [&](const QString &) { return device < 0 ? -ENOENT : ::dup(device); },
            std::make_unique<FakeOps>(&calls, &busy));
        SwipeLog log;
        service.setSwipeSink(&log);
        QTest::failOnWarning(QRegularExpression(".")); // each message is expected below, once
        QCOMPARE(service.claim(5000), opos::OPOS_SUCCESS);
        QCOMPARE(calls, QStringList({"grab", "grab", "grab"})); // retried until free

        QVERIFY(send(pair[1], type("%B4111^DOE/J^2912?;4111=2912?\r")));
        QTRY_COMPARE(log.swipes, QStringList{"1 B4111^DOE/J^2912:0|4111=2912:0|:0"});
        // Keystrokes lost in a swipe spoil every track it touched.
        QVERIFY(send(pair[1], type("%A?;12") + record(EV_SYN, SYN_DROPPED, 0) + type("3?\r")));
        QTRY_COMPARE(log.swipes.mid(1), QStringList{"2 A:205|12:205|:0"});

        // Unplugged in the middle of a swipe, then plugged in again.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("TILL: the reader at "
                                                              "/dev/input/event9 went away"));
        QVERIFY(send(pair[1], type("%B41")));
        ::close(pair[1]);
        ::close(std::exchange(device, -1));
        QTRY_COMPARE(log.swipes.mid(2), QStringList{"3 B41:205|:0|:0"});
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        QVERIFY(send(pair[1], type(";5?\r"))); // one track: the idle gap ends it
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("TILL: the reader at .* is back"));
        calls.clear();
        device = pair[0];
        QTRY_COMPARE(log.swipes.mid(3), QStringList{"4 :0|5:0|:0"});
        QCOMPARE(calls, QStringList{"grab"});

        service.release();
        QCOMPARE(calls, QStringList({"grab", "ungrab"}));
        ::close(device);
        ::close(pair[1]);
    }
};

QTEST_GUILESS_MAIN(TestKeyboard)
#include "tst_keyboard.moc"
