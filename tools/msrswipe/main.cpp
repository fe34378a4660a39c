// SPDX-License-Identifier: MIT
// msrswipe: swipes cards into the virtual reader of a running swipewatch.
// Everything but the process set-up lives in the feeder library.
#include "tools/feeder/swipefeeder.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    // Standard input is read only for "--file -".
    return feeder::runMsrSwipe(app.arguments().mid(1), STDIN_FILENO, out, err);
}
