// SPDX-License-Identifier: MIT
#include "tools/probe/watch.h"

#include "app/termination.h"
#include "backends/backends.h"
#include "reader/msrcontrol.h"
#include "reader/msrproxy.h"
#include "reader/opos.h"
#include "reader/runtimepaths.h"
#include "reporting/resultcode.h"

#include <QDateTime>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <array>

namespace probe {

namespace {

int trackByte(qint32 word, int track)
{
    return int((quint32(word) >> (8 * track)) & 0xFF);
}

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isSeparator(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('-');
}

// Masks the digits of text[from, to) but the first six and the last four.
void maskRun(QString &text, qsizetype from, qsizetype to, int digits)
{
    int seen = 0;
    for (qsizetype i = from; i < to; ++i) {
        if (isDigit(text[i]) && ++seen > 6 && seen <= digits - 4)
            text[i] = QLatin1Char('*');
    }
}

struct Shown {
    int code = 0;
    int length = 0;
    QString data;
};

class Printer {
public:
    Printer(const WatchOptions &options, QTextStream &out) : m_options(options), m_out(out) {}

    void event(const char *kind, const std::array<Shown, 3> &tracks)
    {
        if (m_options.json) {
            QJsonArray list;
            for (int t = 0; t < 3; ++t) {
                QJsonObject track{{"track", t + 1}};
                if (tracks[t].code) {
                    track.insert("error", tracks[t].code);
                    track.insert("text", reporting::trackErrorText(tracks[t].code));
                } else {
                    track.insert("length", tracks[t].length);
                    track.insert("data", shown(t, tracks[t].data));
                }
                list.append(track);
            }
            const QJsonObject line{
                {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                {"event", QLatin1String(kind)},
                {"tracks", list}};
            m_out << QJsonDocument(line).toJson(QJsonDocument::Compact) << '\n';
        } else {
            m_out << QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz")) << ' '
                  << QString::fromLatin1(kind).leftJustified(5);
            for (int t = 0; t < 3; ++t) {
                m_out << "  track" << t + 1 << ' ';
                if (tracks[t].code)
                    m_out << reporting::trackErrorText(tracks[t].code);
                else if (tracks[t].length == 0)
                    m_out << '0';
                else
                    m_out << tracks[t].length << " \"" << msr::printable(shown(t, tracks[t].data))
                          << '"';
            }
            m_out << '\n';
        }
        m_out.flush();
    }

    void counts(int inputs, int errors)
    {
        if (m_options.json)
            m_out << QJsonDocument(QJsonObject{{"inputs", inputs}, {"errors", errors}})
                         .toJson(QJsonDocument::Compact)
                  << '\n';
        else
            m_out << "inputs " << inputs << ", errors " << errors << '\n';
        m_out.flush();
    }

private:
    QString shown(int track, const QString &data) const
    {
        return m_options.showData ? data : maskTrack(track + 1, data);
    }

    const WatchOptions &m_options;
    QTextStream &m_out;
};

} // namespace

QString maskTrack(int track, const QString &text)
{
    QString shown = text;
    if (track == 1) {
        const qsizetype caret = shown.indexOf(QLatin1Char('^'));
        if (caret >= 0) {
            qsizetype end = shown.indexOf(QLatin1Char('^'), caret + 1);
            if (end < 0)
                end = shown.size();
            const qsizetype length = end - caret - 1;
            if (length > 0)
                shown.replace(caret + 1, length,
                              QStringLiteral("<name, %1 character%2>")
                                  .arg(length)
                                  .arg(length == 1 ? "" : "s"));
        }
    }
    for (qsizetype i = 0; i < shown.size();) {
        if (!isDigit(shown[i])) {
            ++i;
            continue;
        }
        const qsizetype start = i;
        qsizetype end = i;
        int digits = 0;
        bool grouped = false;
        while (i < shown.size()) {
            if (isDigit(shown[i])) {
                ++digits;
                end = ++i;
                continue;
            }
            qsizetype next = i;
            while (next < shown.size() && isSeparator(shown[next]))
                ++next;
            if (next == i || next == shown.size() || !isDigit(shown[next]))
                break;
            grouped = true;
            i = next;
        }
        if ((digits >= 12 && digits <= 19) || (digits > 19 && grouped))
            maskRun(shown, start, end, digits);
        i = end;
    }
    return shown;
}

int watchReader(const QString &logicalName, const WatchOptions &options, QTextStream &out,
                QTextStream &err)
{
    // The registry the window runs with, so a name means the same reader to both.
    msr::MsrControl control(msr::standardRegistry());
    msr::MsrProxy reader(&control);
    const auto fail = [&](const char *what, std::int32_t rc) {
        err << "msrprobe: cannot " << what << ' ' << msr::printable(logicalName) << ": "
            << reporting::resultCodeText(rc).trimmed() << '\n';
        err.flush();
        return 1;
    };
    std::int32_t rc = reader.Open(logicalName);
    if (rc != opos::OPOS_SUCCESS)
        return fail("open", rc);
    rc = reader.ClaimDevice(1000);
    if (rc != opos::OPOS_SUCCESS) {
        reader.Close();
        return fail("claim", rc);
    }

    QEventLoop loop;
    swipewatch::TerminationSignals stop;
    QObject::connect(&stop, &swipewatch::TerminationSignals::terminationRequested, &loop,
                     &QEventLoop::quit);
    Printer printer(options, out);
    int inputs = 0;
    int errors = 0;
    // Lines nobody can read (a closed pipe, a full disk) end the watch;
    // main says why.
    const auto stopIfUnwritten = [&] {
        if (out.status() != QTextStream::Ok)
            loop.quit();
    };
    bool afterInputData = false;       // the error that follows partial data was told already
    std::array<int, 3> partialCodes{}; // failed tracks of the partial data to come
    const auto trackTexts = [&] {
        return std::array<QString, 3>{reader.Track1Data(), reader.Track2Data(),
                                      reader.Track3Data()};
    };
    QObject::connect(&reader, &msr::MsrProxy::DataEvent, [&](qint32 status) {
        ++inputs;
        const auto texts = trackTexts();
        std::array<Shown, 3> tracks;
        for (int t = 0; t < 3; ++t)
            tracks[t] = {partialCodes[t], trackByte(status, t), texts[t]};
        partialCodes = {};
        printer.event("data", tracks);
        stopIfUnwritten();
        reader.setDataEventEnabled(true);
    });
    QObject::connect(
        &reader, &msr::MsrProxy::ErrorEvent, [&](qint32, qint32 extended, qint32 locus, qint32 *) {
            const bool partial = locus == opos::OPOS_EL_INPUT_DATA;
            if (!afterInputData) {
                ++errors;
                const auto texts = trackTexts();
                std::array<Shown, 3> tracks;
                for (int t = 0; t < 3; ++t)
                    tracks[t] = {trackByte(extended, t), int(texts[t].size()), texts[t]};
                if (partial)
                    for (int t = 0; t < 3; ++t)
                        partialCodes[t] = tracks[t].code;
                else
                    printer.event("error", tracks);
                stopIfUnwritten();
            }
            afterInputData = partial;
        });
    reader.setErrorReportingType(opos::MSR_ERT_TRACK);
    reader.setDeviceEnabled(true);
    reader.setDataEventEnabled(true);
    err << "msrprobe: watching " << msr::printable(logicalName)
        << "; swipe a card, Ctrl-C to stop\n";
    err.flush();
    loop.exec();

    reader.setDeviceEnabled(false);
    reader.ReleaseDevice();
    reader.Close();
    printer.counts(inputs, errors);
    return 0;
}

} // namespace probe
