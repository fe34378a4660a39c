// SPDX-License-Identifier: MIT
#include "app/application.h"

#include "app/frmmsr.h"
#include "app/icon.h"
#include "reader/runtimepaths.h"
#include "reporting/messageboxes.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace swipewatch {

Application::Application(int &argc, char **argv, reporting::MessageBoxes &boxes)
    : QApplication(argc, argv), m_boxes(boxes)
{
}

bool Application::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &error) {
        endWithFailure(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        endWithFailure(QStringLiteral("unknown error"));
    }
}

void Application::reportFailure(const QString &what)
{
    // Only the first error is shown: a second one raised while its box is
    // open would only repeat the story.
    if (std::exchange(m_failed, true))
        return;
    qCritical().noquote() << "swipewatch: run-time error:" << msr::printable(what);
    m_boxes.showMessage(nullptr, QStringLiteral("swipewatch"),
                        QStringLiteral("Run-time error: %1\n\nThe program ends.").arg(what));
}

void Application::endWithFailure(const QString &what)
{
    // The reader first: while the box is open, no reader event may reach a
    // handler, and the claim must not wait on the user.
    if (const std::function<void()> shutdown = std::exchange(m_shutdown, {})) {
        try {
            shutdown();
        } catch (...) {
            qCritical("swipewatch: the reader did not shut down cleanly");
        }
    }
    reportFailure(what);
    // Not exit(): the objects the interrupted handlers still use are gone, and
    // nothing else of the program may run, destructors of statics included.
    std::fflush(nullptr);
    std::_Exit(kFailureStatus);
}

void setUpApplication()
{
    QGuiApplication::setDesktopFileName(QStringLiteral("org.swipewatch.SwipeWatch"));
    QApplication::setWindowIcon(programIcon());
    // Text boxes lay out their first, empty text in the application's font
    // before they take their own: with the window's font there, start-up
    // loads no face the window does not show.
    QApplication::setFont(frmMSR::defaultFont());
}

} // namespace swipewatch
