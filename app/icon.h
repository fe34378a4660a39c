#pragma once

#include <QIcon>

namespace swipewatch {

// The program's icon, a card with a magnetic stripe, rendered from the SVG in
// the program's resources at the usual icon sizes.
QIcon programIcon();

} // namespace swipewatch
