// SPDX-License-Identifier: MIT
// msrswipe: swipes cards into the virtual reader of a running swipewatch.
// Everything but the process set-up lives in the feeder library.
#include "tools/feeder/swipefeeder.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QFile in;
    // Opening reads nothing: standard input is read only for "--file -".
    in.open(stdin, QIODevice::ReadOnly);
    QTextStream out(stdout);
    QTextStream err(stderr);
    return feeder::runMsrSwipe(app.arguments().mid(1), in, out, err);
}
