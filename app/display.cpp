#include "app/display.h"

namespace swipewatch {

bool displayConfigured(const QProcessEnvironment &environment, const QStringList &arguments)
{
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        if (!environment.value(QString::fromLatin1(name)).isEmpty())
            return true;
    }
    // Qt's own options, which it takes with one dash or two.
    for (QString argument : arguments.mid(1)) {
        if (argument.startsWith(QLatin1String("--")))
            argument.remove(0, 1);
        if (argument == QLatin1String("-platform") || argument == QLatin1String("-display"))
            return true;
    }
    return false;
}

QString noDisplayMessage()
{
    return QStringLiteral(
        "swipewatch needs a graphical display, and neither DISPLAY nor WAYLAND_DISPLAY is "
        "set: run it from a desktop session, or under a virtual X server with "
        "\"xvfb-run -a swipewatch\".");
}

} // namespace swipewatch
