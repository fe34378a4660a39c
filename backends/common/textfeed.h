// SPDX-License-Identifier: MIT
// What keyboard-type and serial readers do with the text they receive: the
// assembler, the idle gap that ends a swipe sent without a final CR, and the
// ids of the swipes handed on to the control.
#pragma once

#include "backends/common/textreaderoptions.h"

#include <QByteArrayView>
#include <QObject>

#include <functional>

class QTimer;

namespace msr {

class TextFeed {
public:
    using Deliver = std::function<void(quint64 id, const SwipeRead &swipe)>;

    // The gap timer is a child of owner, so it lives on owner's thread.
    // Without an owner there is no timer: the caller keeps its own time line
    // and calls gapPassed() (a replay, whose pace is not the reader's).
    TextFeed(const TextReaderSettings &settings, Deliver deliverTo, QObject *owner);

    // Hands on the swipes the bytes complete; the gap runs from the last byte
    // while a swipe is pending.
    void feed(QByteArrayView bytes);
    // Keystrokes were lost: the swipe in progress is reported as damaged.
    void markDamaged();
    // The reader went away: a swipe in progress is handed on as damaged.
    void readerGone();
    // Drops what is pending; a port just opened may first send a sign-on line.
    void clear(bool expectSignOn = false);
    // The idle gap passed since the last bytes: what is pending is a swipe.
    void gapPassed() { deliver(m_swipes.flush()); }
    // Something waits for the gap.
    bool pending() const { return m_swipes.pending(); }

private:
    void deliver(const QList<TextSwipe> &swipes);
    void restartGap();

    Deliver m_deliver;
    QTimer *m_gap;
    SwipeAssembler m_swipes;
    quint64 m_nextSwipe = 1;
};

} // namespace msr
