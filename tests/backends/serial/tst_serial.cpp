// SPDX-License-Identifier: MIT
// Serial readers on a pseudo-terminal: the device-list options, and the
// service from claim to release, with a second holder, a sign-on line,
// unplug and return.
#include "../common/swipelog.h"
#include "backends/serial/serialservice.h"
#include "reader/opos.h"

#include <QTemporaryDir>
#include <QTest>

#include <cstdlib>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace msr;

namespace {

struct Pty {
    int master = -1;
    int slave = -1;
};

// A new pseudo-terminal behind the link, as udev re-creates a by-id link.
// Raw from the start, so what is written before the service opens it stays as written.
Pty plugIn(const QString &link)
{
    Pty pty;
    char name[128];
    termios raw{};
    ::cfmakeraw(&raw);
    if (::openpty(&pty.master, &pty.slave, name, &raw, nullptr) != 0)
        return {};
    QFile::remove(link);
    return QFile::link(QString::fromLocal8Bit(name), link) ? pty : Pty{};
}

void unplug(Pty &pty)
{
    ::close(pty.master);
    ::close(pty.slave);
}

} // namespace

class TestSerial : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

private slots:
    void options_data()
    {
        QTest::addColumn<QString>("options");
        QTest::addColumn<QString>("result"); // the line settings, or the fault
        const auto row = [](const char *options, const char *result) {
            QTest::addRow("%s", options) << options << result;
        };
        row("device=/dev/ttyACM0", "9600 8N1 150");
        row("device=/dev/ttyS0 baud=2400 format=7e1 gap=100 lrc=yes", "2400 7E1 100 lrc");
        row("device=/dev/ttyS0 baud=115200 format=7O2", "115200 7O2 150");
        row("device=/dev/ttyS0 baud=9601", "bad value '9601' for baud");
        row("device=/dev/ttyS0 format=9N1", "bad value '9N1' for format");
        row("device=/dev/ttyS0 gap=5", "bad value '5' for gap");
        row("device=ttyS0", "device= needs an absolute path");
    }
    void options()
    {
        QFETCH(QString, options);
        QFETCH(QString, result);
        DeviceEntry entry{"BACK", "serial", {}};
        for (const QString &word : options.split(' '))
            entry.options.insert(word.section('=', 0, 0), word.section('=', 1));
        QString fault;
        const auto s = serialSettings(entry, &fault);
        const QString got =
            !s ? fault
               : QString::asprintf("%d %d%c%d %d%s", s->baud, int(s->dataBits), "N?EO"[s->parity],
                                   int(s->stopBits), s -> gapMs, s -> text.lrc ? " lrc" : "");
        QVERIFY2(got.startsWith(result), qPrintable(got));
    }

    void theReaderOnAPty()
    {
        qputenv("XDG_RUNTIME_DIR", dir.filePath("run").toLocal8Bit());
        const QString link = dir.filePath("ttyREADER");
        Pty pty = plugIn(link);
        QVERIFY(pty.master >= 0);
        const auto make = [](const QString &path) {
            return createSerialService(
                {"BACK", "serial", {{"device", path}, {"gap", "2000"}, {"lrc", "yes"}}}, nullptr);
        };
        const auto service = make(link), other = make(link), gone = make(dir.filePath("none"));
        // The same port by its own name: held all the same.
        const auto alias = [&] { return make(QString::fromLocal8Bit(::ptsname(pty.master))); };
        SwipeLog log;
        service->setSwipeSink(&log);
        QTest::failOnWarning(QRegularExpression(".")); // each message is expected below, once
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("BACK: cannot use .*none: No such"));
        QCOMPARE(gone->claim(0), opos::OPOS_E_NOHARDWARE);
        // A pty is no device udev announces: this is the look-again fallback,
        // said once for the process (the claim below says nothing of it).
        const bool udev = QFile::exists("/run/udev/control");
        if (!udev)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("udev is not running here: an "
                                                                  "unplugged reader is looked for"));
        QCOMPARE(service->claim(0), opos::OPOS_SUCCESS);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("another program has it open"));
        QCOMPARE(other->claim(60), opos::OPOS_E_TIMEOUT);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("another program has it open"));
        QCOMPARE(alias()->claim(60), opos::OPOS_E_TIMEOUT);

        // lrc=yes, but this reader sends none: said once a claim, replugged or not.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("BACK: .*may not send one"));
        QVERIFY(send(pty.master, "READER V1.0\r\n%B4111^DOE/J^2912?;4111=2912?\r\n"));
        QTRY_COMPARE(log.swipes, QStringList{"1 B4111^DOE/J^2912:204|4111=2912:204|:0"});

        if (udev)
            return;
        // Unplugged, then back under the same name.
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("BACK: the reader at .*ttyREADER "
                                                              "went away"));
        unplug(pty);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("BACK: the reader at .* is back"));
        pty = plugIn(link);
        QVERIFY(send(pty.master, "%A?;1?\r"));
        QTRY_COMPARE(log.swipes.mid(1), QStringList{"2 A:204|1:204|:0"});

        service->release();
        const auto byName = alias();
        QCOMPARE(byName->claim(0), opos::OPOS_SUCCESS);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("another program has it open"));
        QCOMPARE(other->claim(0), opos::OPOS_E_TIMEOUT);
        byName->release();
        QCOMPARE(other->claim(0), opos::OPOS_SUCCESS);
        unplug(pty);
    }
};

QTEST_GUILESS_MAIN(TestSerial)
#include "tst_serial.moc"
