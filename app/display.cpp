// SPDX-License-Identifier: MIT
#include "app/display.h"

#include "reader/runtimepaths.h"

#include <QList>
#include <QRegularExpression>

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

QString windowSystemFailureMessage(const QStringList &qtSaid,
                                   const QProcessEnvironment &environment,
                                   const QStringList &arguments)
{
    // Qt's option as given (-display or --display) when its value is value;
    // a platform's options, after ':', aside.
    const auto givenAs = [&](const char *option, const QString &value) {
        for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
            const QString name =
                arguments[i].startsWith(QLatin1String("--")) ? arguments[i].mid(1) : arguments[i];
            if (name == QLatin1Char('-') + QLatin1String(option) &&
                (arguments[i + 1] == value ||
                 (name == QLatin1String("-platform") &&
                  arguments[i + 1].section(QLatin1Char(':'), 0, 0) == value)))
                return arguments[i];
        }
        return QString();
    };
    static const QRegularExpression notFound(
        QStringLiteral("Could not find the Qt platform plugin \"([^\"]*)\""));
    static const QRegularExpression notStarted(
        QStringLiteral("Could not load the Qt platform plugin \"([^\"]*)\""));
    static const QRegularExpression noServer(QStringLiteral("could not connect to display ?(.*)"));
    static const QRegularExpression available(
        QStringLiteral("Available platform plugins are: ([^\n]*[^.\n])"));
    QString plugins;
    for (const QString &said : qtSaid) {
        if (const auto m = available.match(said); m.hasMatch())
            plugins = m.captured(1);
    }
    QStringList reasons;
    QString unstarted;
    bool noX = false;
    for (const QString &said : qtSaid) {
        if (const auto m = notFound.match(said); m.hasMatch()) {
            const QString plugin = m.captured(1);
            QString from = givenAs("platform", plugin);
            if (from.isEmpty() &&
                environment.value(QStringLiteral("QT_QPA_PLATFORM")).contains(plugin))
                from = QStringLiteral("QT_QPA_PLATFORM");
            // The list helps a user who chose the plugin; else Qt chose it itself.
            reasons << (from.isEmpty()
                            ? QStringLiteral("Qt has no window system plugin \"%1\"").arg(plugin)
                            : QStringLiteral("no window system plugin \"%1\" (%2); Qt has: %3")
                                  .arg(plugin, from, plugins));
        } else if (const auto x = noServer.match(said); x.hasMatch()) {
            noX = true;
            const QString display = x.captured(1).trimmed();
            QString from = givenAs("display", display);
            if (from.isEmpty() && environment.value(QStringLiteral("DISPLAY")) == display)
                from = QStringLiteral("DISPLAY");
            reasons << (display.isEmpty()
                            ? QStringLiteral("no X display is set")
                            : QStringLiteral("cannot open the X display \"%1\"%2: "
                                             "no X server answers there, or it "
                                             "refuses this user")
                                  .arg(display, from.isEmpty() ? QString() : " (" + from + ')'));
        } else if (const auto n = notStarted.match(said); n.hasMatch()) {
            unstarted = n.captured(1);
        } else if (!said.startsWith(QLatin1String("This application failed to start"))) {
            reasons << said; // Qt's own words for a failure not known here
        }
    }
    if (reasons.isEmpty())
        reasons << (unstarted.isEmpty()
                        ? QStringLiteral("no window system plugin could be started")
                        : QStringLiteral("the window system plugin \"%1\" did not start")
                              .arg(unstarted));
    QString text = QStringLiteral("swipewatch: ") + reasons.join(QStringLiteral("; "));
    if (noX)
        text +=
            QStringLiteral("; check the display, or run the program under a virtual X server with "
                           "\"xvfb-run -a swipewatch\"");
    return msr::printable(text) + QLatin1Char('.');
}

namespace {

struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
QtMessageHandler g_previous = nullptr;
QList<HeldMessage> *g_held = nullptr;
QStringList *g_arguments = nullptr;

void holdOrExit(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type == QtFatalMsg) {
        // _exit: the half-built application must not run its destructors.
        QStringList said;
        for (const HeldMessage &held : std::as_const(*g_held)) {
            if (held.category.startsWith("qt.qpa"))
                said << held.text;
        }
        const QString sentence = windowSystemFailureMessage(
            said << text, QProcessEnvironment::systemEnvironment(), *g_arguments);
        std::fprintf(stderr, "%s\n", qPrintable(sentence));
        std::fflush(stderr);
        ::_exit(2);
    }
    g_held->append({type, QByteArray(context.category ? context.category : "default"), text});
}

} // namespace

DisplayOpening::DisplayOpening(const QStringList &arguments)
{
    g_arguments = new QStringList(arguments);
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
    delete g_arguments;
    g_arguments = nullptr;
}

} // namespace swipewatch
