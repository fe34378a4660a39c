// SPDX-License-Identifier: MIT
// Logical names resolve through the device list, a bad list is a result code
// with the fault named, never a crash; and a device's claim holds until released.
#include "backends/backends.h"
#include "reader/claimlock.h"
#include "reader/opos.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace msr;

class TestDeviceRegistry : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    // The registry as the environment gives it; no list when text is null.
    DeviceRegistry withList(const QByteArray &text)
    {
        qunsetenv(DeviceRegistry::kEnvironmentVariable);
        if (text.isNull())
            return standardRegistry();
        QFile list(dir.filePath("devices.list"));
        if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            list.write(text) != text.size())
            qFatal("cannot write %s", qPrintable(list.fileName()));
        list.close();
        qputenv(DeviceRegistry::kEnvironmentVariable, list.fileName().toLocal8Bit());
        return standardRegistry();
    }

private slots:
    // The user's own device list must not decide what the tests see.
    void initTestCase()
    {
        qputenv("XDG_RUNTIME_DIR", dir.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", dir.filePath("config").toLocal8Bit());
    }

    void theListDecidesWhichNamesExist()
    {
        const DeviceRegistry none = withList({}); // the virtual reader answers to its name
        QVERIFY(none.create("MCRSTUBEX").service);
        QCOMPARE(none.create("MCRSTUBEX").result, opos::OPOS_SUCCESS);

        const DeviceRegistry listed =
            withList("# counter readers\n\n  LANE1 = virtual  # front\nLANE-2.b=virtual\n");
        QVERIFY(listed.create("LANE1").service);
        QVERIFY(listed.create("LANE-2.b").service);
        QCOMPARE(listed.create("MCRSTUBEX").result, opos::OPOS_E_NOEXIST);
        // An indented comment and the line ends of a list saved on another system.
        QVERIFY(withList("  # spare\r\nLANE1 = virtual\t\r\n").create("LANE1").service);
        // Options reach the kind whole (a serial port must be an absolute path).
        QVERIFY(withList("S = serial device=/dev/ttyS0 baud=2400\n").create("S").service);
    }

    void aBadListFailsOpenAndNamesTheFault_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QString>("fault");
        QTest::newRow("no equals") << QByteArray("MCRSTUBEX virtual\n") << ":1: expected";
        QTest::newRow("empty kind") << QByteArray("\nMCRSTUBEX =\n") << ":2: expected";
        QTest::newRow("path in name") << QByteArray("../x = virtual\n") << ":1: expected";
        QTest::newRow("twice") << QByteArray("A=virtual\nA=virtual\n") << "A is listed twice";
        QTest::newRow("unknown kind")
            << QByteArray("MCRSTUBEX = warp\n") << ":1: unknown kind 'warp'";
        QTest::newRow("unknown key")
            << QByteArray("#\nMCRSTUBEX = virtual bps=9\n") << ":2: unknown option 'bps'";
        QTest::newRow("not key=value")
            << QByteArray("MCRSTUBEX = virtual fast\n") << ":1: expected KEY=VALUE";
        QTest::newRow("terminal escape")
            << QByteArray("\x1b[2J\x1b[H = virtual\n") << "found '\\x1B[2J\\x1B[H = virtual'";
        // Past 1 MiB the list is refused whole, however it ends.
        QTest::newRow("over 1 MiB")
            << "MCRSTUBEX = virtual\n" + QByteArray(1 << 20, '#') << "too large";
        // A fault quotes at most 80 characters of what the list says.
        const QByteArray x(2000, 'x');
        const QString cut = QString(80, 'x') + "...'";
        QTest::newRow("long line") << x + " = virtual"
                                   << "found '" + cut;
        QTest::newRow("long kind") << "MCRSTUBEX = " + x << "unknown kind '" + cut;
        QTest::newRow("long option") << "MCRSTUBEX = virtual " + x + "=1"
                                     << "option '" + cut;
        // Quotes keep '#' and blanks in a value; \" and \\ are the only escapes.
        QTest::newRow("quoted #") << QByteArray("MCRSTUBEX = serial device=\"S_N#1 x\" # c\n")
                                  << "found 'S_N#1 x'";
        QTest::newRow("escapes") << QByteArray("MCRSTUBEX = serial device=\"a\\\"b\\\\c\\d\"")
                                 << "found 'a\"b\\c\\d'";
        QTest::newRow("unterminated quote")
            << QByteArray("MCRSTUBEX = serial device=\"/dev/x#1\n") << ":1: unterminated quote";
    }
    void aBadListFailsOpenAndNamesTheFault()
    {
        QFETCH(QByteArray, list);
        QFETCH(QString, fault);
        const auto found = withList(list).create("MCRSTUBEX");
        QVERIFY(!found.service);
        QCOMPARE(found.result, opos::OPOS_E_NOSERVICE);
        QVERIFY2(found.error.contains(fault), qPrintable(found.error));
    }

    void theUserListServesWhenNoListIsNamed()
    {
        qunsetenv(DeviceRegistry::kEnvironmentVariable);
        QVERIFY(QDir().mkpath(dir.filePath("config/swipewatch")));
        QFile list(dir.filePath("config/swipewatch/devices.conf"));
        QVERIFY(list.open(QIODevice::WriteOnly) && list.write("LANE7 = virtual\n") > 0);
        list.close();
        QVERIFY(standardRegistry().create("LANE7").service);
        QVERIFY(list.remove()); // no other test sees it
    }

    void aListThatIsNoFileFailsOpen()
    {
        qputenv(DeviceRegistry::kEnvironmentVariable, dir.filePath("absent").toLocal8Bit());
        auto found = standardRegistry().create("MCRSTUBEX");
        QVERIFY(found.error.contains("cannot read the device list"));
        // Reading a FIFO would block Open for good.
        QCOMPARE(::mkfifo(qPrintable(dir.filePath("fifo")), 0600), 0);
        qputenv(DeviceRegistry::kEnvironmentVariable, dir.filePath("fifo").toLocal8Bit());
        found = standardRegistry().create("MCRSTUBEX");
        QVERIFY2(found.error.contains("is not a regular file"), qPrintable(found.error));
    }

    // Held against any other holder (flock locks open files, so a second object here is
    // refused as another process would be); release is checked by the virtual reader test.
    void aClaimIsHeldAgainstOthers()
    {
        const QString path = dir.filePath("reader.lock");
        ClaimLock lock(path), second(path);
        QCOMPARE(lock.acquire(0), opos::OPOS_SUCCESS);
        QCOMPARE(lock.acquire(0), opos::OPOS_SUCCESS); // idempotent
        QCOMPARE(second.acquire(60), opos::OPOS_E_TIMEOUT);

        ClaimLock nowhere(dir.filePath("missing/dir/reader.lock"));
        QCOMPARE(nowhere.acquire(0), opos::OPOS_E_FAILURE);
        QVERIFY(nowhere.lastError().contains("cannot open"));
    }
};

QTEST_GUILESS_MAIN(TestDeviceRegistry)
#include "tst_deviceregistry.moc"
