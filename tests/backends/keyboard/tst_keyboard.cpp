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

// Types text as a reader with a US layout does, Shift held across a run of
// shifted characters.
QByteArray type(QByteArrayView text)
{
    static const QHash<char, QPair<unsigned, bool>> keys = [] {
        QHash<char, QPair<unsigned, bool>> k{
            {'%', {KEY_5, true}},      {';', {KEY_SEMICOLON, false}}, {'?', {KEY_SLASH, true}},
            {'=', {KEY_EQUAL, false}}, {'+', {KEY_EQUAL, true}},      {'^', {KEY_6, true}},
            {'/', {KEY_SLASH, false}}, {' ', {KEY_SPACE, false}},     {'\r', {KEY_ENTER, false}},
            {'0', {KEY_0, false}}};
        for (char d = '1'; d <= '9'; ++d)
            k.insert(d, {KEY_1 + unsigned(d - '1'), false});
        const char *rows[] = {"QWERTYUIOP", "ASDFGHJKL", "ZXCVBNM"};
        const unsigned starts[] = {KEY_Q, KEY_A, KEY_Z};
        for (int r = 0; r < 3; ++r)
            for (unsigned i = 0; rows[r][i]; ++i)
                k.insert(rows[r][i], {starts[r] + i, true});
        return k;
    }();
    QByteArray out;
    bool shift = false;
    for (char c : text) {
        const auto [code, shifted] = keys.value(c);
        if (shifted != shift)
            out += key(KEY_LEFTSHIFT, shifted ? 1 : 0);
        shift = shifted;
        out += tap(code);
    }
    return shift ? out + key(KEY_LEFTSHIFT, 0) : out;
}

struct FakeOps : DeviceOps {
    QStringList *calls;
    int *busy; // EBUSY answers left; -1: always
    FakeOps(QStringList *c, int *b) : calls(c), busy(b) {}
    int grab(int) override
    {
        *calls << "grab";
        return *busy != 0 && (*busy < 0 || (*busy)-- > 0) ? EBUSY : 0;
    }
    int ungrab(int) override
    {
        *calls << "ungrab";
        return 0;
    }
};

bool writeAll(int fd, const QByteArray &bytes, int chunk)
{
    for (qsizetype at = 0; at < bytes.size(); at += chunk) {
        const qsizetype n = std::min<qsizetype>(chunk, bytes.size() - at);
        if (::send(fd, bytes.constData() + at, std::size_t(n), MSG_NOSIGNAL) != n)
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

    void options_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("error");
        QTest::addRow("device only") << "device=/dev/input/event3"
                                     << "";
        QTest::addRow("all") << "device=/dev/input/event3 gap=40 lrc=yes"
                             << "";
        QTest::addRow("no device") << "gap=40"
                                   << "kind keyboard needs the option 'device='";
        QTest::addRow("relative device") << "device=event3"
                                         << "absolute path";
        QTest::addRow("gap too short") << "device=/dev/x gap=5"
                                       << "bad value '5' for gap";
        QTest::addRow("unknown option") << "device=/dev/x baud=9600"
                                        << "unknown option 'baud'";
    }
    void options()
    {
        QFETCH(QString, options);
        QFETCH(QString, error);
        DeviceEntry entry{"TILL", "keyboard", {}};
        for (const QString &word : options.split(' '))
            entry.options.insert(word.section('=', 0, 0), word.section('=', 1));
        QString fault;
        QCOMPARE(bool(createKeyboardService(entry, &fault)), error.isEmpty());
        QVERIFY2(fault.contains(error), qPrintable(fault));
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
        const auto claim = [&](qint32 timeout) {
            return control.invoke(dispid::ClaimDevice, InvokeKind::Method, {timeout}).toInt();
        };

        QCOMPARE(startControl(control, "TILL"), opos::OPOS_E_NOHARDWARE);
        QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        device = pair[0];
        QCOMPARE(claim(0), opos::OPOS_E_TIMEOUT); // another program holds the grab
        QCOMPARE(claim(60), opos::OPOS_E_TIMEOUT);
        busy = 2; // then it lets go
        calls.clear();
        QCOMPARE(startControl(control, "TILL", 5000), opos::OPOS_SUCCESS);
        QCOMPARE(calls, QStringList({"grab", "grab", "grab"}));

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
