// SPDX-License-Identifier: MIT
#include "app/commandline.h"

#include "app/frmmsr.h"
#include "reader/runtimepaths.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace swipewatch {

namespace {

// The options the application object takes for itself. The parser only
// accepts them here; --help-all lists them.
struct QtOption {
    const char *name;
    const char *value; // nullptr for a switch
    const char *description;
};
constexpr QtOption kQtOptions[] = {
    {"platform", "platformName[:options]", "The window system plugin, e.g. xcb or offscreen."},
    {"platformpluginpath", "path", "Where to look for window system plugins."},
    {"platformtheme", "theme", "The platform theme."},
    {"plugin", "plugin", "An additional plugin to load; may be given more than once."},
    {"qwindowgeometry", "geometry", "The window's geometry, as in 100x100+50+50."},
    {"qwindowicon", "icon", "The default window icon."},
    {"qwindowtitle", "title", "The title of the first window."},
    {"reverse", nullptr, "Lays out the window right to left."},
    {"session", "session", "Restores the program from an earlier session."},
    {"display", "display", "The X display to open, instead of $DISPLAY."},
    {"name", "name", "The X instance name."},
    {"visual", "id", "The X visual to use."},
    {"geometry", "geometry", "Same as --qwindowgeometry."},
    {"icon", "icon", "Same as --qwindowicon."},
    {"title", "title", "Same as --qwindowtitle."},
    {"nograb", nullptr, "Never grabs the mouse (for debuggers)."},
    {"dograb", nullptr, "Grabs the mouse even under a debugger."},
    {"style", "style", "The widget style."},
    {"stylesheet", "file", "A style sheet for the widgets."},
    {"widgetcount", nullptr, "Prints the number of widgets left at the end."},
    {"qmljsdebugger", "options", "Options for a QML debugger."},
    {"testability", nullptr, "Loads the testability plugin."},
};

void describe(QCommandLineParser &parser, bool withQtOptions)
{
    parser.setApplicationDescription(
        QStringLiteral("Watches a magnetic stripe card reader at work."));
    // Qt's own options come with one dash: -platform offscreen.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({QStringLiteral("device"),
                      QStringLiteral("Opens the logical device NAME from the device list instead "
                                     "of %1.")
                          .arg(QLatin1String(frmMSR::kDeviceName)),
                      QStringLiteral("NAME")});
    for (const QtOption &qt : kQtOptions) {
        QCommandLineOption option(QString::fromLatin1(qt.name), QString::fromLatin1(qt.description),
                                  QString::fromLatin1(qt.value ? qt.value : ""));
        if (!withQtOptions)
            option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

// The parser takes the program's name from the application object, which is
// not made until the command line has been read; Qt's help shows argv[0].
QString helpText(const QCommandLineParser &parser, const QString &program)
{
    return parser.helpText().replace(QLatin1String("<executable_name>"), program);
}

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine line;
    line.deviceName = QString::fromLatin1(frmMSR::kDeviceName);
    const auto fail = [&line](const QString &why) {
        line.exitStatus = kBadCommandLine;
        line.error = QStringLiteral("swipewatch: %1\nTry 'swipewatch --help'.\n").arg(why);
        return line;
    };
    QCommandLineParser parser;
    describe(parser, false);
    if (!parser.parse(arguments))
        return fail(msr::printable(parser.errorText()));
    if (parser.isSet(QStringLiteral("help-all"))) {
        QCommandLineParser all;
        describe(all, true);
        line.output = helpText(all, arguments.value(0));
    } else if (parser.isSet(QStringLiteral("help"))) {
        line.output = helpText(parser, arguments.value(0));
    } else if (parser.isSet(QStringLiteral("version"))) {
        line.output = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                    QCoreApplication::applicationVersion());
    }
    if (!line.output.isEmpty()) {
        line.exitStatus = 0;
        return line;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument '%1'")
                        .arg(msr::printable(parser.positionalArguments().constFirst())));
    const QStringList devices = parser.values(QStringLiteral("device"));
    if (devices.size() > 1)
        return fail(QStringLiteral("--device is given more than once"));
    if (!devices.isEmpty()) {
        if (!msr::isValidDeviceName(devices[0]))
            return fail(QStringLiteral("'%1' is not a device name: use letters, digits, '_', '-' "
                                       "and '.'")
                            .arg(msr::printable(devices[0])));
        line.deviceName = devices[0];
    }
    return line;
}

CommandLine readCommandLine(int argc, char **argv)
{
    // No application object yet: the GUI one would open the display, and the
    // parser needs none.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return parseCommandLine(arguments);
}

} // namespace swipewatch
