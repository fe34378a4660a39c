// SPDX-License-Identifier: MIT
// msrprobe check NAME: swipe a test card N times through the reader, as the
// window drives it, and get a verdict on the reader with the figures behind
// it, on the terminal and as JSON and HTML for the service ticket.
#pragma once

#include <QStringList>

class QTextStream;

namespace probe {

enum CheckStatus : int {
    CheckPass = 0,
    CheckFail = 1, // also: the reader could not be opened, a report not written
    CheckUsage = 2,
    CheckNoSwipe = 3, // no swipe came before the timeout or Ctrl-C
};

// arguments after "check"; runs its own event loop; returns a CheckStatus.
int runCheck(const QStringList &arguments, QTextStream &out, QTextStream &err);

} // namespace probe
