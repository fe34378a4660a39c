#pragma once

#include <QProcessEnvironment>
#include <QStringList>

namespace swipewatch {

// Whether Qt has somewhere to show the window: an X or Wayland display in the
// environment, or a platform chosen explicitly (QT_QPA_PLATFORM, -platform).
bool displayConfigured(const QProcessEnvironment &environment, const QStringList &arguments);

// One sentence for a user who started the program without a display.
QString noDisplayMessage();

} // namespace swipewatch
