// SPDX-License-Identifier: MIT
// Watching a reader without a window: open, claim and enable a logical
// device through the same control object the window uses, say what was
// opened, and print one line per swipe until Ctrl-C, SIGTERM, --count or
// --timeout; optionally with what the reader delivered for it, what the card
// says, and a recording of it all to play back later.
#pragma once

#include <QByteArrayView>
#include <QString>

class QTextStream;

namespace msr {
class MsrProxy;
}

namespace probe {

struct WatchOptions {
    bool json = false;     // JSON lines instead of text
    bool showData = false; // card numbers in full
    bool fields = false;   // text: what the card says, a line under each data event
    bool raw = false;      // what the reader delivered, before each event; needs showData
    int count = 0;         // end after this many swipes; 0: never
    int timeoutMs = 0;     // end when no swipe came for this long; 0: never
    QString record;        // write what the reader delivered here; empty: not
};

enum WatchStatus : int {
    WatchClean = 0,     // every swipe read without an error
    WatchReadError = 1, // a swipe failed to read, or the reader or output failed
    WatchUsage = 2,
    WatchNoSwipe = 3, // --timeout passed without any swipe
};

// Runs its own event loop; returns a WatchStatus.
// Opens and claims the logical device as the window does (claim timeout 1 s).
// On a failure says why on err, releases what it took and returns false.
bool openAndClaim(msr::MsrProxy &reader, const QString &logicalName, QTextStream &err);

int watchReader(const QString &logicalName, const WatchOptions &options, QTextStream &out,
                QTextStream &err);

// cardfields::maskTrack, under the name msrprobe's callers know.
QString maskTrack(int track, const QString &text);

// Characters a text reader sent, readable on a terminal and in one way only:
// control characters by their names (<CR>, <STX>, <DEL>), bytes above 0x7E
// and the '<' and '"' that would make that ambiguous as <0xHH>.
QString rawText(QByteArrayView bytes);

} // namespace probe
