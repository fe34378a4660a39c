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

// The track as it may be pasted into a ticket: every run of 12 to 19 digits
// (a card number's length), spaces and dashes between its digits allowed,
// keeps its first six and last four digits and the rest become '*'; so does
// a longer run written in groups, where a card number may sit beside other
// digits. On track 1 the cardholder's name (from the first '^' to the next
// or the end) becomes "<name, N characters>". Everything else is left alone.
QString maskTrack(int track, const QString &text);

} // namespace probe
