// SPDX-License-Identifier: MIT
// Sends swipes to a claimed virtual reader over its swipe socket and reads
// the answers. Used by msrswipe; works inside any Qt event loop.
#pragma once

#include "backends/virtual/swipeprotocol.h"

#include <QByteArray>
#include <QLocalSocket>
#include <QObject>
#include <QString>
#include <QTimer>

#include <vector>

class QTextStream;

namespace feeder {

class SwipeFeeder : public QObject {
    Q_OBJECT
public:
    enum class Outcome { Done, Refused, NoReader, Failed };
    Q_ENUM(Outcome)

    SwipeFeeder(QString deviceName, QString socketPath, QObject *parent = nullptr);

    // Connects, then sends each request add() hands over count times, in
    // order: one after another when they wait for the window, otherwise as a
    // burst with up to kMaxInFlight unanswered. After endInput(), once every
    // answer is read, finished() says whether any was a refusal; it is never
    // emitted from inside these calls. All requests wait or none does.
    void start(int count);
    void add(const msr::protocol::SwipeRequest &request);
    void endInput();
    // All at once: requests is not empty.
    void feed(const std::vector<msr::protocol::SwipeRequest> &requests, int count);
    // How long the feeder waits on the reader before it gives up (default 10
    // seconds): from connecting to the last answer, less the time it has
    // every swipe answered and waits for the next to be added.
    void setTimeout(int milliseconds) { m_timer.setInterval(milliseconds); }

    // More than the reader queues, so a burst can show what a full queue does.
    static constexpr int kMaxInFlight = 512;

signals:
    void answered(int swipe, const msr::protocol::Answer &answer); // swipe counts from 1
    void finished(feeder::SwipeFeeder::Outcome outcome, const QString &message);

private:
    void sendMore();
    void readAnswers();
    void socketError(QLocalSocket::LocalSocketError error);
    void finishAnswered();
    void finishIfDone();
    void updateTimer();
    void finish(Outcome outcome, const QString &message);

    QString m_device;
    QString m_path;
    QLocalSocket m_socket;
    QTimer m_timer;
    std::vector<QByteArray> m_lines;
    bool m_wait = false;
    int m_each = 1;  // times each line is sent
    int m_count = 0; // swipes in all
    int m_sent = 0;
    int m_answered = 0;
    bool m_inputEnded = false;
    int m_refused = 0;
    int m_firstRefused = 0; // which swipe
    QString m_firstReason;
    bool m_finished = false;
};

int exitCode(SwipeFeeder::Outcome outcome);

// One line saying what the reader answered for swipe n of count.
QString describeAnswer(const msr::protocol::Answer &answer, int swipe, int count);

// The whole of msrswipe: arguments without the program name; input is the
// descriptor "--file -" reads. Runs its own event loop until every swipe is
// answered; returns the exit status.
int runMsrSwipe(const QStringList &arguments, int input, QTextStream &out, QTextStream &err);

} // namespace feeder
