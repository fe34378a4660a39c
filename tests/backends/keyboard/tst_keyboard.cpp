// SPDX-License-Identifier: MIT
// Keyboard-type readers: key events to text, the device-list options, and
// the service through the control on a socketpair: claim, swipes, busy,
// unplugged and back, release.
#include "backends/keyboard/keyboardservice.h"
#include "common/eventlog.h"
#include "reader/opos.h"

#include <QTest>

#include <cerrno>
#include <linux/input.h>
#include <sys/socket.h>
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

// Types as a US-layout reader does, Shift held across shifted characters.
QByteArray type(QByteArrayView text)
{
    static const std::tuple<unsigned, QByteArrayView, QByteArrayView> rows[] = {
        {KEY_1, "1234567890-=", "!@#$%^&*()_+"},
        {KEY_Q, "", "QWERTYUIOP"},
        {KEY_A, "", "ASDFGHJKL"},
        {KEY_SEMICOLON, ";", ":"},
        {KEY_Z, "", "ZXCVBNM"},
        {KEY_COMMA, ",./", "<>?"},
        {KEY_ENTER, "\r", ""}};
    QByteArray out;
    bool shift = false;
    for (char c : text) {
        for (const auto &[first, plain, shifted] : rows) {
            const bool up = shifted.contains(c);
            if (!up && !plain.contains(c))
                continue;
            if (up != std::exchange(shift, up))
                out += key(KEY_LEFTSHIFT, up);
            out += tap(first + unsigned((up ? shifted : plain).indexOf(c)));
            break;
        }
    }
    return shift ? out + key(KEY_LEFTSHIFT, 0) : out;
}

struct FakeOps : DeviceOps {
    QStringList *calls;
    int *busy; // EBUSY answers left; -1: always
    FakeOps(QStringList *c, int *b) : calls(c), busy(b) {}
    int grab(int) override { return *calls << "grab", *busy && (*busy)-- ? EBUSY : 0; }
    int ungrab(int) override { return *calls << "ungrab", 0; }
};

bool writeAll(int fd, const QByteArray &bytes, int chunk)
{
    for (qsizetype at = 0; at < bytes.size(); at += chunk) {
        const auto piece = bytes.mid(at, chunk);
        if (::send(fd, piece.data(), std::size_t(piece.size()), MSG_NOSIGNAL) != piece.size())
            return false;
    }
    return true;
}

} // namespace

