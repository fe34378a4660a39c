// swipewatch: watches a magnetic stripe card reader at work.

#include "app/application.h"
#include "app/display.h"
#include "app/frmmsr.h"
#include "app/icon.h"
#include "app/termination.h"
#include "reader/deviceregistry.h"
#include "reader/msrcontrol.h"
#include "reporting/messageboxes.h"

#include <cstdio>
#include <exception>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (!swipewatch::displayConfigured(QProcessEnvironment::systemEnvironment(), arguments)) {
        std::fprintf(stderr, "%s\n", qPrintable(swipewatch::noDisplayMessage()));
        return 2;
    }

    reporting::ModalMessageBoxes boxes;
    swipewatch::Application app(argc, argv, boxes);
    QCoreApplication::setApplicationName(QStringLiteral("swipewatch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SWIPEWATCH_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.swipewatch.SwipeWatch"));
    QApplication::setWindowIcon(swipewatch::programIcon());

    swipewatch::TerminationSignals termination;
    try {
        // Declared before the window, so it is destroyed after it: the
        // control's destructor closes the device and frees the claim on every
        // way out of here, a raised error included.
        msr::MsrControl control(msr::DeviceRegistry::fromEnvironment());
        swipewatch::frmMSR window(&control, boxes);

        QObject::connect(&termination, &swipewatch::TerminationSignals::terminationRequested,
                         &window, [&window] {
                             // As the close button does. If an unload is
                             // already waiting on a message box, end its wait.
                             window.close();
                             if (window.isVisible())
                                 QCoreApplication::quit();
                         });

        window.show();
        return app.exitStatus(app.exec());
    } catch (const std::exception &error) {
        // Raised before the event loop ran, or while it was unwinding.
        app.reportFailure(QString::fromLocal8Bit(error.what()));
        return swipewatch::Application::kFailureStatus;
    }
}
