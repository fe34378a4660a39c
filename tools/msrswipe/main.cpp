// msrswipe: swipes cards into the virtual reader of a running swipewatch.
// Everything but the process set-up lives in the feeder library.
#include "tools/feeder/swipefeeder.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    return feeder::runMsrSwipe(app.arguments().mid(1), out, err);
}