class TestKeyboard : public QObject {
    Q_OBJECT
private slots:
    void decode_data()
    {
        QTest::addColumn<QByteArray>("records");
        QTest::addColumn<QString>("text"); // <lost> where events were lost
        QTest::addRow("a card") << type("%B41^DOE/J?;41=29?\r") << "%B41^DOE/J?;41=29?\r";
        QTest::addRow("letters without Shift are upper case") << tap(KEY_B) + tap(KEY_E) << "BE";
        QTest::addRow("right Shift") << key(KEY_RIGHTSHIFT, 1) + tap(KEY_5) + tap(KEY_SLASH) +
                                            key(KEY_RIGHTSHIFT, 0) + tap(KEY_5)
                                     << "%?5";
        QTest::addRow("one Shift released, the other held")
            << key(KEY_LEFTSHIFT, 1) + key(KEY_RIGHTSHIFT, 1) + key(KEY_LEFTSHIFT, 0) + tap(KEY_5)
            << "%";
        QTest::addRow("autorepeat types nothing")
            << key(KEY_5, 1) + key(KEY_5, 2) + key(KEY_5, 2) + key(KEY_5, 0) << "5";
        QTest::addRow("both Enter keys") << tap(KEY_ENTER) + tap(KEY_KPENTER) << "\r\r";
        QTest::addRow("Alt and keypad digits")
            << key(KEY_LEFTALT, 1) + tap(KEY_KP3) + tap(KEY_KP7) + key(KEY_LEFTALT, 0) << "%";
        QTest::addRow("lost events, up to the next report skipped")
            << type(";12") + record(EV_SYN, SYN_DROPPED, 0) + record(EV_KEY, KEY_3, 1) +
                   record(EV_SYN, SYN_REPORT, 0) + tap(KEY_4)
            << ";12<lost>4";
        QTest::addRow("Shift forgotten after lost events")
            << key(KEY_LEFTSHIFT, 1) + record(EV_SYN, SYN_DROPPED, 0) +
                   record(EV_SYN, SYN_REPORT, 0) + tap(KEY_5)
            << "<lost>5";
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

    void options()
    {
        QString error;
        QVERIFY(createKeyboardService({"T", "keyboard", {{"device", "/dev/x"}, {"lrc", "yes"}}},
                                      &error));
        QVERIFY(!createKeyboardService({"T", "keyboard", {{"device", "event3"}}}, &error));
        QVERIFY(error.contains("absolute path"));
        QVERIFY(
            !createKeyboardService({"T", "keyboard", {{"device", "/x"}, {"gap", "5"}}}, &error));
        QVERIFY(error.contains("bad value '5' for gap"));
    }

    void theReaderThroughTheControl()
    {
        int pair[2];
        int device = -1; // the node's end; -1: no such node
        QStringList calls;
        int busy = -1;
        DeviceRegistry registry;
        registry.addKind("keyboard", [&](const DeviceEntry &entry, QString *) {
            return std::make_unique<KeyboardService>(
                entry.name, KeyboardSettings{"/dev/input/event9", 150, {}},
                [&](const QString &) { return device < 0 ? -ENOENT : ::dup(device); },
                std::make_unique<FakeOps>(&calls, &busy));
        });
        registry.addDevice("TILL", "keyboard");
        MsrControl control(std::move(registry));
        QStringList events;
        logEvents(control, &events);
        // Every message is expected below, and only once.
        QTest::failOnWarning(QRegularExpression("."));

        QTest::ignoreMessage(QtWarningMsg, "swipewatch: TILL: cannot use /dev/input/event9: No "
                                           "such file or directory; is the reader plugged in?");
        QCOMPARE(startControl(control, "TILL"), opos::OPOS_E_NOHARDWARE);
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        device = pair[0];
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("event9 is held by another program"));
        QCOMPARE(startControl(control, "TILL", 60), opos::OPOS_E_TIMEOUT);
        busy = 2; // then it lets go
        calls.clear();
        QCOMPARE(startControl(control, "TILL", 5000), opos::OPOS_SUCCESS);
        QCOMPARE(calls, QStringList({"grab", "grab", "grab"})); // retried until free

        QVERIFY(writeAll(pair[1], type("%B4111^DOE/J^2912?;4111=2912?\r"), 100));
        QTRY_COMPARE(events, QStringList{"D B4111^DOE/J^2912|4111=2912|"});
        QVERIFY(writeAll(pair[1], type("%E?;4111=2912?\r"), 24));
        // The error is told first, so the window knows the data is partial.
        QTRY_COMPARE(events.mid(1), QStringList({"E 205,0,0", "D |4111=2912|", "E 205,0,0"}));
        // Keystrokes lost in a swipe spoil every track it touched.
        QVERIFY(
            writeAll(pair[1], type("%A?;12") + record(EV_SYN, SYN_DROPPED, 0) + type("3?\r"), 48));
        QTRY_COMPARE(events.mid(4), QStringList{"E 205,205,0"});

        // Unplugged in the middle of a swipe, then plugged in again.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("TILL: the reader at "
                                                              "/dev/input/event9 went away"));
        QVERIFY(writeAll(pair[1], type("%B41"), 1000));
        ::close(pair[1]);
        ::close(std::exchange(device, -1));
        QTRY_COMPARE(events.mid(5), QStringList{"E 205,0,0"});
        QCOMPARE(control.invoke(dispid::Claimed, InvokeKind::PropertyGet).toInt(), -1);
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        QVERIFY(writeAll(pair[1], type(";5?+6?\r"), 1000));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("TILL: the reader at .* is back"));
        calls.clear();
        device = pair[0];
        QTRY_COMPARE(events.mid(6), QStringList{"D |5|6"});
        QCOMPARE(calls, QStringList{"grab"});

        QCOMPARE(control.invoke(dispid::ReleaseDevice, InvokeKind::Method).toInt(), 0);
        QCOMPARE(calls, QStringList({"grab", "ungrab"}));
        ::close(device); // the service's copy went with the release
        QCOMPARE(::send(pair[1], "x", 1, MSG_NOSIGNAL), -1);
        ::close(pair[1]);
    }
};

QTEST_GUILESS_MAIN(TestKeyboard)
#include "tst_keyboard.moc"
