// SPDX-License-Identifier: MIT
// swipewatch: watches a magnetic stripe card reader at work.

#include "app/application.h"
#include "app/commandline.h"
#include "app/display.h"
#include "app/runwindow.h"
#include "app/standardstreams.h"
#include "reporting/messageboxes.h"

#include <swipewatch/version.h>

#include <cstdio>
#include <memory>

namespace {

int run(int argc, char *argv[])
{
    QCoreApplication::setApplicationName(QStringLiteral("swipewatch"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SWIPEWATCH_VERSION_STRING));
    // Before the display: --help and --version need none, and a bad option
    // must not open a window.
    const swipewatch::CommandLine line = swipewatch::readCommandLine(argc, argv);
    if (line.exitStatus) {
        std::fputs(qPrintable(line.output), stdout);
        std::fputs(qPrintable(line.error), stderr);
        return *line.exitStatus;
    }

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (!swipewatch::displayConfigured(QProcessEnvironment::systemEnvironment(), arguments)) {
        std::fprintf(stderr, "%s\n", qPrintable(swipewatch::noDisplayMessage()));
        return 2;
    }

    reporting::ModalMessageBoxes boxes;
    auto opening = std::make_unique<swipewatch::DisplayOpening>(arguments);
    swipewatch::Application app(argc, argv, boxes);
    opening.reset();
    swipewatch::setUpApplication();

    return swipewatch::runWindow(app, boxes, {}, {}, line.deviceName);
}

} // namespace

int main(int argc, char *argv[])
{
    swipewatch::guardStandardStreams();
    swipewatch::StandardStreams streams(QStringLiteral("swipewatch"));
    // After the application is gone: it may still write on the way out.
    const int status = run(argc, argv);
    return streams.finish(status);
}
