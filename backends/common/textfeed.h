// SPDX-License-Identifier: MIT
// What keyboard-type and serial readers do with the text they receive: the
// assembler and the idle gap that ends a swipe sent without a final CR.
// While the service holds swipes for the control (backends/common/swipehold.h)
// it reads nothing, and the silence is not the reader's: the gap waits.
// Noise (bytes outside any track) is said on standard error, one line per
// stretch, and a reader that seems to send no LRC under lrc=yes once per claim.
#pragma once

#include "backends/common/textreaderoptions.h"

#include <QByteArrayView>
#include <QObject>

#include <functional>

class QTimer;

namespace msr {

class TextFeed {
public:
    using Deliver = std::function<void(const SwipeRead &swipe)>;

    // The gap timer is a child of owner, so it lives on owner's thread; name is
    // the logical device, for the messages. Without an owner there is no
    // timer: the caller keeps its own time line and calls gapPassed() (a
    // replay, whose pace is not the reader's).
    TextFeed(const QString &name, const TextReaderSettings &settings, Deliver deliverTo,
             QObject *owner);

    // Hands on the swipes the bytes complete; the gap runs from the last byte
    // while a swipe is pending.
    void feed(QByteArrayView bytes);
    // Keystrokes were lost: the swipe in progress is reported as damaged.
    void markDamaged();
    // The reader went away: a swipe in progress is handed on as damaged.
    void readerGone();
    // Drops what is pending, at claim and release; a port just opened (at
    // claim, or back after an unplug) may first send a sign-on line.
    void clear(bool expectSignOn = false);
    // The service stopped reading (true) or reads again: no gap meanwhile.
    void setHeld(bool held);
    // The idle gap passed since the last bytes: what is pending is a swipe.
    void gapPassed() { deliver(m_swipes.flush()); }
    // Something waits for the gap.
    bool pending() const { return m_swipes.pending(); }

private:
    void deliver(const QList<TextSwipe> &swipes);
    void restartGap();

    QString m_name;
    Deliver m_deliver;
    QTimer *m_gap;
    SwipeAssembler m_swipes;
    bool m_held = false;
    bool m_saidNoLrc = false;
};

} // namespace msr
