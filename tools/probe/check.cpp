// SPDX-License-Identifier: MIT
#include "tools/probe/check.h"

#include "app/termination.h"
#include "backends/backends.h"
#include "backends/common/udevdevice.h"
#include "backends/text/swipetext.h"
#include "health/healthreport.h"
#include "reader/msrcontrol.h"
#include "reader/msrproxy.h"
#include "reader/opos.h"
#include "reader/runtimepaths.h"
#include "reporting/resultcode.h"
#include "tools/probe/identity.h"
#include "tools/probe/msrprobe.h"
#include "tools/probe/watch.h"

#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTextStream>
#include <QTimer>

#include <unistd.h>

namespace probe {

namespace {

constexpr int kMaxSwipes = 10000;
constexpr qint64 kMaxExpectBytes = 64 * 1024; // one card is under 300

// The card in an --expect file: its one line as a keyboard-type reader
// types it. nullopt with *error when it is not that.
std::optional<health::Card> readExpected(const QString &name, QString *error)
{
    const QString shown = msr::printable(name);
    // Only a regular file (a link to one is fine): a FIFO would block, and
    // /dev/zero never ends.
    if (!QFileInfo(name).isFile()) {
        *error = QFileInfo::exists(name)
                     ? QStringLiteral("--expect %1 is not a regular file").arg(shown)
                     : QStringLiteral("--expect %1 does not exist").arg(shown);
        return std::nullopt;
    }
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read --expect %1: %2").arg(shown, file.errorString());
        return std::nullopt;
    }
    const QByteArray bytes = file.read(kMaxExpectBytes + 1);
    if (bytes.size() > kMaxExpectBytes) {
        *error = QStringLiteral("--expect %1 is too long for one card").arg(shown);
        return std::nullopt;
    }
    QByteArray line;
    for (const QByteArray &each : bytes.split('\n')) {
        const QByteArray trimmed = each.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith('#'))
            continue;
        if (!line.isEmpty()) {
            *error =
                QStringLiteral("--expect %1 holds more than one card: give one line").arg(shown);
            return std::nullopt;
        }
        line = trimmed;
    }
    const msr::ParsedText parsed = msr::parseSwipeText(line);
    health::Card card;
    for (int t = 0; t < 3; ++t) {
        const msr::TrackRead &track = parsed.read.tracks[t];
        if (track.error) {
            *error = QStringLiteral("--expect %1: track %2 does not read (%3)")
                         .arg(shown)
                         .arg(t + 1)
                         .arg(reporting::trackErrorText(track.error));
            return std::nullopt;
        }
        if (!track.text.isEmpty())
            card[t] = track.text;
    }
    if (!card[0] && !card[1] && !card[2]) {
        *error = QStringLiteral("--expect %1 holds no track: write the card as a keyboard-type "
                                "reader types it, e.g. %%B...^...?;...=...?")
                     .arg(shown);
        return std::nullopt;
    }
    return card;
}

// Refuses a report path before the first swipe, not after the tenth.
QString checkWritable(const char *option, const QString &name)
{
    if (name == QLatin1String("-"))
        return {};
    const QFileInfo info(name);
    const QFileInfo folder(info.absolutePath());
    if (name.isEmpty() || info.isDir())
        return QStringLiteral("--%1 takes a file name, not '%2'")
            .arg(QLatin1String(option), msr::printable(name));
    if (!folder.isDir() || !folder.isWritable())
        return QStringLiteral("--%1 %2: cannot write in %3")
            .arg(QLatin1String(option), msr::printable(name), msr::printable(folder.filePath()));
    if (info.exists() && !info.isFile())
        return QStringLiteral("--%1 %2 is not a regular file")
            .arg(QLatin1String(option), msr::printable(name));
    return {};
}

bool writeFile(const QString &name, const QByteArray &bytes, QTextStream &out, QTextStream &err)
{
    if (name == QLatin1String("-")) {
        out << bytes;
        out.flush();
        return true;
    }
    QSaveFile file(name);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    err << "msrprobe: cannot write " << msr::printable(name) << ": " << file.errorString() << '\n';
    return false;
}

// One line on the terminal for a swipe, as the engineer needs it between
// swipes: which tracks failed and how.
QString swipeSummary(const health::Swipe &swipe)
{
    QStringList failed;
    for (int t = 0; t < 3; ++t) {
        if (swipe[t].code)
            failed << QStringLiteral("track %1 %2")
                          .arg(t + 1)
                          .arg(reporting::trackErrorText(swipe[t].code).toLower());
    }
    return failed.isEmpty() ? QStringLiteral("good") : failed.join(QStringLiteral(", "));
}

} // namespace

