// SPDX-License-Identifier: MIT
// msrswipe: swipes cards into the virtual reader of a running swipewatch.
// Everything but the process set-up lives in the feeder library.
#include "app/standardstreams.h"
#include "tools/feeder/swipefeeder.h"

#include <QCoreApplication>
#include <unistd.h>

int main(int argc, char **argv)
{
    swipewatch::guardStandardStreams();
    swipewatch::StandardStreams streams(QStringLiteral("msrswipe"));
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        // Standard input is read only for "--file -".
        status =
            feeder::runMsrSwipe(app.arguments().mid(1), STDIN_FILENO, streams.out(), streams.err());
    }
    return streams.finish(status);
}
