// SPDX-License-Identifier: MIT
#include "tools/probe/watch.h"

#include "app/termination.h"
#include "backends/backends.h"
#include "backends/replay/recorder.h"
#include "cardfields/cardfields.h"
#include "reader/msrcontrol.h"
#include "reader/msrproxy.h"
#include "reader/opos.h"
#include "reader/rawread.h"
#include "reader/runtimepaths.h"
#include "reporting/resultcode.h"
#include "tools/probe/identity.h"

#include <QDateTime>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QTimer>

#include <array>
#include <optional>

namespace probe {

namespace {

int trackByte(qint32 word, int track)
{
    return int((quint32(word) >> (8 * track)) & 0xFF);
}

struct Shown {
    int code = 0;
    int length = 0;
    QString data;
};

// What was opened, as the header says it: the list's view of the reader and
// the node the service actually opened (hid match= finds it at claim).
struct Opened {
    health::Reader reader;
    msr::RawSource source;

    // A replay's source is the reader it recorded, not what was opened.
    bool live() const { return source.kind == reader.kind; }
    QString path() const { return reader.path.isEmpty() && live() ? source.device : reader.path; }
    // In effect, defaults included: the service's, then the list's own.
    QList<std::pair<QString, QString>> settings() const
    {
        QList<std::pair<QString, QString>> list;
        if (live())
            list = source.settings;
        for (auto it = reader.settings.begin(); it != reader.settings.end(); ++it) {
            if (std::none_of(list.begin(), list.end(),
                             [&](const auto &s) { return s.first == it.key(); }))
                list.append({it.key(), it.value()});
        }
        return list;
    }
};

QString seconds(qint64 ns)
{
    return QString::number(double(ns) / 1e9, 'f', 3);
}

// A HID report in hex, 16 bytes a line, each line led by its offset.
QStringList hexLines(const QByteArray &bytes)
{
    QStringList lines;
    for (qsizetype at = 0; at < bytes.size(); at += 16)
        lines << QStringLiteral("%1  %2")
                     .arg(at, 4, 16, QLatin1Char('0'))
                     .arg(QString::fromLatin1(bytes.mid(at, 16).toHex(' ')));
    return lines;
}

QString fieldText(const msr::RawField &field)
{
    QString where = QStringLiteral("bit %1").arg(field.bitOffset);
    if (field.bitOffset % 8 == 0)
        where += QStringLiteral(" (byte %1)").arg(field.bitOffset / 8);
    return QStringLiteral("%1: %2, %3%4 bits")
        .arg(field.name, where,
             field.count == 1 ? QString() : QStringLiteral("%1 x ").arg(field.count))
        .arg(field.bits);
}

class Printer {
public:
    Printer(const WatchOptions &options, QTextStream &out) : m_options(options), m_out(out) {}

    // In JSON, the first line says what was opened; in text, the header goes
    // to standard error (see watchReader) so a pipe gets only swipes.
    void opened(const Opened &opened)
    {
        if (!m_options.json)
            return;
        QJsonObject line{{"event", "open"}, {"name", opened.reader.name}};
        const auto put = [&](const char *key, const QString &value) {
            if (!value.isEmpty())
                line.insert(QLatin1String(key), value);
        };
        put("kind", opened.reader.kind);
        put("path", opened.path());
        put("usb", opened.reader.usb);
        QJsonObject settings;
        for (const auto &[key, value] : opened.settings())
            settings.insert(key, value);
        line.insert("settings", settings);
        if (!opened.live() && !opened.source.kind.isEmpty())
            line.insert("recorded", QJsonObject{{"kind", opened.source.kind},
                                                {"device", opened.source.device}});
        write(line);
    }

    // The reads since the last event; printed before it in text.
    void event(const char *kind, const std::array<Shown, 3> &tracks,
               const std::optional<cardfields::CardFields> &card, const QList<msr::RawRead> &raw)
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
            QJsonObject line{{"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                             {"event", QLatin1String(kind)},
                             {"tracks", list}};
            if (card)
                line.insert("fields", cardfields::fieldsJson(*card, m_options.showData));
            if (m_options.raw)
                line.insert("raw", rawJson(raw));
            write(line);
            return;
        }
        if (m_options.raw)
            rawLines(raw);
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
        if (card && m_options.fields)
            m_out << msr::printable(cardfields::fieldsLine(*card, m_options.showData)) << '\n';
        m_out.flush();
    }

