// SPDX-License-Identifier: MIT
// The application object. It is where an error raised by a handler ends up:
// the form traps none, so the error ends the program at once, from wherever
// it was raised. The reader is shut down first, so it gives up its claim, and
// then the error is reported.
#pragma once

#include <QApplication>
#include <QString>

#include <functional>

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

    // What must still happen when a raised error ends the process: the
    // window and the reader go, so the reader's control closes the device.
    void setShutdown(std::function<void()> shutdown) { m_shutdown = std::move(shutdown); }

    // Shows the error, once.
    void reportFailure(const QString &what);
    // The error may be raised inside a nested event loop (a handler's pump, a
    // message box); the handlers waiting below it must not carry on. So this
    // shuts down, reports, and ends the process without returning.
    [[noreturn]] void endWithFailure(const QString &what);
    bool failed() const { return m_failed; }
    // The status main returns: failure wins over the loop's own result.
    int exitStatus(int loopResult) const { return m_failed ? kFailureStatus : loopResult; }

private:
    reporting::MessageBoxes &m_boxes;
    std::function<void()> m_shutdown;
    bool m_failed = false;
};

// What every run of the program sets on the application object: the desktop
// file's name, the icon and the font. main and the bench host both call it.
void setUpApplication();

} // namespace swipewatch
