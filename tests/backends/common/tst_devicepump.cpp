// SPDX-License-Identifier: MIT
// What a claim on a device node answers for the paths a device list may name.
#include "backends/common/devicepump.h"
#include "reader/opos.h"
#include "reader/runtimepaths.h"

#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <grp.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace msr;

class TestDevicePump : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QString pts; // a pty's slave, also reached through dir/link
    int master = -1, slave = -1;

private slots:
    void initTestCase()
    {
        qputenv("XDG_RUNTIME_DIR", dir.filePath("run").toLocal8Bit());
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0600), 0);
        for (const auto &[name, mode] : {std::pair{"readable", 0640}, {"closed", 0600}}) {
            const QByteArray node = QFile::encodeName(dir.filePath(name));
            QVERIFY(QFile(node).open(QIODevice::WriteOnly) && ::getgrnam("dialout") &&
                    ::chown(node, uid_t(-1), ::getgrnam("dialout")->gr_gid) == 0 &&
                    ::chmod(node, mode_t(mode)) == 0);
        }
        char name[128];
        QCOMPARE(::openpty(&master, &slave, name, nullptr, nullptr), 0);
        pts = QString::fromLocal8Bit(name);
        QVERIFY(QFile::link(pts, dir.filePath("link")));
    }
    void cleanupTestCase()
    {
        ::close(master);
        ::close(slave);
    }

    void claim_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("openError"); // what a fake opener answers; 0: the real one
        QTest::addColumn<int>("prepareError");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("heldAt"); // another pump holds this path meanwhile
        const auto in = [this](const char *name) { return dir.filePath(name); };
        QTest::addRow("missing") << in("none") << 0 << 0 << 107 << "";
        QTest::addRow("escape in the path") << in("\x1b[2Jnone") << 0 << 0 << 107 << "";
        QTest::addRow("fifo") << in("fifo") << 0 << 0 << 107 << "";
        QTest::addRow("over-long path") << '/' + QString(5000, 'a') << 0 << 0 << 107 << "";
        QTest::addRow("character device") << "/dev/null" << 0 << 0 << 0 << "";
        QTest::addRow("no permission") << "/dev/null" << EACCES << 0 << 111 << "";
        QTest::addRow("no permission, group may read")
            << in("readable") << EACCES << 0 << 111 << "";
        QTest::addRow("no permission, group may not") << in("closed") << EACCES << 0 << 111 << "";
        QTest::addRow("busy") << "/dev/null" << 0 << EBUSY << 112 << "";
        // One device under two names: the second claim waits, then has it once it is let go.
        QTest::addRow("held through another path") << in("link") << 0 << 0 << 112 << pts;
    }
    void claim()
    {
        QFETCH(QString, path);
        QFETCH(int, openError);
        QFETCH(int, prepareError);
        QFETCH(int, result);
        QFETCH(QString, heldAt);
        DevicePump holder("HOLDER", heldAt, {});
        QVERIFY(heldAt.isEmpty() || holder.open(0) == 0);
        DevicePump pump("TILL", path, {},
                        openError ? DeviceOpener([=](const QString &) { return -openError; })
                                  : DeviceOpener());
        pump.setPrepare([=](int, const QString &, QString *) { return prepareError; });
        pump.setAccessHint([](const QString &node) { return groupAccessHint(node, "input"); });
        // Every failure is explained, under the running program's name, the
        // path made printable; no permission advises the group that may read, else the udev rule.
        if (result)
            QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression("^" + QCoreApplication::applicationName() + ": TILL: .*" +
                                   QRegularExpression::escape(msr::printable(path)) +
                                   (openError != EACCES ? ""
                                    : path.endsWith("readable")
                                        ? ": Permission denied; .*usermod -aG dialout"
                                        : ": Permission denied; .*msrprobe --udev-rule " +
                                              QRegularExpression::escape(path))));
        QCOMPARE(pump.open(prepareError == EBUSY || !heldAt.isEmpty() ? 60 : 0), result);
        QCOMPARE(pump.isOpen(), result == 0);
        if (heldAt.isEmpty())
            return;
        holder.close();
        QCOMPARE(pump.open(0), 0);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("HOLDER: .*another program"));
        QCOMPARE(holder.open(0), 112);
    }
};

QTEST_GUILESS_MAIN(TestDevicePump)
#include "tst_devicepump.moc"