    // Reads no event followed (noise, a swipe cut off at the end): shown, not lost.
    void leftover(const QList<msr::RawRead> &raw)
    {
        if (!m_options.raw || raw.isEmpty())
            return;
        if (m_options.json)
            write(QJsonObject{{"event", "raw"}, {"raw", rawJson(raw)}});
        else
            rawLines(raw);
        m_out.flush();
    }

    void counts(int inputs, int errors)
    {
        if (m_options.json)
            write(QJsonObject{{"inputs", inputs}, {"errors", errors}});
        else
            m_out << "inputs " << inputs << ", errors " << errors << '\n';
        m_out.flush();
    }

private:
    QString shown(int track, const QString &data) const
    {
        return m_options.showData ? data : maskTrack(track + 1, data);
    }

    void write(const QJsonObject &line)
    {
        m_out << QJsonDocument(line).toJson(QJsonDocument::Compact) << '\n';
        m_out.flush();
    }

    // A HID reader's layout, once, and again when it came back as another model.
    bool layoutChanged(const msr::RawSource &source)
    {
        if (source.kind != QLatin1String("hid") ||
            (m_layout && m_layout->reportId == source.reportId &&
             m_layout->fields == source.fields))
            return false;
        m_layout = source;
        return true;
    }

    void rawLines(const QList<msr::RawRead> &raw)
    {
        const qint64 first = raw.isEmpty() ? 0 : raw.first().monotonicNs;
        for (const msr::RawRead &read : raw) {
            m_out << "  raw +" << seconds(read.monotonicNs - first) << ' ';
            if (read.type != msr::RawRead::Type::Read) {
                m_out << "reader " << (read.type == msr::RawRead::Type::Gone ? "gone" : "back")
                      << '\n';
                continue;
            }
            const QString &kind = read.source.kind;
            if (kind == QLatin1String("hid")) {
                if (layoutChanged(read.source)) {
                    m_out << "hid report ID "
                          << (read.source.reportId < 0 ? QStringLiteral("none")
                                                       : QString::number(read.source.reportId))
                          << ", fields from the start of the report after its ID:\n";
                    for (const msr::RawField &field : read.source.fields)
                        m_out << "        " << fieldText(field) << '\n';
                    m_out << "  raw +" << seconds(read.monotonicNs - first) << ' ';
                }
                m_out << "hid report, " << read.bytes.size() << " bytes:\n";
                for (const QString &line : hexLines(read.bytes))
                    m_out << "      " << line << '\n';
            } else {
                m_out << kind << ' ';
                if (read.keys >= 0)
                    m_out << read.keys << (read.keys == 1 ? " key" : " keys");
                else
                    m_out << read.bytes.size() << (read.bytes.size() == 1 ? " byte" : " bytes");
                m_out << ": \"" << rawText(read.text) << "\"\n";
            }
        }
    }

    QJsonArray rawJson(const QList<msr::RawRead> &raw)
    {
        QJsonArray list;
        const qint64 first = raw.isEmpty() ? 0 : raw.first().monotonicNs;
        for (const msr::RawRead &read : raw) {
            QJsonObject item{{"at", double((read.monotonicNs - first) / 1000000) / 1000}};
            if (read.type != msr::RawRead::Type::Read) {
                item.insert("type", read.type == msr::RawRead::Type::Gone ? "gone" : "back");
                list.append(item);
                continue;
            }
            item.insert("type", "read");
            if (read.source.kind == QLatin1String("hid")) {
                if (layoutChanged(read.source)) {
                    QJsonArray fields;
                    for (const msr::RawField &field : read.source.fields)
                        fields.append(QJsonObject{{"name", field.name},
                                                  {"bit_offset", qint64(field.bitOffset)},
                                                  {"bits", qint64(field.bits)},
                                                  {"count", qint64(field.count)}});
                    item.insert("report_id", read.source.reportId);
                    item.insert("fields", fields);
                }
                item.insert("hex", QString::fromLatin1(read.bytes.toHex()));
            } else {
                item.insert("text", rawText(read.text));
                if (read.keys >= 0)
                    item.insert("keys", read.keys);
                else
                    item.insert("hex", QString::fromLatin1(read.bytes.toHex()));
            }
            list.append(item);
        }
        return list;
    }

