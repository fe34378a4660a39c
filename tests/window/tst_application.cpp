// SPDX-License-Identifier: MIT
#include "app/application.h"
#include "app/display.h"
#include "app/runwindow.h"
#include "app/termination.h"
#include "harness.h"

#include <csignal>
#include <cstdio>

class TestApplication : public QObject {
    Q_OBJECT
private slots:
    void displayConfigured_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("configured");
        const QStringList program{"swipewatch"};
        QTest::newRow("empty DISPLAY") << "DISPLAY=" << program << false;
        QTest::newRow("X") << "DISPLAY=:0" << program << true;
        QTest::newRow("Wayland") << "WAYLAND_DISPLAY=wayland-0" << program << true;
        QTest::newRow("platform") << "QT_QPA_PLATFORM=offscreen" << program << true;
        for (const char *option : {"-platform", "--platform", "-display"})
            QTest::newRow(option) << "" << (program + QStringList{option, "x"}) << true;
        QTest::newRow("program name") << "" << QStringList{"-platform"} << false;
    }

    void displayConfigured()
    {
        QFETCH(QString, variable);
        QFETCH(QStringList, arguments);
        QFETCH(bool, configured);
        QProcessEnvironment env;
        if (!variable.isEmpty())
            env.insert(variable.section('=', 0, 0), variable.section('=', 1));
        QCOMPARE(swipewatch::displayConfigured(env, arguments), configured);
    }

    void terminationSignalsArriveInTheEventLoop()
    {
        ::signal(SIGINT, SIG_IGN);
        {
            swipewatch::TerminationSignals termination;
            QVERIFY_THROWS_EXCEPTION(std::logic_error, swipewatch::TerminationSignals second);
            QSignalSpy requests(&termination,
                                &swipewatch::TerminationSignals::terminationRequested);
            ::raise(SIGTERM);
            ::raise(SIGINT);
            QVERIFY(requests.isEmpty()); // nothing happens inside the handler
            QTRY_COMPARE(requests.size(), 2);
            QCOMPARE(requests[0][0].toInt(), SIGTERM);
            QCOMPARE(requests[1][0].toInt(), SIGINT);
        }
        struct sigaction restored {};
        ::sigaction(SIGINT, nullptr, &restored);
        QVERIFY(restored.sa_handler == SIG_IGN);
    }

    // A reader call raises in start-up, or in a handler's pump (a message
    // box's loop lets the same events in). The reader goes, the error is
    // shown, the program ends: no handler waiting below the failure carries on.
    void raisedErrorEndsTheProgramAtOnce_data()
    {
        QTest::addColumn<QString>("raising");
        QTest::newRow("start-up") << get(dispid::State);
        QTest::newRow("pump") << get(dispid::ErrorReportingType);
    }
    void raisedErrorEndsTheProgramAtOnce()
    {
        QFETCH(QString, raising);
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(),
                    {"-scenario", QTest::currentDataTag()});
        QVERIFY(child.waitForFinished(60000) && child.exitStatus() == QProcess::NormalExit);
        const QStringList lines = QString(child.readAllStandardOutput()).split('\n');
        QCOMPARE(lines.mid(lines.indexOf(raising + " raises") + 1),
                 (QStringList{"reader gone", "box: scripted failure of " + raising, ""}));
        QCOMPARE(child.exitCode(), swipewatch::Application::kFailureStatus);
    }
};

namespace {

struct EchoingReader : testsupport::FakeReader {
    ~EchoingReader() override { std::puts("reader gone"); }
};

// The child: the program's run over a fake reader that writes out each call,
// and raises from an error event handled inside a nested loop.
int runScenario(const QByteArray &scenario, swipewatch::Application &app,
                testsupport::RecordingMessageBoxes &boxes)
{
    auto owned = std::make_unique<EchoingReader>();
    EchoingReader &r = *owned;
    const auto raiseLater = [&r] {
        QTimer::singleShot(0, qApp, [&r] {
            r.failing << get(dispid::ErrorReportingType);
            r.fireErrorEvent(0, 201, opos::OPOS_EL_INPUT);
        });
    };
    r.onCall = [&](const QString &call) {
        const bool raises = r.failing.contains(call.section('(', 0, 0));
        std::puts(qPrintable(raises ? call + " raises" : call));
        if (scenario == "pump" && call == put(dispid::DataEventEnabled, -1) &&
            r.calls.count(call) == 1)
            QTimer::singleShot(0, qApp, [&] { raiseLater(), r.fireDataEvent(1); });
    };
    boxes.whileOpen = [&](const ShownMessage &message) {
        std::puts(qPrintable("box: " + message.text.section('\n', 0, 0).section(": ", -1)));
    };
    if (scenario == "start-up")
        r.failing << get(dispid::State);
    return swipewatch::runWindow(
        app, boxes, {}, [&] { return std::unique_ptr<msr::DispatchInterface>(std::move(owned)); });
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::RecordingMessageBoxes boxes;
    swipewatch::Application app(argc, argv, boxes);
    if (argc == 3 && qstrcmp(argv[1], "-scenario") == 0)
        return runScenario(argv[2], app, boxes);
    TestApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_application.moc"
