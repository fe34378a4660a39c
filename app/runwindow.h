// SPDX-License-Identifier: MIT
// The program's run: the real reader control, the window on it, SIGTERM and
// SIGINT closing it like the close button, until the event loop ends.
#pragma once

#include <QString>

#include <functional>
#include <memory>

namespace msr {
class DispatchInterface;
}
namespace reporting {
class MessageBoxes;
}

namespace swipewatch {

class Application;
class frmMSR;

// Makes the reader the window drives; by default the control object.
using ReaderFactory = std::function<std::unique_ptr<msr::DispatchInterface>()>;

// afterClose sees the window once the loop has ended, before it is destroyed.
// deviceName is the logical device the window opens; empty for its default.
// Returns the program's exit status. An error raised in a handler ends the
// process from inside the loop, after the window and the reader are gone.
int runWindow(Application &app, reporting::MessageBoxes &boxes,
              const std::function<void(const frmMSR &)> &afterClose = {},
              const ReaderFactory &makeReader = {}, const QString &deviceName = {});

} // namespace swipewatch
