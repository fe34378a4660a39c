// swipewatch's window and reader control as the program makes them, in a
// host that says what it saw. It prints "first-frame" once the window is first
// on screen (as the reference windows do), and on SIGTERM or SIGINT it closes
// the window as the program does and prints the InputCount and ErrorCount
// captions, the only place the window keeps its counts, with the round trip
// of every swipe in microseconds: from the read notification that brought the
// request in to the write of its answer, per socket.
#include "app/application.h"
#include "app/frmmsr.h"
#include "app/icon.h"
#include "app/runwindow.h"
#include "bench/firstframe.h"
#include "reporting/messageboxes.h"

#include <QElapsedTimer>
#include <QSocketNotifier>

#include <cstdio>
#include <map>
#include <vector>

namespace {

class TimedApplication : public swipewatch::Application {
public:
    using Application::Application;

    bool notify(QObject *receiver, QEvent *event) override
    {
        auto *notifier =
            event->type() == QEvent::SockAct ? qobject_cast<QSocketNotifier *>(receiver) : nullptr;
        if (!notifier)
            return Application::notify(receiver, event);
        // Read before the event: handling it may delete the notifier.
        const qintptr socket = notifier->socket();
        const QSocketNotifier::Type type = notifier->type();
        if (type == QSocketNotifier::Read)
            m_requestIn[socket] = m_clock.nsecsElapsed();
        const bool handled = Application::notify(receiver, event);
        if (type == QSocketNotifier::Write) {
            const auto in = m_requestIn.find(socket);
            if (in != m_requestIn.end()) {
                m_roundTrips.push_back(double(m_clock.nsecsElapsed() - in->second) / 1000.0);
                m_requestIn.erase(in);
            }
        }
        return handled;
    }

    QByteArray roundTrips() const
    {
        QByteArray text;
        for (double microseconds : m_roundTrips)
            text += QByteArray::number(microseconds, 'f', 1) + ',';
        text.chop(1);
        return text;
    }

private:
    QElapsedTimer m_clock = [] {
        QElapsedTimer clock;
        clock.start();
        return clock;
    }();
    std::map<qintptr, qint64> m_requestIn;
    std::vector<double> m_roundTrips;
};

} // namespace

int main(int argc, char *argv[])
{
    reporting::ModalMessageBoxes boxes;
    TimedApplication app(argc, argv, boxes);
    // As main does, so the host starts what the program starts.
    QCoreApplication::setApplicationName(QStringLiteral("swipewatch"));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.swipewatch.SwipeWatch"));
    QApplication::setWindowIcon(swipewatch::programIcon());
    const bench::FirstFrameMarker marker;
    return swipewatch::runWindow(app, boxes, [&app](const swipewatch::frmMSR &window) {
        // One line, read by bench/run.py.
        std::printf("lbCount=%s lbErrorCount=%s roundtrip_us=%s\n",
                    qPrintable(window.lbCount()->Caption()),
                    qPrintable(window.lbErrorCount()->Caption()), app.roundTrips().constData());
        std::fflush(stdout);
    });
}
