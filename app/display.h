// SPDX-License-Identifier: MIT
#pragma once

#include <QProcessEnvironment>
#include <QStringList>

namespace swipewatch {

// Whether Qt has somewhere to show the window: an X or Wayland display in the
// environment, or a platform chosen explicitly (QT_QPA_PLATFORM, -platform).
bool displayConfigured(const QProcessEnvironment &environment, const QStringList &arguments);

// One sentence for a user who started the program without a display.
QString noDisplayMessage();

// One sentence for a window system that did not start: what failed, from
// what Qt said while it tried (its window system messages, its fatal one
// last), and where the failed setting came from (an option among arguments,
// the program's name first, or a variable).
QString windowSystemFailureMessage(const QStringList &qtSaid,
                                   const QProcessEnvironment &environment,
                                   const QStringList &arguments);

// Held while the application object opens the window system. If Qt cannot
// open it, its fatal error (an abort, with advice to reinstall) becomes
// windowSystemFailureMessage() on standard error and exit status 2. Qt's
// messages meanwhile are held back, and passed on once the display is open.
class DisplayOpening {
public:
    explicit DisplayOpening(const QStringList &arguments);
    ~DisplayOpening();
    DisplayOpening(const DisplayOpening &) = delete;
    DisplayOpening &operator=(const DisplayOpening &) = delete;
};

} // namespace swipewatch
