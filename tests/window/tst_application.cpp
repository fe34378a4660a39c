#include "app/application.h"
#include "app/display.h"
#include "app/termination.h"
#include "harness.h"

#include <csignal>

class TestApplication : public QObject {
    Q_OBJECT
public:
    TestApplication(swipewatch::Application &app, testsupport::RecordingMessageBoxes &boxes)
        : m_app(app), m_boxes(boxes)
    {
    }

private slots:
    void displayConfigured_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("configured");
        const QStringList program{"swipewatch"};
        QTest::newRow("nothing") << "" << program << false;
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
        env.insert("HOME", "/root");
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

    // A reader call that raises during start-up: the window traps nothing; the
    // application shows the error once and the loop ends with the failure status.
    void raisedErrorIsReportedAndEndsTheLoopWithFailure()
    {
        testsupport::FakeReader reader;
        reader.failing << get(dispid::State);
        swipewatch::frmMSR form(&reader, m_boxes);
        form.show();
        QTimer watchdog; // turns a loop that never ends into a failure
        watchdog.callOnTimeout([] { QCoreApplication::exit(99); });
        watchdog.start(10000);
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("scripted failure of get 8"));
        QCOMPARE(m_app.exitStatus(QCoreApplication::exec()),
                 swipewatch::Application::kFailureStatus);
        QCOMPARE(m_boxes.shown.size(), 1);
        QCOMPARE(m_boxes.shown[0].title, QStringLiteral("swipewatch"));
        QVERIFY(m_boxes.shown[0].text.contains("scripted failure of get 8"));
        QCOMPARE(reader.calls,
                 (QStringList{call(dispid::Open, {"MCRSTUBEX"}), get(dispid::State)}));
    }

private:
    swipewatch::Application &m_app;
    testsupport::RecordingMessageBoxes &m_boxes;
};

int main(int argc, char *argv[])
{
    testsupport::RecordingMessageBoxes boxes;
    swipewatch::Application app(argc, argv, boxes);
    TestApplication test(app, boxes);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_application.moc"
