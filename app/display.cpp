// SPDX-License-Identifier: MIT
#include "app/display.h"

#include <QList>

#include <cstdio>
#include <unistd.h>

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

QString unreachableDisplayMessage(const QProcessEnvironment &environment)
{
    QString which;
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const QString value = environment.value(QString::fromLatin1(name));
        if (!value.isEmpty()) {
            which = QStringLiteral("\"%1\" (%2)").arg(value, QString::fromLatin1(name));
            break;
        }
    }
    return QStringLiteral("swipewatch cannot open the display %1: no display server answers "
                          "there, or it refuses this user; check the variable, or run it under "
                          "a virtual X server with \"xvfb-run -a swipewatch\".")
        .arg(which.isEmpty() ? QStringLiteral("given on the command line") : which);
}

namespace {

struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
QtMessageHandler g_previous = nullptr;
QList<HeldMessage> *g_held = nullptr;

void holdOrExit(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtFatalMsg) {
        // _exit: the half-built application must not run its destructors.
        const QString sentence =
            unreachableDisplayMessage(QProcessEnvironment::systemEnvironment());
        std::fprintf(stderr, "%s\n", qPrintable(sentence));
        std::fflush(stderr);
        ::_exit(2);
    }
    g_held->append({type, QByteArray(context.category ? context.category : "default"), text});
}

} // namespace

DisplayOpening::DisplayOpening()
{
    g_held = new QList<HeldMessage>;
    g_previous = qInstallMessageHandler(holdOrExit);
}

DisplayOpening::~DisplayOpening()
{
    qInstallMessageHandler(g_previous);
    for (const HeldMessage &held : std::as_const(*g_held)) {
        const QMessageLogContext context(nullptr, 0, nullptr, held.category.constData());
        qt_message_output(held.type, context, held.text);
    }
    delete g_held;
    g_held = nullptr;
}

} // namespace swipewatch
