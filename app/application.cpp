#include "app/application.h"

#include "reporting/messageboxes.h"

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
        reportFailure(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        reportFailure(QStringLiteral("unknown error"));
    }
    return false;
}

void Application::reportFailure(const QString &what)
{
    // Only the first error is shown: a second one raised while its box is
    // open would only repeat the story.
    const bool first = !m_failed;
    m_failed = true;
    qCritical().noquote() << "swipewatch: run-time error:" << what;
    if (first)
        m_boxes.showMessage(nullptr, QStringLiteral("swipewatch"),
                            QStringLiteral("Run-time error: %1\n\nThe program ends.").arg(what));
    exit(kFailureStatus);
}

} // namespace swipewatch
