// SPDX-License-Identifier: MIT
// Watching a reader without a window: open, claim and enable a logical
// device through the same control object the window uses, and print one
// line per event until Ctrl-C or SIGTERM.
#pragma once

#include <QString>

class QTextStream;

namespace probe {

struct WatchOptions {
    bool json = false;     // JSON lines instead of text
    bool showData = false; // card numbers in full
};

// Runs its own event loop; returns the exit status.
int watchReader(const QString &logicalName, const WatchOptions &options, QTextStream &out,
                QTextStream &err);

// The track as it may be shown: the card number (track 1 after the format
// code 'B' up to '^', track 2 up to '=', track 3 after its two-digit format
// code up to '=') keeps its first six and last four
// digits, the rest become '*'. Other text is left alone.
QString maskTrack(int track, const QString &text);

} // namespace probe
