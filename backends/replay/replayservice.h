// SPDX-License-Identifier: MIT
// The replay kind: plays a recording (recording.h) back as the reader that
// made it, through the same decoders: the text parser for serial readers, the
// key decoder and then the text parser for keyboard-type ones, both with the
// recorded gap and lrc, and the descriptor and report decoder for HID ones.
//
// Device list:
//     BENCH = replay file=/home/me/till3.rec speed=1 loop=no
//   file   the recording, an absolute path (required)
//   speed  how many times faster than recorded: 2 plays in half the time,
//          0.5 in twice the time (0.01 to 1000, default 1)
//   loop   yes: start again from the top at the end, 100 ms later (default no)
//
// The recording is read and checked at Open: a fault is 104 naming the file
// and line. Play starts at claim and stops at release; the next claim
// starts from the top. Where a swipe ends is decided on the recorded time
// line, not the wall clock: a pause the recording holds that is as long as
// the gap ends a swipe at any speed, and a shorter one never does. A swipe is
// handed to the control only when the one before it is done with (its events
// delivered, or dropped), as a person's swipes come; until then, and while
// the control does not take it (its queue is full, or the reader is
// disabled), it is held and play pauses. So a fast replay meets the control
// as the live reader did: an error that clears the queue cannot swallow the
// swipes that came after it at the till.
#pragma once

#include "backends/common/textfeed.h"
#include "backends/hid/hiddescriptor.h"
#include "backends/keyboard/keydecoder.h"
#include "backends/replay/recording.h"
#include "reader/deviceoptions.h"
#include "reader/msrservice.h"

#include <QElapsedTimer>

#include <deque>
#include <memory>
#include <optional>

class QTimer;

namespace msr::replay {

class ReplayService : public MsrService {
    Q_OBJECT
public:
    // recording has been checked: every descriptor in it gives a layout.
    // keys: the keyboard layout its key events are read with.
    ReplayService(QString name, Recording recording, std::shared_ptr<const KeyLayout> keys,
                  double speed, bool loop, QObject *parent = nullptr);
    ~ReplayService() override;

    std::int32_t claim(std::int32_t timeout) override;
    void release() override;
    void swipeFinished(quint64 id, bool delivered, const QString &reason) override;
    RawSource rawSource() const override;

private:
    void restart(int pauseMs = 0);
    void advance();
    void play(const Step &step);
    void offer(quint64 id, const SwipeRead &swipe);
    bool sendHeld();
    void resume();
    qint64 recordedNow() const;

    QString m_name;
    Recording m_recording;
    double m_speed;
    bool m_loop;
    bool m_claimed = false;
    bool m_running = false;

    qsizetype m_next = 0; // the step to play next
    qint64 m_at = 0;      // recorded time of what was played last
    qint64 m_base = 0;    // recorded time when m_clock started
    QElapsedTimer m_clock;
    std::optional<qint64> m_gapDue; // recorded time the text's idle gap ends
    QTimer *m_step;
    QTimer *m_retry;
    std::deque<std::pair<quint64, SwipeRead>> m_held; // not taken by the control yet
    std::optional<quint64> m_inFlight;                // taken, its events not done with

    TextFeed m_text;
    KeyDecoder m_keys;
    QByteArray m_descriptor;
    hid::TrackLayout m_layout;
    quint64 m_nextSwipe = 1;
};

std::unique_ptr<MsrService> createReplayService(const DeviceEntry &entry, QString *error);

} // namespace msr::replay
