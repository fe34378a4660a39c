// SPDX-License-Identifier: MIT
// Real swipewatch processes, each test on its own X server and with its own
// runtime folder, watched from outside only: the claim through the window's
// descriptor table, message boxes by their window titles and by the log line
// each one writes, swipes by what msrswipe says.
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <swipewatch/version.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pty.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr int kPatience = 30000; // ms; a loaded machine under sanitizers is slow

// Whether the process has path open, and when locked with an flock on it, per
// its descriptor table (the kernel lists an open file's locks in its fdinfo).
bool holds(const QProcess &process, const QString &path, bool locked = false)
{
    const QString proc = QStringLiteral("/proc/%1/").arg(process.processId());
    for (const QFileInfo &fd : QDir(proc + "fd").entryInfoList(QDir::Files | QDir::System)) {
        QFile info(proc + "fdinfo/" + fd.fileName());
        if (fd.symLinkTarget() == path &&
            (!locked || (info.open(QIODevice::ReadOnly) && info.readAll().contains(" FLOCK "))))
            return true;
    }
    return false;
}

} // namespace

class TestProcess : public QObject {
    Q_OBJECT
    QProcess m_xvfb;
    QString m_display;
    std::unique_ptr<QTemporaryDir> m_runtime;
    std::vector<std::unique_ptr<QProcess>> m_windows;
    std::map<const QProcess *, QString> m_logs;
    QString m_device;                // the logical device the checks look at
    QString m_devices;               // the device list the programs read; empty for none
    int m_master = -1, m_slave = -1; // a pty standing in for a serial reader

    QString runtimeFile(const char *suffix) const
    {
        return m_runtime->path() + "/swipewatch-" + m_device + suffix;
    }
    QString logOf(QProcess &window)
    {
        return m_logs[&window] += QString::fromLocal8Bit(window.readAllStandardError());
    }

