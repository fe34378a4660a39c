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
        "Exit status: 0 done (also when no reader is found; with --watch: every swipe read "
        "without an error), 1 a swipe failed to read, the reader could not be opened or claimed, "
        "the device is unknown to udev, or the output or recording could not be written; 2 bad "
        "options; 3 --timeout passed without any swipe."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version."));
    const QCommandLineOption watch(
        QStringLiteral("watch"),
        QStringLiteral("Open, claim and enable the logical device NAME as the window does, say "
                       "what was opened (on standard error; with --json as the first line) and "
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
    const QCommandLineOption fields(
        QStringLiteral("fields"),
        QStringLiteral("With --watch: under each data line, what the card says: number and its "
                       "Luhn check, expiry, service code, whether tracks 1 and 2 agree. (JSON "
                       "lines always carry it as \"fields\".)"));
    const QCommandLineOption raw(
        QStringLiteral("raw"),
        QStringLiteral("With --watch and --show-data: before each event, what the reader "
                       "delivered for it: the characters a text reader sent, control characters "
                       "named (<CR>, <ETX>, <0x9F>), the key count of a keyboard-type one, the "
                       "reports of a HID one in hex with the fields its descriptor gave."));
    const QCommandLineOption count(QStringLiteral("count"),
                                   QStringLiteral("With --watch: end after N swipes."),
                                   QStringLiteral("N"));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"),
        QStringLiteral("With --watch: end when no swipe came for this long (exit status 3 if "
                       "none came at all)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption record(
        QStringLiteral("record"),
        QStringLiteral("With --watch: write what the reader delivered to FILE, to play back "
                       "with the device-list kind replay. FILE holds whole card numbers and is "
                       "made readable by its owner only."),
        QStringLiteral("FILE"));
    parser.addOptions(
        {help, version, watch, json, showData, fields, raw, count, timeout, record, udev});

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
    for (const QCommandLineOption *option :
         {&json, &showData, &fields, &raw, &count, &timeout, &record}) {
        if (parser.isSet(*option) && !parser.isSet(watch))
            return usage(
                QStringLiteral("--%1 goes with --watch").arg(option->names().constFirst()));
        if (parser.values(*option).size() > 1)
            return usage(QStringLiteral("--%1 is given once").arg(option->names().constFirst()));
    }
    if (parser.isSet(raw) && !parser.isSet(showData))
        return usage(QStringLiteral("--raw shows what the reader sent as it sent it, card numbers "
                                    "and names whole, so it needs --show-data to say that is "
                                    "meant"));

    if (parser.isSet(watch)) {
        WatchOptions options;
        options.json = parser.isSet(json);
        options.showData = parser.isSet(showData);
        options.fields = parser.isSet(fields);
        options.raw = parser.isSet(raw);
        options.record = parser.value(record);
        bool ok = true;
        if (parser.isSet(count)) {
            options.count = parser.value(count).toInt(&ok);
            if (!ok || options.count < 1)
                return usage(QStringLiteral("--count takes a whole number of swipes, 1 or more"));
        }
        if (parser.isSet(timeout)) {
            const double seconds = parser.value(timeout).toDouble(&ok);
            if (!ok || !(seconds > 0) || seconds > 86400)
                return usage(QStringLiteral("--timeout takes a number of seconds, more than 0 "
                                            "and at most 86400"));
            options.timeoutMs = std::max(1, int(seconds * 1000));
        }
        if (parser.isSet(record) && options.record.isEmpty())
            return usage(QStringLiteral("--record takes a file name"));
        return watchReader(parser.value(watch), options, out, err);
    }
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
