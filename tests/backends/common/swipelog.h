// SPDX-License-Identifier: MIT
// For the backend tests: what a reader's service hands on, as text, and bytes for its node.
#pragma once

#include "reader/msrservice.h"

#include <QStringList>

#include <unistd.h>

// "text:code|text:code|text:code"
inline QString describe(const msr::SwipeRead &read)
{
    QStringList tracks;
    for (const msr::TrackRead &t : read.tracks)
        tracks << t.text + u':' + QString::number(t.error);
    return tracks.join('|');
}

// Takes every swipe, logged as "<id> <tracks>", or room of them, then refuses.
struct SwipeLog : msr::SwipeSink {
    QStringList swipes;
    int room = -1; // -1: no limit
    const char *refusal = msr::reason::kQueueFull;
    int refused = 0;
    msr::SwipeVerdict admitSwipe(quint64 id, const msr::SwipeRead &read) override
    {
        if (room == 0)
            return ++refused, msr::SwipeVerdict{false, QString::fromLatin1(refusal)};
        room -= room > 0;
        swipes << QString::number(id) + ' ' + describe(read);
        return {true, {}};
    }
};

// Writes bytes to the reader's end of a fake node (a socket or a pty master).
inline bool send(int fd, QByteArrayView bytes)
{
    return ::write(fd, bytes.data(), std::size_t(bytes.size())) == bytes.size();
}