int runCheck(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Checks a reader: swipe a test card N times; each track's read rate, errors by kind and "
        "reads that differ from the card make a verdict, with the likely cause and what to try.\n\n"
        "Exit status: 0 pass, 1 fail (or the reader could not be opened, or a report not "
        "written), 2 bad usage, 3 no swipe at all before the timeout or Ctrl-C."));
    const auto option = [](const char *name, const char *help, const char *value = nullptr) {
        return QCommandLineOption(QString::fromLatin1(name), QString::fromLatin1(help),
                                  value ? QString::fromLatin1(value) : QString());
    };
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption swipesOption =
        option("swipes", "Swipes to ask for (default 10).", "N");
    const QCommandLineOption timeoutOption = option(
        "timeout", "End the check with what it has when no swipe came for this long (default 60).",
        "SECONDS");
    const QCommandLineOption expectOption =
        option("expect",
               "The test card, one line as a keyboard-type reader types it (as msrswipe -f reads "
               "it); without it the first swipe in which every track reads is the reference.",
               "FILE");
    const QCommandLineOption rateOption =
        option("min-rate", "The share of swipes every track must read to pass (default 0.9).", "R");
    const QCommandLineOption ticketOption =
        option("ticket", "The job number, for the reports.", "TEXT");
    const QCommandLineOption jsonOption =
        option("json", "Write the figures as JSON to FILE ('-': standard output).", "FILE");
    const QCommandLineOption reportOption =
        option("report", "Write a one-page HTML report to FILE.", "FILE");
    parser.addOptions({help, swipesOption, timeoutOption, expectOption, rateOption, ticketOption,
                       jsonOption, reportOption});
    parser.addPositionalArgument(QStringLiteral("NAME"),
                                 QStringLiteral("The logical device to check."));

    const auto usage = [&](const QString &message) {
        err << "msrprobe check: " << message << "\nTry 'msrprobe check --help'.\n";
        err.flush();
        return int(CheckUsage);
    };
    if (!parser.parse(QStringList{QStringLiteral("msrprobe check")} + arguments))
        return usage(parser.errorText());
    if (parser.isSet(help)) {
        out << parser.helpText();
        return CheckPass;
    }
    const QStringList names = parser.positionalArguments();
    if (names.size() != 1)
        return usage(
            names.isEmpty()
                ? QStringLiteral("name the reader to check")
                : QStringLiteral("unexpected argument '%1'").arg(msr::printable(names.value(1))));
    for (const QCommandLineOption *o : {&swipesOption, &timeoutOption, &expectOption, &rateOption,
                                        &ticketOption, &jsonOption, &reportOption}) {
        if (parser.values(*o).size() > 1)
            return usage(QStringLiteral("--%1 is given more than once").arg(o->names().first()));
    }
    const QString name = names.first();
    if (!msr::isValidDeviceName(name))
        return usage(QStringLiteral("'%1' is not a device name").arg(msr::printable(name)));

    health::Input input;
    input.asked = 10;
    double timeout = 60;
    bool ok = true;
    if (parser.isSet(swipesOption)) {
        input.asked = parser.value(swipesOption).toInt(&ok);
        if (!ok || input.asked < 1 || input.asked > kMaxSwipes)
            return usage(
                QStringLiteral("--swipes takes a whole number from 1 to %1").arg(kMaxSwipes));
    }
    if (parser.isSet(timeoutOption)) {
        timeout = parser.value(timeoutOption).toDouble(&ok);
        if (!ok || !(timeout > 0) || timeout > 86400)
            return usage(QStringLiteral("--timeout takes a number of seconds, more than 0 and at "
                                        "most 86400"));
    }
    if (parser.isSet(rateOption)) {
        input.minRate = parser.value(rateOption).toDouble(&ok);
        if (!ok || !(input.minRate > 0) || input.minRate > 1)
            return usage(QStringLiteral("--min-rate takes a share more than 0 and at most 1, "
                                        "e.g. 0.9"));
    }
    input.ticket = parser.value(ticketOption);
    if (parser.isSet(expectOption)) {
        QString error;
        input.expected = readExpected(parser.value(expectOption), &error);
        if (!input.expected)
            return usage(error);
    }
    const QString jsonFile = parser.value(jsonOption);
    const QString htmlFile = parser.value(reportOption);
    if (parser.isSet(reportOption) && htmlFile == QLatin1String("-"))
        return usage(QStringLiteral("--report takes a file name"));
    for (const auto &[set, key, file] :
         {std::tuple{parser.isSet(jsonOption), "json", jsonFile},
          std::tuple{parser.isSet(reportOption), "report", htmlFile}}) {
        if (set) {
            if (const QString problem = checkWritable(key, file); !problem.isEmpty())
                return usage(problem);
        }
    }
    input.reader = identify(name);

    // The registry the window runs with, so a name means the same reader to both.
    msr::MsrControl control(msr::standardRegistry());
    msr::MsrProxy reader(&control);
    if (!openAndClaim(reader, name, err))
        return CheckFail;

    // The table goes where the JSON does not.
    QTextStream &table = jsonFile == QLatin1String("-") ? err : out;
    const auto *errFile = qobject_cast<QFile *>(err.device());
    const bool inPlace = errFile && ::isatty(errFile->handle());
    const auto prompt = [&](const QString &last) {
        QString line = QStringLiteral("swipe the test card: %1 of %2")
                           .arg(input.swipes.size() + 1)
                           .arg(input.asked);
        if (!last.isEmpty())
            line += QStringLiteral(" (last: %1)").arg(last);
        err << (inPlace ? QStringLiteral("\r\x1b[K") + line : line + QLatin1Char('\n'));
        err.flush();
    };

    QEventLoop loop;
    QTimer idle;
    idle.setSingleShot(true);
    idle.setInterval(int(std::max(1.0, timeout * 1000)));
    QObject::connect(&idle, &QTimer::timeout, &loop, [&] {
        input.stopped = QStringLiteral("timeout");
        loop.quit();
    });
    swipewatch::TerminationSignals stop;
    QObject::connect(&stop, &swipewatch::TerminationSignals::terminationRequested, &loop, [&] {
        input.stopped = QStringLiteral("interrupted");
        loop.quit();
    });
    const auto texts = [&] {
        return std::array<QString, 3>{reader.Track1Data(), reader.Track2Data(),
                                      reader.Track3Data()};
    };
    const auto take = [&](const health::Swipe &swipe) {
        input.swipes.append(swipe);
        if (input.swipes.size() >= input.asked) {
            loop.quit();
            return;
        }
        idle.start();
        prompt(swipeSummary(swipe));
    };
    // The swipe as the reader's properties hold it now: the good tracks'
    // text, the failed tracks' codes.
    const auto current = [&](qint32 codeWord) {
        const auto read = texts();
        health::Swipe swipe;
        for (int t = 0; t < 3; ++t) {
            const int code = int((quint32(codeWord) >> (8 * t)) & 0xFF);
            swipe[t] = {code, code ? QString() : read[t]};
        }
        return swipe;
    };
    // Under per-track reporting a swipe is a data event (every track good),
    // an error event (nothing good), or an error event with locus INPUT_DATA
    // naming the failed tracks, the data event with the good ones, and the
    // same error again. That last one is where such a swipe is taken, so the
    // reader is let go only after all of the last swipe's events.
    std::optional<qint32> partialCodes;
    health::Swipe partial;
    QObject::connect(&reader, &msr::MsrProxy::DataEvent, &loop, [&](qint32) {
        reader.setDataEventEnabled(true);
        if (partialCodes)
            partial = current(*partialCodes);
        else
            take(current(0));
    });
    QObject::connect(&reader, &msr::MsrProxy::ErrorEvent, &loop,
                     [&](qint32, qint32 extended, qint32 locus, qint32 *response) {
                         if (locus == opos::OPOS_EL_INPUT_DATA) {
                             partialCodes = extended;
                             return;
                         }
                         // Every swipe counts: an error must not clear the ones behind it.
                         *response = opos::OPOS_ER_RETRY;
                         take(std::exchange(partialCodes, std::nullopt) ? partial
                                                                        : current(extended));
                     });
    reader.setErrorReportingType(opos::MSR_ERT_TRACK);
    reader.setDeviceEnabled(true);
    reader.setDataEventEnabled(true);
    input.started = QDateTime::currentDateTime();
    QElapsedTimer clock;
    clock.start();
    prompt({});
    idle.start();
    loop.exec();
    input.seconds = double(clock.elapsed()) / 1000;
    if (inPlace)
        err << '\n';
    err.flush();

    reader.setDeviceEnabled(false);
    reader.ReleaseDevice();
    reader.Close();

    if (input.swipes.isEmpty()) {
        err << "msrprobe: no swipe came from " << name
            << (input.stopped == QLatin1String("timeout")
                    ? QStringLiteral(" within %1 s").arg(timeout)
                    : QString())
            << ": no verdict\n";
        return CheckNoSwipe;
    }
    const health::Result result = health::evaluate(input, maskTrack);
    table << health::terminalReport(input, result);
    table.flush();
    bool written = true;
    if (parser.isSet(jsonOption))
        written = writeFile(jsonFile, health::jsonReport(input, result), out, err) && written;
    if (parser.isSet(reportOption))
        written = writeFile(htmlFile, health::htmlReport(input, result), out, err) && written;
    return result.pass && written ? CheckPass : CheckFail;
}

} // namespace probe
