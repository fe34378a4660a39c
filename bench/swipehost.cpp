// swipewatch's window and reader control as the program makes them, in a
// host that says what it saw. It prints "first-frame" once the window is first
// on screen (as the reference windows do), and on SIGTERM or SIGINT it closes
// the window as the program does and prints the InputCount and ErrorCount
// captions, the only place the window keeps its counts, with the round trip
// of every swipe in microseconds: from the socket read that brought the
// request in to the write of its answer, per connection.
#include "app/application.h"
#include "app/frmmsr.h"
#include "app/icon.h"
#include "app/runwindow.h"
#include "bench/firstframe.h"
#include "reporting/messageboxes.h"

#include <QChildEvent>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QSet>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

class TimedApplication : public swipewatch::Application {
public:
    using Application::Application;

    bool notify(QObject *receiver, QEvent *event) override
    {
        // The reader makes each accepted connection its child: watch it from
        // then on, before the reader connects its own handlers.
        if (event->type() == QEvent::ChildAdded) {
            auto *socket = qobject_cast<QLocalSocket *>(static_cast<QChildEvent *>(event)->child());
            if (socket && !m_watched.contains(socket))
                watch(socket);
        }
        return Application::notify(receiver, event);
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
    // From the read that brings a request in to the write of its answer.
    void watch(QLocalSocket *socket)
    {
        m_watched.insert(socket);
        connect(socket, &QObject::destroyed, this, [this, socket] { m_watched.remove(socket); });
        auto requestIn = std::make_shared<qint64>(-1);
        connect(socket, &QLocalSocket::readyRead, this, [this, requestIn] {
            if (*requestIn < 0)
                *requestIn = m_clock.nsecsElapsed();
        });
        connect(socket, &QLocalSocket::bytesWritten, this, [this, requestIn] {
            if (*requestIn < 0)
                return;
            m_roundTrips.push_back(double(m_clock.nsecsElapsed() - *requestIn) / 1000.0);
            *requestIn = -1;
        });
    }

    QElapsedTimer m_clock = [] {
        QElapsedTimer clock;
        clock.start();
        return clock;
    }();
    QSet<QObject *> m_watched;
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
