// SPDX-License-Identifier: MIT
// msrprobe: finds card readers and watches one without a window, e.g. over
// SSH on a till with no screen. Everything but the process set-up lives in
// the probe library.
#include "tools/probe/msrprobe.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char **argv)
{
    // The readers' own lines (unplugged, back again) belong on the terminal or
    // in the file msrprobe is piped to, not in the journal.
    qputenv("QT_FORCE_STDERR_LOGGING", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("msrprobe"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SWIPEWATCH_VERSION));
    QTextStream out(stdout);
    QTextStream err(stderr);
    return probe::runMsrProbe(app.arguments().mid(1), out, err);
}
