// Real swipewatch processes, each test on its own X server and with its own
// runtime folder, watched from outside only: the claim through the kernel's
// lock table, message boxes by their window titles and by the log line each
// one writes.
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

constexpr int kPatience = 30000; // ms; a loaded machine under sanitizers is slow

// The pid holding an flock on path, per /proc/locks; 0 when none does.
qint64 lockHolder(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    const QByteArray id = QStringLiteral("%1:%2:%3")
                              .arg(major(st.st_dev), 2, 16, QLatin1Char('0'))
                              .arg(minor(st.st_dev), 2, 16, QLatin1Char('0'))
                              .arg(st.st_ino)
                              .toLatin1();
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : locks.readAll().split('\n')) {
        // "1: FLOCK ADVISORY WRITE <pid> <maj:min:inode> 0 EOF"
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() >= 6 && f[1] == "FLOCK" && f[5] == id)
            return f[4].toLongLong();
    }
    return 0;
}

} // namespace

class TestProcess : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void secondWindowIsRefusedUntilTheFirstIsKilled();
    void terminationClosesTheReader_data();
    void terminationClosesTheReader();
    void withoutADisplayItSaysHowToGetOne();

private:
    QProcess &startWindow(bool withDisplay = true);
    QString logOf(QProcess &window);
    bool showsWindow(const QProcess &window, const QString &title);
    QString runtimeFile(const char *suffix) const
    {
        return m_runtime->path() + "/swipewatch-MCRSTUBEX" + suffix;
    }

    QProcess m_xvfb;
    QString m_display;
    std::unique_ptr<QTemporaryDir> m_runtime;
    std::vector<std::unique_ptr<QProcess>> m_windows;
    std::map<const QProcess *, QString> m_logs;
};

void TestProcess::init()
{
    m_runtime = std::make_unique<QTemporaryDir>();
    QVERIFY(QFile::setPermissions(m_runtime->path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    // -displayfd: the server picks a free display and tells which.
    m_xvfb.start(XVFB_BINARY,
                 {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"});
    QVERIFY2(m_xvfb.waitForStarted(), qPrintable(m_xvfb.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(m_xvfb.canReadLine(), kPatience);
    m_display = ':' + QString::fromLatin1(m_xvfb.readLine().trimmed());
}

void TestProcess::cleanup()
{
    for (auto &window : m_windows) {
        window->kill();
        window->waitForFinished();
    }
    m_windows.clear();
    m_logs.clear();
    m_xvfb.terminate();
    m_xvfb.waitForFinished();
}

QProcess &TestProcess::startWindow(bool withDisplay)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "SWIPEWATCH_DEVICES"})
        env.remove(name);
    if (withDisplay)
        env.insert("DISPLAY", m_display);
    env.insert("XDG_RUNTIME_DIR", m_runtime->path());
    // Qt sends its log to the journal when there is no terminal; keep it here.
    env.insert("QT_FORCE_STDERR_LOGGING", "1");
    // Under the sanitizers, leaks in system libraries are not the window's.
    const QString lsan = env.value("LSAN_OPTIONS");
    if (!lsan.contains("suppressions="))
        env.insert("LSAN_OPTIONS",
                   lsan + (lsan.isEmpty() ? "" : ":") + "suppressions=" LSAN_SUPPRESSIONS);
    m_windows.push_back(std::make_unique<QProcess>());
    m_windows.back()->setProcessEnvironment(env);
    m_windows.back()->start(SWIPEWATCH_BINARY, {});
    return *m_windows.back();
}

QString TestProcess::logOf(QProcess &window)
{
    return m_logs[&window] += QString::fromLocal8Bit(window.readAllStandardError());
}

bool TestProcess::showsWindow(const QProcess &window, const QString &title)
{
    QProcess search;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", m_display);
    search.setProcessEnvironment(env);
    search.start(XDOTOOL_BINARY,
                 {"search", "--onlyvisible", "--pid", QString::number(window.processId()), "--name",
                  '^' + title + '$'});
    return search.waitForFinished() && search.exitCode() == 0;
}

void TestProcess::secondWindowIsRefusedUntilTheFirstIsKilled()
{
    const QString lock = runtimeFile(".lock");
    QProcess &first = startWindow();
    QTRY_COMPARE_WITH_TIMEOUT(lockHolder(lock), first.processId(), kPatience);
    QTRY_VERIFY_WITH_TIMEOUT(showsWindow(first, "MSR"), kPatience);

    QProcess &second = startWindow();
    QTRY_VERIFY_WITH_TIMEOUT(logOf(second).contains("Claim Error:  112 (OPOS_E_TIMEOUT)"),
                             kPatience);
    QTRY_VERIFY_WITH_TIMEOUT(showsWindow(second, "Claim Error"), kPatience);
    QCOMPARE(lockHolder(lock), first.processId());

    // The kernel drops a killed holder's claim; nothing is left to clean up.
    ::kill(pid_t(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished(kPatience));
    QCOMPARE(lockHolder(lock), 0);

    // The refused window, its box still open, ends cleanly on request.
    second.terminate();
    QVERIFY(second.waitForFinished(kPatience));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);

    QProcess &third = startWindow();
    QTRY_COMPARE_WITH_TIMEOUT(lockHolder(lock), third.processId(), kPatience);
    QTRY_VERIFY_WITH_TIMEOUT(showsWindow(third, "MSR"), kPatience);
    QVERIFY2(!logOf(third).contains("Error"), qPrintable(logOf(third)));
}

void TestProcess::terminationClosesTheReader_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
}

void TestProcess::terminationClosesTheReader()
{
    QFETCH(int, signalNumber);
    QProcess &window = startWindow();
    QTRY_COMPARE_WITH_TIMEOUT(lockHolder(runtimeFile(".lock")), window.processId(), kPatience);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(runtimeFile(".sock")), kPatience);

    ::kill(pid_t(window.processId()), signalNumber);
    QVERIFY(window.waitForFinished(kPatience));
    QCOMPARE(window.exitStatus(), QProcess::NormalExit);
    QCOMPARE(window.exitCode(), 0);
    QCOMPARE(lockHolder(runtimeFile(".lock")), 0);     // released
    QVERIFY(!QFileInfo::exists(runtimeFile(".sock"))); // and closed
    QVERIFY2(!logOf(window).contains("Error"), qPrintable(logOf(window)));
}

void TestProcess::withoutADisplayItSaysHowToGetOne()
{
    QProcess &window = startWindow(false);
    QVERIFY(window.waitForFinished(kPatience));
    QCOMPARE(window.exitStatus(), QProcess::NormalExit);
    QCOMPARE(window.exitCode(), 2);
    const QString said = logOf(window);
    QCOMPARE(said.count('\n'), 1);
    QVERIFY2(said.contains("xvfb-run -a swipewatch"), qPrintable(said));
    QVERIFY(!QFileInfo::exists(runtimeFile(".lock"))); // no reader was touched
}

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
