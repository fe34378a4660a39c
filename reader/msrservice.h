// SPDX-License-Identifier: MIT
// A service object: the backend that reads a physical (or virtual) stripe
// reader for the control object. The control owns the device state, the
// event queue and the delivery rules; a service only claims the hardware and
// reports what the head read.
#pragma once

#include "reader/rawread.h"

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>

namespace msr {

// One track as the service read it. error is the extended code of the
// failed check (201 to 204, or another non-zero code), 0 for a good track.
struct TrackRead {
    QString text;
    std::int32_t error = 0;
};

struct SwipeRead {
    std::array<TrackRead, 3> tracks;
};

// Why a swipe was refused, or dropped after it was admitted.
namespace reason {
inline constexpr const char *kDisabled = "reader is disabled";
inline constexpr const char *kNotClaimed = "reader is not claimed";
inline constexpr const char *kQueueFull = "queue full";
inline constexpr const char *kCleared = "input cleared after a read error";
inline constexpr const char *kReleased = "reader was released";
} // namespace reason

// What the control says about a swipe when the service reports it.
struct SwipeVerdict {
    bool accepted = false;
    QString reason; // why it was refused
};

// Implemented by the control object.
class SwipeSink {
public:
    virtual ~SwipeSink() = default;
    virtual SwipeVerdict admitSwipe(quint64 id, const SwipeRead &swipe) = 0;
};

class MsrService : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Takes the device for this process. timeout in milliseconds: 0 does not
    // wait, OPOS_FOREVER waits forever. Returns an OPOS result code.
    virtual std::int32_t claim(std::int32_t timeout) = 0;
    virtual void release() = 0;

    // Called by the control exactly once for every admitted swipe: after the
    // window's handlers for its last event have returned (delivered), or when
    // its events were dropped unseen (reason says why).
    virtual void swipeFinished(quint64 id, bool delivered, const QString &reason)
    {
        Q_UNUSED(id);
        Q_UNUSED(delivered);
        Q_UNUSED(reason);
    }

    void setSwipeSink(SwipeSink *sink) { m_sink = sink; }

    // The reader behind the raw reads, as far as it is known (a HID reader's
    // descriptor is read at claim). Empty kind: this service has no raw reads.
    virtual RawSource rawSource() const { return {}; }

signals:
    // Every read from the reader, undecoded, with rawSource() as it was then.
    void rawRead(const msr::RawRead &read);

protected:
    void tapRead(RawRead read)
    {
        if (!read.monotonicNs)
            read.monotonicNs = monotonicNs();
        read.source = rawSource();
        emit rawRead(read);
    }

    // id is the service's own name for the swipe, echoed in swipeFinished.
    SwipeVerdict reportSwipe(quint64 id, const SwipeRead &swipe)
    {
        if (!m_sink)
            return {false, QString::fromLatin1(reason::kNotClaimed)};
        return m_sink->admitSwipe(id, swipe);
    }

private:
    SwipeSink *m_sink = nullptr;
};

} // namespace msr
