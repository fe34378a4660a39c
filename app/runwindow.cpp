#include "app/runwindow.h"

#include "app/application.h"
#include "app/frmmsr.h"
#include "app/termination.h"
#include "reader/deviceregistry.h"
#include "reader/msrcontrol.h"

#include <exception>

namespace swipewatch {

int runWindow(Application &app, reporting::MessageBoxes &boxes,
              const std::function<void(const frmMSR &)> &afterClose)
{
    TerminationSignals termination;
    try {
        // Declared before the window, so it is destroyed after it: the
        // control's destructor closes the device and frees the claim on every
        // way out of here, a raised error included.
        msr::MsrControl control(msr::DeviceRegistry::fromEnvironment());
        frmMSR window(&control, boxes);

        QObject::connect(&termination, &TerminationSignals::terminationRequested, &window,
                         [&window] {
                             // As the close button does. If an unload is
                             // already waiting on a message box, end its wait.
                             window.close();
                             if (window.isVisible())
                                 QCoreApplication::quit();
                         });

        window.show();
        const int status = app.exitStatus(app.exec());
        if (afterClose)
            afterClose(window);
        return status;
    } catch (const std::exception &error) {
        // Raised before the event loop ran, or while it was unwinding.
        app.reportFailure(QString::fromLocal8Bit(error.what()));
        return Application::kFailureStatus;
    }
}

} // namespace swipewatch
