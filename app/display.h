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

// One sentence for a display that is set but cannot be opened.
QString unreachableDisplayMessage(const QProcessEnvironment &environment);

// Held while the application object opens the window system. If Qt cannot
// open it, its fatal error (an abort, with advice to reinstall) becomes
// unreachableDisplayMessage() on standard error and exit status 2. Qt's
// messages meanwhile are held back, and passed on once the display is open.
class DisplayOpening {
public:
    DisplayOpening();
    ~DisplayOpening();
    DisplayOpening(const DisplayOpening &) = delete;
    DisplayOpening &operator=(const DisplayOpening &) = delete;
};

} // namespace swipewatch
