// Logical names resolve through the device list, and a bad list is a result
// code with the fault named, never a crash.
#include "reader/deviceregistry.h"
#include "reader/opos.h"

#include <QTemporaryDir>
#include <QTest>

using namespace msr;

class TestDeviceRegistry : public QObject {
    Q_OBJECT
    QTemporaryDir dir;

    QString writeList(const QByteArray &text)
    {
        static int n = 0;
        const QString path = dir.filePath(QStringLiteral("devices%1.list").arg(++n));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    DeviceRegistry withList(const QByteArray &text)
    {
        qputenv(DeviceRegistry::kEnvironmentVariable, writeList(text).toLocal8Bit());
        return DeviceRegistry::fromEnvironment();
    }

private slots:
    void init()
    {
        QVERIFY(dir.isValid());
        qputenv("XDG_RUNTIME_DIR", dir.path().toLocal8Bit());
        qunsetenv(DeviceRegistry::kEnvironmentVariable);
    }

    void withoutAListTheVirtualReaderAnswersToItsName()
    {
        const DeviceRegistry registry = DeviceRegistry::fromEnvironment();
        const auto found = registry.create("MCRSTUBEX");
        QVERIFY(found.service);
        QCOMPARE(found.result, opos::OPOS_SUCCESS);
        QCOMPARE(registry.create("OTHER").result, opos::OPOS_E_NOEXIST);
        QCOMPARE(registry.create("").result, opos::OPOS_E_NOEXIST);
    }

    void theListDecidesWhichNamesExist()
    {
        const DeviceRegistry registry =
            withList("# counter readers\n\n  LANE1 = virtual  # front\nLANE-2.b=virtual\n");
        QVERIFY(registry.create("LANE1").service);
        QVERIFY(registry.create("LANE-2.b").service);
        QCOMPARE(registry.create("MCRSTUBEX").result, opos::OPOS_E_NOEXIST);
        QCOMPARE(withList("").create("MCRSTUBEX").result, opos::OPOS_E_NOEXIST);
    }

    void aBadListFailsOpenAndNamesTheFault_data()
    {
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QString>("fault");
        QTest::newRow("no equals") << QByteArray("MCRSTUBEX virtual\n") << ":1: expected";
        QTest::newRow("empty kind") << QByteArray("\nMCRSTUBEX =\n") << ":2: expected";
        QTest::newRow("path in name") << QByteArray("../x = virtual\n") << ":1: expected";
        QTest::newRow("twice") << QByteArray("A=virtual\nA=virtual\n") << "A is listed twice";
        QTest::newRow("unknown kind") << QByteArray("MCRSTUBEX = serial\n") << "no service of kind";
        QTest::newRow("binary") << QByteArray("\0\xff\xfe=\n", 5) << ":1: expected";
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

    void aMissingListFailsOpen()
    {
        qputenv(DeviceRegistry::kEnvironmentVariable, dir.filePath("absent").toLocal8Bit());
        const auto found = DeviceRegistry::fromEnvironment().create("MCRSTUBEX");
        QCOMPARE(found.result, opos::OPOS_E_NOSERVICE);
        QVERIFY(found.error.contains("cannot read the device list"));
    }
};

QTEST_GUILESS_MAIN(TestDeviceRegistry)
#include "tst_deviceregistry.moc"
