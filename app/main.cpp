// swipewatch: watches a magnetic stripe card reader at work.

#include "app/application.h"
#include "app/display.h"
#include "app/icon.h"
#include "app/runwindow.h"
#include "reporting/messageboxes.h"

#include <cstdio>
#include <memory>

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
    auto opening = std::make_unique<swipewatch::DisplayOpening>();
    swipewatch::Application app(argc, argv, boxes);
    opening.reset();
    QCoreApplication::setApplicationName(QStringLiteral("swipewatch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SWIPEWATCH_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("org.swipewatch.SwipeWatch"));
    QApplication::setWindowIcon(swipewatch::programIcon());

    return swipewatch::runWindow(app, boxes);
}
