// SPDX-License-Identifier: MIT
// msrprobe: finds card readers and watches one without a window, e.g. over
// SSH on a till with no screen. Everything but the process set-up lives in
// the probe library.
#include "app/standardstreams.h"
#include "tools/probe/msrprobe.h"

#include <QCoreApplication>

int main(int argc, char **argv)
{
    // The readers' own lines (unplugged, back again) belong on the terminal or
    // in the file msrprobe is piped to, not in the journal.
    qputenv("QT_FORCE_STDERR_LOGGING", "1");
    swipewatch::guardStandardStreams();
    swipewatch::StandardStreams streams(QStringLiteral("msrprobe"));
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("msrprobe"));
        QCoreApplication::setApplicationVersion(QStringLiteral(SWIPEWATCH_VERSION));
        status = probe::runMsrProbe(app.arguments().mid(1), streams.out(), streams.err());
    }
    return streams.finish(status);
}