    const WatchOptions &m_options;
    QTextStream &m_out;
    std::optional<msr::RawSource> m_layout; // the HID layout shown last
};

// The header on standard error: what was opened, as the list and udev know it.
void sayOpened(const Opened &opened, QTextStream &err)
{
    err << "msrprobe: watching " << msr::printable(opened.reader.name);
    if (!opened.reader.kind.isEmpty())
        err << ": " << msr::printable(opened.reader.kind) << " reader";
    if (!opened.path().isEmpty())
        err << " at " << msr::printable(opened.path());
    if (!opened.reader.usb.isEmpty())
        err << ", USB " << opened.reader.usb;
    const char *separator = ", ";
    for (const auto &[key, value] : opened.settings())
        err << std::exchange(separator, " ") << msr::printable(key) << '=' << msr::printable(value);
    if (!opened.live() && !opened.source.kind.isEmpty())
        err << ", playing a " << msr::printable(opened.source.kind) << " reader recorded at "
            << msr::printable(opened.source.device);
    err << "\nmsrprobe: swipe a card, Ctrl-C to stop\n";
    err.flush();
}

} // namespace

QString maskTrack(int track, const QString &text)
{
    return cardfields::maskTrack(track, text);
}

QString rawText(QByteArrayView bytes)
{
    static const char *const names[32] = {"NUL", "SOH", "STX", "ETX", "EOT", "ENQ", "ACK", "BEL",
                                          "BS",  "HT",  "LF",  "VT",  "FF",  "CR",  "SO",  "SI",
                                          "DLE", "DC1", "DC2", "DC3", "DC4", "NAK", "SYN", "ETB",
                                          "CAN", "EM",  "SUB", "ESC", "FS",  "GS",  "RS",  "US"};
    QString text;
    for (const char c : bytes) {
        const auto byte = uchar(c);
        if (byte < 0x20)
            text += QLatin1Char('<') + QLatin1String(names[byte]) + QLatin1Char('>');
        else if (byte == 0x7F)
            text += QLatin1String("<DEL>");
        else if (byte > 0x7F || byte == '<' || byte == '"')
            text += QStringLiteral("<0x%1>").arg(QString::number(byte, 16).toUpper());
        else
            text += QLatin1Char(c);
    }
    return text;
}

bool openAndClaim(msr::MsrProxy &reader, const QString &logicalName, QTextStream &err)
{
    const auto fail = [&](const char *what, std::int32_t rc) {
        err << "msrprobe: cannot " << what << ' ' << msr::printable(logicalName) << ": "
            << reporting::resultCodeText(rc).trimmed() << '\n';
        err.flush();
        return false;
    };
    std::int32_t rc = reader.Open(logicalName);
    if (rc != opos::OPOS_SUCCESS)
        return fail("open", rc);
    rc = reader.ClaimDevice(1000);
    if (rc != opos::OPOS_SUCCESS) {
        reader.Close();
        return fail("claim", rc);
    }
    return true;
}

