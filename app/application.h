// The application object. It is where an error raised by a handler ends up:
// the form traps none, so the error is reported and the program ends with a
// failure status, by returning from the event loop so that the reader control
// is still destroyed and gives up its claim.
#pragma once

#include <QApplication>
#include <QString>

namespace reporting {
class MessageBoxes;
}

namespace swipewatch {

class Application : public QApplication {
    Q_OBJECT
public:
    Application(int &argc, char **argv, reporting::MessageBoxes &boxes);

    static constexpr int kFailureStatus = 1;

    bool notify(QObject *receiver, QEvent *event) override;

    // Shows the error, once, and asks the event loop to end with failure.
    void reportFailure(const QString &what);
    bool failed() const { return m_failed; }
    // The status main returns: failure wins over the loop's own result.
    int exitStatus(int loopResult) const { return m_failed ? kFailureStatus : loopResult; }

private:
    reporting::MessageBoxes &m_boxes;
    bool m_failed = false;
};

} // namespace swipewatch
