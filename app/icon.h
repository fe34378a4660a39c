// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>

namespace swipewatch {

// The program's icon, a card with a magnetic stripe, rendered from the SVG in
// the program's resources at the sizes a window manager shows a window's icon
// at (16 to 64 px). Rendered on the first call and shared after it, until the
// application object is destroyed. The desktop entry installs the SVG itself
// for launchers that want a larger picture.
QIcon programIcon();

} // namespace swipewatch
