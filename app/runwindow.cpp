// SPDX-License-Identifier: MIT
#include "app/runwindow.h"

#include "app/application.h"
#include "app/frmmsr.h"
#include "app/termination.h"
#include "backends/backends.h"
#include "reader/msrcontrol.h"

#include <exception>

namespace swipewatch {

int runWindow(Application &app, reporting::MessageBoxes &boxes,
              const std::function<void(const frmMSR &)> &afterClose,
              const ReaderFactory &makeReader, const QString &deviceName)
{
    TerminationSignals termination;
    std::unique_ptr<msr::DispatchInterface> reader;
    std::unique_ptr<frmMSR> window;
    // The window before the reader it holds; the control's destructor closes
    // the device and frees the claim. This runs on every way out of here, and
    // also when a raised error ends the process from inside the loop.
    const auto shutdown = [&] {
        window.reset();
        reader.reset();
    };
    app.setShutdown(shutdown);
    struct Unhook {
        Application &app;
        ~Unhook() { app.setShutdown({}); }
    } unhook{app};

    try {
        reader =
            makeReader ? makeReader() : std::make_unique<msr::MsrControl>(msr::standardRegistry());
        window = std::make_unique<frmMSR>(
            reader.get(), boxes,
            deviceName.isEmpty() ? QString::fromLatin1(frmMSR::kDeviceName) : deviceName);

        QObject::connect(&termination, &TerminationSignals::terminationRequested, window.get(),
                         [&window] {
                             // As the close button does. If an unload is
                             // already waiting on a message box, end its wait.
                             window->close();
                             if (window->isVisible())
                                 QCoreApplication::quit();
                         });

        window->show();
        const int status = app.exitStatus(app.exec());
        if (afterClose)
            afterClose(*window);
        shutdown();
        return status;
    } catch (const std::exception &error) {
        // Raised before the event loop ran, or after it ended.
        shutdown();
        app.reportFailure(QString::fromLocal8Bit(error.what()));
        return Application::kFailureStatus;
    }
}

} // namespace swipewatch
