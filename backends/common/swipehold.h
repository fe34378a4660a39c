// SPDX-License-Identifier: MIT
// Between a reader's service and the control: hands each swipe on, and keeps
// those the control cannot take yet, so that no swipe vanishes when swipes
// come faster than the application takes them.
//
//   - A swipe the control refuses because its queue is full is held, and so
//     is every swipe after it, in order. holding() turns true and the
//     service stops reading its device: the bytes wait in the kernel (tty,
//     evdev), and whoever writes to a pseudo-terminal blocks, as behind a
//     real till.
//   - Each time the control finishes a swipe (MsrService::swipeFinished),
//     the held swipes are handed on again, oldest first; once none is left,
//     holding() turns false and the service reads again.
//   - A service that must keep reading (hidraw drops reports without a word
//     when its own queue is full) gets kMaxHeld swipes kept whole. Past that
//     each further swipe is only counted, and handed on in its turn as a
//     read error (205 on every track): its data is lost, the swipe is not.
//     Said once on standard error per such stretch.
//   - A swipe refused for any other reason (disabled, not claimed, released),
//     or dropped unseen after the control took it (input cleared), is not
//     held. One line on standard error per stretch of them says how many and
//     why; a stretch ends at a swipe taken, another reason, release, or
//     kQuietMs without another.
#pragma once

#include "reader/msrservice.h"

#include <QString>

#include <deque>
#include <functional>

class QObject;
class QTimer;

namespace msr {

class SwipeHold {
public:
    using Report = std::function<SwipeVerdict(quint64 id, const SwipeRead &swipe)>;
    // Told when holding starts (stop reading) and ends (read again).
    using Holding = std::function<void(bool holding)>;

    static constexpr qsizetype kMaxHeld = 256;
    static constexpr int kQuietMs = 1000;

    // name is the logical device, for messages; the timer is a child of owner.
    SwipeHold(QString name, Report report, Holding holding, QObject *owner);
    ~SwipeHold();
    SwipeHold(const SwipeHold &) = delete;
    SwipeHold &operator=(const SwipeHold &) = delete;

    void offer(const SwipeRead &swipe);
    // From MsrService::swipeFinished.
    void finished(bool delivered, const QString &reason);
    // The reader is released: what is held is discarded for reason.
    void clear(const QString &reason);
    bool holding() const { return !m_held.empty() || m_overflow > 0; }

private:
    SwipeVerdict hand(const SwipeRead &swipe);
    void keep(const SwipeRead &swipe);
    void setHolding(bool holding);
    void discard(qsizetype count, const QString &reason);
    void sayDiscarded();

    QString m_name;
    Report m_report;
    Holding m_holding;
    std::deque<SwipeRead> m_held;
    qsizetype m_overflow = 0; // swipes past kMaxHeld, behind the held ones
    quint64 m_nextId = 1;     // of the next swipe the control takes
    bool m_stopped = false;   // as last told to the service
    qsizetype m_discarded = 0;
    QString m_discardReason;
    QTimer *m_quiet;
};

} // namespace msr
