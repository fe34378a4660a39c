// swipewatch's window and reader control as the program makes them, in a
// host that says what the window counted: on SIGTERM or SIGINT it closes the
// window as the program does and prints the InputCount and ErrorCount
// captions, the only place the window keeps its counts.
#include "app/application.h"
#include "app/frmmsr.h"
#include "app/termination.h"
#include "reader/deviceregistry.h"
#include "reader/msrcontrol.h"
#include "reporting/messageboxes.h"

#include <cstdio>
#include <exception>

int main(int argc, char *argv[])
{
    reporting::ModalMessageBoxes boxes;
    swipewatch::Application app(argc, argv, boxes);
    swipewatch::TerminationSignals termination;
    try {
        msr::MsrControl control(msr::DeviceRegistry::fromEnvironment());
        swipewatch::frmMSR window(&control, boxes);
        QObject::connect(&termination, &swipewatch::TerminationSignals::terminationRequested,
                         &window, [&window] {
                             window.close();
                             if (window.isVisible())
                                 QCoreApplication::quit();
                         });
        window.show();
        const int status = app.exitStatus(app.exec());
        // One line, read by bench/run.py.
        std::printf("lbCount=%s lbErrorCount=%s\n", qPrintable(window.lbCount()->Caption()),
                    qPrintable(window.lbErrorCount()->Caption()));
        std::fflush(stdout);
        return status;
    } catch (const std::exception &error) {
        app.reportFailure(QString::fromLocal8Bit(error.what()));
        return swipewatch::Application::kFailureStatus;
    }
}
