// SPDX-License-Identifier: MIT
// The whole of msrprobe but the process set-up: find a reader, watch it,
// or print the udev rule that lets the user at it.
#pragma once

#include <QStringList>

class QTextStream;

namespace probe {

// arguments without the program name; returns the exit status.
int runMsrProbe(const QStringList &arguments, QTextStream &out, QTextStream &err);

} // namespace probe