    // display: the environment's display variable and value; unset: our X server's.
    QProcess &start(const char *program = SWIPEWATCH_BINARY, const QStringList &arguments = {},
                    const QStringList &display = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name :
             {"DISPLAY", "QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "SWIPEWATCH_DEVICES"})
            env.remove(name);
        if (!m_devices.isEmpty())
            env.insert("SWIPEWATCH_DEVICES", m_devices);
        if (display.isEmpty())
            env.insert("DISPLAY", m_display);
        else if (!display[0].isEmpty())
            env.insert(display[0], display[1]);
        // Our own runtime folder, and no device list of the user's.
        env.insert("XDG_RUNTIME_DIR", m_runtime->path());
        env.insert("XDG_CONFIG_HOME", m_runtime->path());
        // Qt sends its log to the journal when there is no terminal; keep it here.
        env.insert("QT_FORCE_STDERR_LOGGING", "1");
        // Under the sanitizers, leaks in system libraries are not the window's.
        const QString lsan = env.value("LSAN_OPTIONS");
        if (!lsan.contains("suppressions="))
            env.insert("LSAN_OPTIONS",
                       lsan + (lsan.isEmpty() ? "" : ":") + "suppressions=" LSAN_SUPPRESSIONS);
        m_windows.push_back(std::make_unique<QProcess>());
        m_windows.back()->setProcessEnvironment(env);
        m_windows.back()->start(QString::fromLocal8Bit(program), arguments);
        return *m_windows.back();
    }

    // msrswipe's exit status, 0 once the window has handled the swipe; -1 if it crashed or hung.
    int swipe()
    {
        QProcess &feeder = start(MSRSWIPE_BINARY, {"-D", m_device, "--card", "test", "--wait"});
        const bool ended = feeder.waitForFinished(kPatience);
        return ended && feeder.exitStatus() == QProcess::NormalExit ? feeder.exitCode() : -1;
    }

    bool showsWindow(const QProcess &window, const QString &title)
    {
        QProcess &search = start(XDOTOOL_BINARY, {"search", "--onlyvisible", "--pid",
                                                  QString::number(window.processId()), "--name",
                                                  '^' + title + '$'});
        return search.waitForFinished() && search.exitCode() == 0;
    }

    // Holds the claim, shows its window and takes connections.
    bool holdsTheReader(QProcess &window)
    {
        return QTest::qWaitFor(
            [&] {
                QLocalSocket probe; // a socket file alone may be a dead window's
                probe.connectToServer(runtimeFile(".sock"));
                return holds(window, runtimeFile(".lock"), true) && showsWindow(window, "MSR") &&
                       probe.waitForConnected(1000);
            },
            kPatience);
    }

    // Says so in its log, and shows a box titled as the line starts.
    bool reports(QProcess &window, const QString &title, const QString &result)
    {
        return QTest::qWaitFor([&] { return logOf(window).contains(title + ": " + result); },
                               kPatience) &&
               QTest::qWaitFor([&] { return showsWindow(window, title); }, kPatience);
    }

    bool writeDevices(const QByteArray &lines)
    {
        QFile list(m_runtime->filePath("devices.conf"));
        m_devices = list.fileName();
        return list.open(QIODevice::WriteOnly) && list.write(lines) == lines.size();
    }

    // A child that has ended has no pid, and kill(0, ...) would signal this test's own group.
    static bool sendSignal(const QProcess &process, int signalNumber)
    {
        const qint64 pid = process.processId();
        return pid > 0 && ::kill(pid_t(pid), signalNumber) == 0;
    }

    // Exits normally with code, within patience.
    static bool ends(QProcess &window, int code)
    {
        return window.waitForFinished(kPatience) && window.exitStatus() == QProcess::NormalExit &&
               window.exitCode() == code;
    }

private slots:
    void init()
    {
        m_device = "MCRSTUBEX";
        m_devices.clear();
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

    void cleanup()
    {
        for (auto &window : m_windows) {
            window->kill();
            window->waitForFinished();
        }
        m_windows.clear();
        m_logs.clear();
        for (int *fd : {&m_master, &m_slave})
            if (*fd >= 0)
                ::close(std::exchange(*fd, -1));
        m_xvfb.terminate();
        m_xvfb.waitForFinished();
    }

    void secondWindowIsRefusedUntilTheFirstIsKilled()
    {
        QProcess &first = start();
        QVERIFY(holdsTheReader(first));
        QProcess &second = start();
        QVERIFY(reports(second, "Claim Error", " 112 (OPOS_E_TIMEOUT)"));
        QVERIFY(holds(first, runtimeFile(".lock"), true) && !holds(second, runtimeFile(".lock")));
        QCOMPARE(swipe(), 0); // the first still delivers

        // The kernel drops a killed holder's claim (the third takes it below);
        // nothing is left to clean up, not even the socket file left behind.
        QVERIFY(sendSignal(first, SIGKILL));
        QVERIFY(first.waitForFinished(kPatience));
        QVERIFY(QFileInfo::exists(runtimeFile(".sock")));
        // The refused window, its box still open, ends cleanly on request.
        second.terminate();
        QVERIFY(ends(second, 0));

        QProcess &third = start();
        QVERIFY(holdsTheReader(third));
        QCOMPARE(swipe(), 0);
        QVERIFY2(!logOf(third).contains("Error"), qPrintable(logOf(third)));
    }

    // SIGINT comes in the same way (TerminationSignals' own test).
    void terminationClosesTheReader()
    {
        QProcess &window = start();
        QVERIFY(holdsTheReader(window));
        // A burst far longer than the queue: by its first answer, swipes are queued.
        QProcess &burst = start(MSRSWIPE_BINARY, {"--card", "full", "--repeat", "3000"});
        QTRY_VERIFY_WITH_TIMEOUT(burst.canReadLine(), kPatience);
        QVERIFY(sendSignal(window, SIGTERM));
        QVERIFY(ends(window, 0));
        QVERIFY(!QFileInfo::exists(runtimeFile(".sock"))); // the reader closed
        QVERIFY2(!logOf(window).contains("Error"), qPrintable(logOf(window)));
        // Told the reader hung up (3), or refused (1): the feeder neither hangs nor crashes.
        // It may have ended already: waitForFinished() is false on a finished process.
        QVERIFY(burst.state() == QProcess::NotRunning || burst.waitForFinished(kPatience));
        QCOMPARE(burst.exitStatus(), QProcess::NormalExit);
        QVERIFY2(burst.exitCode() == 3 || burst.exitCode() == 1, burst.readAllStandardError());
    }

    // A serial reader is held by one program at a time, and what it reads
    // reaches msrprobe with the card number masked.
    void serialReaderServesOneProgramAtATime()
    {
        // MCRSTUBEX becomes a serial reader on a new pty; the test keeps the
        // slave open too, so the port never hangs up between programs.
        char name[64] = {};
        QCOMPARE(::openpty(&m_master, &m_slave, name, nullptr, nullptr), 0);
        ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
        ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
        const QString port = QString::fromLocal8Bit(name);
        QVERIFY(writeDevices("MCRSTUBEX = serial device=" + QFile::encodeName(port) + '\n'));
        QProcess &first = start();
        QVERIFY(QTest::qWaitFor([&] { return holds(first, port); }, kPatience));
        QTRY_VERIFY_WITH_TIMEOUT(showsWindow(first, "MSR"), kPatience);
        QProcess &second = start();
        QVERIFY(reports(second, "Claim Error", " 112 (OPOS_E_TIMEOUT)"));
        QVERIFY(holds(first, port) && !holds(second, port));
        first.terminate();
        QVERIFY(ends(first, 0));

        QProcess &probe = start(MSRPROBE_BINARY, {"--watch", "MCRSTUBEX"}, {"", ""});
        QTRY_VERIFY_WITH_TIMEOUT(logOf(probe).contains("watching MCRSTUBEX"), kPatience);
        QString out;
        for (const auto &[sent, line] :
             {std::pair{
                  "%B4111111111111111^DOE/JOHN^2912101?;4111111111111111=2912101?\r",
                  R"(data   track1 34 "B411111******1111^<name, 8 characters>^2912101"  track2 24 )"
                  R"("411111******1111=2912101"  track3 0)"},
              // cut off, so only the idle gap ends it
              std::pair{";4111111111111111=29", "error  track1 0  track2 End sentinel error"}}) {
            QCOMPARE(::write(m_master, sent, std::strlen(sent)), ssize_t(std::strlen(sent)));
            QTRY_VERIFY_WITH_TIMEOUT((out += probe.readAllStandardOutput()).contains(line),
                                     kPatience);
        }
        QVERIFY(sendSignal(probe, SIGINT));
        QVERIFY(ends(probe, 1)); // a swipe failed
        out += probe.readAllStandardOutput();
        QVERIFY2(out.endsWith("inputs 1, errors 1\n") && !out.contains("4111111111111111"),
                 qPrintable(out));
    }

    // Without a display it says how to get one, in one sentence; options are
    // read before the display is looked for. No window, no reader.
    void withoutADisplay_data()
    {
        QTest::addColumn<QStringList>("display"); // variable and value; empty: none
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("said"); // stdout, then stderr; a start when 0 or ending ": "
        const auto row = [](const char *name, const QStringList &display, const QString &words,
                            int status, const QString &said) {
            QTest::newRow(name) << display << words.split(' ', Qt::SkipEmptyParts) << status
                                << said;
        };
        const QStringList none{"", ""};
        const QString unreachable = "swipewatch: %1; check the display, or run the program under a "
                                    "virtual X server with \"xvfb-run -a swipewatch\".\n";
        row("none set", none, "", 2,
            "swipewatch needs a graphical display, and neither DISPLAY nor WAYLAND_DISPLAY is "
            "set: run it from a desktop session, or under a virtual X server with \"xvfb-run -a "
            "swipewatch\".\n");
        row("X unreachable", {"DISPLAY", ":64999"}, "", 2,
            unreachable.arg("cannot open the X display \":64999\" (DISPLAY): no X server answers "
                            "there, or it refuses this user"));
        row("Wayland unreachable", {"WAYLAND_DISPLAY", "wayland-nowhere"}, "", 2,
            unreachable.arg("Qt has no window system plugin \"wayland\"; no X display is set"));
        row("-platform bogus", {"DISPLAY", m_display}, "-platform bogus", 2,
            "swipewatch: no window system plugin \"bogus\" (-platform); Qt has: ");
        row("--display unreachable", {"DISPLAY", m_display}, "-platform xcb --display :64999", 2,
            unreachable.arg("cannot open the X display \":64999\" (--display): no X server "
                            "answers there, or it refuses this user"));
        row("--help", none, "--help", 0, "Usage: " SWIPEWATCH_BINARY " [options]\n");
        row("--version", none, "--version", 0, "swipewatch " SWIPEWATCH_VERSION_STRING "\n");
        row("Qt's options and their values", none, "-platform xcb -display :0 --nope", 2,
            "swipewatch: Unknown option 'nope'.\nTry 'swipewatch --help'.\n");
        row("bad --device", none, "--device ../x", 2,
            "swipewatch: '../x' is not a device name: use letters, digits, '_', '-' and "
            "'.'\nTry 'swipewatch --help'.\n");
    }
    void withoutADisplay()
    {
        QFETCH(QStringList, display);
        QFETCH(QStringList, arguments);
        QFETCH(int, status);
        QFETCH(QString, said);
        QProcess &window = start(SWIPEWATCH_BINARY, arguments, display);
        QVERIFY(ends(window, status));
        const QString output = window.readAllStandardOutput() + logOf(window);
        QVERIFY2(output.startsWith(said) && (status == 0 || output == said || said.endsWith(": ")),
                 qPrintable(output));
        QVERIFY(!QFileInfo::exists(runtimeFile(".lock")));
    }

    void opensTheDeviceItIsGiven()
    {
        // The default is listed too: a window that ignored --device would open it.
        QVERIFY(writeDevices("LANE2 = virtual\nMCRSTUBEX = virtual\n"));
        m_device = "LANE2";
        QVERIFY(holdsTheReader(start(SWIPEWATCH_BINARY, {"--device", m_device})));
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
