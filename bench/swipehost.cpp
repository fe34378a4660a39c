// swipewatch's window and reader control as the program makes them, in a
// host that says what the window counted: on SIGTERM or SIGINT it closes the
// window as the program does and prints the InputCount and ErrorCount
// captions, the only place the window keeps its counts.
#include "app/application.h"
#include "app/frmmsr.h"
#include "app/runwindow.h"
#include "reporting/messageboxes.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    reporting::ModalMessageBoxes boxes;
    swipewatch::Application app(argc, argv, boxes);
    return swipewatch::runWindow(app, boxes, [](const swipewatch::frmMSR &window) {
        // One line, read by bench/run.py.
        std::printf("lbCount=%s lbErrorCount=%s\n", qPrintable(window.lbCount()->Caption()),
                    qPrintable(window.lbErrorCount()->Caption()));
        std::fflush(stdout);
    });
}
