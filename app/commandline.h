// SPDX-License-Identifier: MIT
// swipewatch's command line: its own options, and Qt's, which the
// application object takes later. Read before the display is opened, so
// --help and --version work without one.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace swipewatch {

struct CommandLine {
    QString deviceName; // the logical device the window opens
    // Set when the program ends here: help, version, or an error.
    std::optional<int> exitStatus;
    QString output; // for standard output
    QString error;  // for standard error
};

inline constexpr int kBadCommandLine = 2;

// arguments: the program's, its name first. Wants a QCoreApplication (a
// short-lived one will do) only for the program name in the usage line.
CommandLine parseCommandLine(const QStringList &arguments);

// The same for main's argc and argv, which it leaves as they are for the
// application object; the program name and version must be set.
CommandLine readCommandLine(int argc, char **argv);

} // namespace swipewatch
