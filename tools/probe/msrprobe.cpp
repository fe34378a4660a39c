// SPDX-License-Identifier: MIT
#include "tools/probe/msrprobe.h"

#include "tools/probe/candidates.h"
#include "tools/probe/check.h"
#include "tools/probe/watch.h"

#include "reader/runtimepaths.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

namespace probe {

int runMsrProbe(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    if (arguments.value(0) == QLatin1String("check"))
        return runCheck(arguments.mid(1), out, err);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Finds card readers and watches one without a window.\n\n"
        "Without options, lists the keyboard-type, serial and HID readers this machine may "
        "have, each with the device-list line that names it.\n\n"
        "msrprobe check NAME swipes a test card through a reader and judges it: see "
        "'msrprobe check --help'.\n\n"
        "Exit status: 0 done (also when no reader is found), 1 the reader could not be "
        "opened or claimed, the device is unknown to udev, or the output could not be written; 2 "
        "bad options."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version."));
    const QCommandLineOption watch(
        QStringLiteral("watch"),
        QStringLiteral("Open, claim and enable the logical device NAME as the window does and "
                       "print a line per swipe until Ctrl-C or SIGTERM, then the counts of "
                       "inputs and errors. Card numbers (any run of 12 to 19 digits) keep their "
                       "first six and last four digits, the cardholder's name only its length."),
        QStringLiteral("NAME"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("With --watch: print JSON lines."));
    const QCommandLineOption showData(
        QStringLiteral("show-data"),
        QStringLiteral("With --watch: show card numbers and names whole."));
    const QCommandLineOption udev(
        QStringLiteral("udev-rule"),
        QStringLiteral("Print a udev rule that gives the logged-in user the reader at PATH. "
                       "Save it as /etc/udev/rules.d/70-swipewatch.rules, then run 'udevadm "
                       "control --reload' and 'udevadm trigger', or replug the reader."),
        QStringLiteral("PATH"));
    parser.addOptions({help, version, watch, json, showData, udev});

    const auto usage = [&](const QString &message) {
        err << "msrprobe: " << msr::printable(message) << "\nTry 'msrprobe --help'.\n";
        err.flush();
        return 2;
    };
    if (!parser.parse(QStringList{QStringLiteral("msrprobe")} + arguments))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        out << parser.helpText();
        return 0;
    }
    if (parser.isSet(version)) {
        out << "msrprobe " << QCoreApplication::applicationVersion() << '\n';
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usage(QStringLiteral("unexpected argument '%1'")
                         .arg(parser.positionalArguments().constFirst()));
    if (parser.values(watch).size() > 1 || parser.values(udev).size() > 1)
        return usage(QStringLiteral("--watch and --udev-rule take one device each"));
    if (parser.isSet(watch) && parser.isSet(udev))
        return usage(QStringLiteral("--watch and --udev-rule do not go together"));
    if ((parser.isSet(json) || parser.isSet(showData)) && !parser.isSet(watch))
        return usage(QStringLiteral("--json and --show-data go with --watch"));

    if (parser.isSet(watch))
        return watchReader(parser.value(watch), {parser.isSet(json), parser.isSet(showData)}, out,
                           err);
    if (parser.isSet(udev)) {
        QString error;
        const auto rule = udevRule(parser.value(udev), &error);
        if (!rule) {
            err << "msrprobe: " << msr::printable(error) << '\n';
            return 1;
        }
        out << *rule;
        return 0;
    }
    listCandidates(out);
    return 0;
}

} // namespace probe
