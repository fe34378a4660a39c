// The program's run: the real reader control, the window on it, SIGTERM and
// SIGINT closing it like the close button, until the event loop ends.
#pragma once

#include <functional>

namespace reporting {
class MessageBoxes;
}

namespace swipewatch {

class Application;
class frmMSR;

// afterClose sees the window once the loop has ended, before it is destroyed.
// Returns the program's exit status.
int runWindow(Application &app, reporting::MessageBoxes &boxes,
              const std::function<void(const frmMSR &)> &afterClose = {});

} // namespace swipewatch