int watchReader(const QString &logicalName, const WatchOptions &options, QTextStream &out,
                QTextStream &err)
{
    // The registry the window runs with, so a name means the same reader to both.
    msr::MsrControl control(msr::standardRegistry());
    msr::MsrProxy reader(&control);
    if (!openAndClaim(reader, logicalName, err))
        return WatchReadError;
    const auto giveBack = [&] {
        reader.setDeviceEnabled(false);
        reader.ReleaseDevice();
        reader.Close();
    };
    const Opened opened{identify(logicalName), control.rawSource()};
    if ((options.raw || !options.record.isEmpty()) && opened.source.kind.isEmpty()) {
        err << "msrprobe: " << msr::printable(logicalName) << " is a "
            << msr::printable(opened.reader.kind)
            << " reader, which hands over decoded tracks only: there are no raw reads to "
            << (options.raw ? "show" : "record") << '\n';
        err.flush();
        giveBack();
        return WatchReadError;
    }
    msr::replay::Recorder recorder;
    if (!options.record.isEmpty()) {
        if (!recorder.open(options.record, opened.source)) {
            err << "msrprobe: " << msr::printable(recorder.lastError()) << '\n';
            err.flush();
            giveBack();
            return WatchReadError;
        }
        err << "msrprobe: " << msr::printable(options.record)
            << " holds whole card numbers; it was created readable by its owner only\n";
    }

    QEventLoop loop;
    swipewatch::TerminationSignals stop;
    QObject::connect(&stop, &swipewatch::TerminationSignals::terminationRequested, &loop,
                     &QEventLoop::quit);
    Printer printer(options, out);
    int inputs = 0;
    int errors = 0;
    int swipes = 0;
    bool timedOut = false;
    bool recordFailed = false;
    QList<msr::RawRead> raw; // since the last event
    QTimer idle;
    idle.setSingleShot(true);
    QObject::connect(&idle, &QTimer::timeout, &loop, [&] {
        timedOut = true;
        loop.quit();
    });
    QObject::connect(&control, &msr::MsrControl::rawRead, &loop, [&](const msr::RawRead &read) {
        if (options.raw)
            raw.append(read);
        if (recorder.isOpen() && !recorder.write(read)) {
            err << "msrprobe: " << msr::printable(recorder.lastError()) << '\n';
            err.flush();
            recordFailed = true;
            loop.quit();
        }
    });
    // Events queued behind the last swipe --count asked for are not this watch's.
    const auto done = [&] { return options.count && swipes >= options.count; };
    // Lines nobody can read (a closed pipe, a full disk) end the watch;
    // main says why. So does the last swipe --count asked for.
    const auto swiped = [&] {
        raw.clear();
        ++swipes;
        // Queued: the control hears the event was handled before the release.
        if (out.status() != QTextStream::Ok || done())
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        else if (options.timeoutMs)
            idle.start(options.timeoutMs);
    };
    bool afterInputData = false;       // the error that follows partial data was told already
    std::array<int, 3> partialCodes{}; // failed tracks of the partial data to come
    const auto trackTexts = [&] {
        return std::array<QString, 3>{reader.Track1Data(), reader.Track2Data(),
                                      reader.Track3Data()};
    };
    QObject::connect(&reader, &msr::MsrProxy::DataEvent, [&](qint32 status) {
        if (done())
            return;
        ++inputs;
        const auto texts = trackTexts();
        std::array<Shown, 3> tracks;
        cardfields::Tracks read;
        for (int t = 0; t < 3; ++t) {
            tracks[t] = {partialCodes[t], trackByte(status, t), texts[t]};
            (t == 0   ? read.track1
             : t == 1 ? read.track2
                      : read.track3) = partialCodes[t] ? QString() : texts[t];
        }
        partialCodes = {};
        printer.event("data", tracks,
                      cardfields::parseCard(read, QDate::currentDate(), options.showData), raw);
        swiped();
        reader.setDataEventEnabled(true);
    });
    QObject::connect(
        &reader, &msr::MsrProxy::ErrorEvent, [&](qint32, qint32 extended, qint32 locus, qint32 *) {
            const bool partial = locus == opos::OPOS_EL_INPUT_DATA;
            if (done())
                return;
            if (!afterInputData) {
                ++errors;
                const auto texts = trackTexts();
                std::array<Shown, 3> tracks;
                for (int t = 0; t < 3; ++t)
                    tracks[t] = {trackByte(extended, t), int(texts[t].size()), texts[t]};
                if (partial) {
                    for (int t = 0; t < 3; ++t)
                        partialCodes[t] = tracks[t].code;
                } else {
                    printer.event("error", tracks, std::nullopt, raw);
                    swiped();
                }
            }
            afterInputData = partial;
        });
    reader.setErrorReportingType(opos::MSR_ERT_TRACK);
    reader.setDeviceEnabled(true);
    reader.setDataEventEnabled(true);
    sayOpened(opened, err);
    printer.opened(opened);
    if (options.timeoutMs)
        idle.start(options.timeoutMs);
    if (out.status() == QTextStream::Ok)
        loop.exec();

    giveBack();
    printer.leftover(raw);
    printer.counts(inputs, errors);
    if (!recorder.close() && !recordFailed) {
        err << "msrprobe: " << msr::printable(recorder.lastError()) << '\n';
        recordFailed = true;
    }
    if (errors || recordFailed)
        return WatchReadError;
    return timedOut && swipes == 0 ? WatchNoSwipe : WatchClean;
}

} // namespace probe
