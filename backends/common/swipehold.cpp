// SPDX-License-Identifier: MIT
#include "backends/common/swipehold.h"

#include "reader/runtimepaths.h"

#include <QTimer>

#include <utility>

namespace msr {

namespace {

bool queueFull(const SwipeVerdict &verdict)
{
    return !verdict.accepted && verdict.reason == QLatin1String(reason::kQueueFull);
}

// What stands for a swipe whose data could not be kept.
SwipeRead lostSwipe()
{
    SwipeRead read;
    for (TrackRead &track : read.tracks)
        track.error = 205;
    return read;
}

} // namespace

SwipeHold::SwipeHold(QString name, Report report, Holding holding, QObject *owner)
    : m_name(std::move(name)), m_report(std::move(report)), m_holding(std::move(holding)),
      m_quiet(new QTimer(owner))
{
    m_quiet->setSingleShot(true);
    m_quiet->setInterval(kQuietMs);
    QObject::connect(m_quiet, &QTimer::timeout, owner, [this] { sayDiscarded(); });
}

SwipeHold::~SwipeHold()
{
    sayDiscarded();
}

void SwipeHold::offer(const SwipeRead &swipe)
{
    if (!holding()) {
        const SwipeVerdict verdict = hand(swipe);
        if (verdict.accepted)
            return sayDiscarded();
        if (!queueFull(verdict))
            return discard(1, verdict.reason);
    }
    keep(swipe);
    setHolding(true);
}

SwipeVerdict SwipeHold::hand(const SwipeRead &swipe)
{
    const SwipeVerdict verdict = m_report(m_nextId, swipe);
    m_nextId += verdict.accepted;
    return verdict;
}

void SwipeHold::keep(const SwipeRead &swipe)
{
    if (m_overflow == 0 && qsizetype(m_held.size()) < kMaxHeld) {
        m_held.push_back(swipe);
        return;
    }
    if (m_overflow++ == 0)
        sayOnStderr(QStringLiteral("%1: more than %2 swipes came while the queue was full: each "
                                   "one past them is reported as a read error, its data lost")
                        .arg(m_name)
                        .arg(kMaxHeld));
}

void SwipeHold::finished(bool delivered, const QString &reason)
{
    if (!delivered)
        discard(1, reason);
    while (holding()) {
        const bool whole = !m_held.empty();
        const SwipeVerdict verdict = hand(whole ? m_held.front() : lostSwipe());
        if (queueFull(verdict))
            return;
        if (!verdict.accepted) {
            // Released or disabled while swipes waited: none of them will be read.
            discard(qsizetype(m_held.size()) + m_overflow, delivered ? verdict.reason : reason);
            m_held.clear();
            m_overflow = 0;
            break;
        }
        sayDiscarded();
        whole ? m_held.pop_front() : void(--m_overflow);
    }
    setHolding(false);
}

void SwipeHold::clear(const QString &reason)
{
    discard(qsizetype(m_held.size()) + m_overflow, reason);
    m_held.clear();
    m_overflow = 0;
    setHolding(false);
    sayDiscarded();
}

void SwipeHold::setHolding(bool holding)
{
    if (holding == std::exchange(m_stopped, holding))
        return;
    if (m_holding)
        m_holding(holding);
}

void SwipeHold::discard(qsizetype count, const QString &reason)
{
    if (count == 0)
        return;
    if (reason != m_discardReason)
        sayDiscarded();
    m_discardReason = reason;
    m_discarded += count;
    m_quiet->start();
}

void SwipeHold::sayDiscarded()
{
    m_quiet->stop();
    if (m_discarded == 0)
        return;
    sayOnStderr(QStringLiteral("%1: %2 %3 discarded: %4")
                    .arg(m_name)
                    .arg(m_discarded)
                    .arg(m_discarded == 1 ? "swipe" : "swipes", m_discardReason));
    m_discarded = 0;
}

} // namespace msr
