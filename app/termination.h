// SPDX-License-Identifier: MIT
// SIGTERM and SIGINT as a request to close the window. The signal handler
// only writes the signal number into a socket pair; the event loop picks it
// up and the rest happens in ordinary code.
#pragma once

#include <QObject>

#include <csignal>

class QSocketNotifier;

namespace swipewatch {

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; only one instance may exist at a time.
    explicit TerminationSignals(QObject *parent = nullptr);
    // Restores the handlers that were there before.
    ~TerminationSignals() override;

signals:
    void terminationRequested(int signalNumber);

private:
    static void handle(int signalNumber);
    void drain();

    QSocketNotifier *m_notifier = nullptr;
    struct sigaction m_previousTerm {};
    struct sigaction m_previousInt {};
};

} // namespace swipewatch
