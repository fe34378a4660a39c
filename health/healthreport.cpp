// SPDX-License-Identifier: MIT
#include "health/healthreport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace health {

namespace {

// Text from the command line or the device list, safe on a terminal and in
// a page: control characters as \xNN.
QString printable(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() < 0xA0))
            out += QStringLiteral("\\x") +
                   QString::number(c.unicode(), 16).toUpper().rightJustified(2, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString percent(double rate)
{
    return QStringLiteral("%1%").arg(qRound(rate * 100));
}

QString verdictWord(const Result &result)
{
    return result.pass ? QStringLiteral("pass") : QStringLiteral("fail");
}

QString readerLine(const Reader &reader)
{
    QStringList parts{reader.name, reader.kind};
    if (!reader.path.isEmpty())
        parts << reader.path;
    for (auto it = reader.settings.begin(); it != reader.settings.end(); ++it)
        parts << it.key() + QLatin1Char('=') + it.value();
    if (!reader.usb.isEmpty())
        parts << QStringLiteral("USB ") + reader.usb;
    return printable(parts.join(QLatin1Char(' ')));
}

QString when(const Input &input)
{
    return input.started.toString(Qt::ISODate);
}

QString duration(const Input &input)
{
    return QString::number(input.seconds, 'f', 1);
}

// The table's columns, shared by the terminal and the page.
struct Column {
    const char *head;
    std::function<QString(const TrackFigures &)> value;
};

const QList<Column> &columns()
{
    static const QList<Column> list = [] {
        QList<Column> c{
            {"track", [](const TrackFigures &f) { return QString::number(f.track); }},
            {"good", [](const TrackFigures &f) { return QString::number(f.good); }},
            {"rate", [](const TrackFigures &f) { return percent(f.rate); }},
        };
        static const char *const heads[] = {"start", "end", "parity", "LRC", "other"};
        for (int k = 0; k < kKinds; ++k)
            c.append(
                {heads[k], [k](const TrackFigures &f) { return QString::number(f.errors[k]); }});
        c.append({"empty", [](const TrackFigures &f) { return QString::number(f.missing); }});
        c.append({"mismatch", [](const TrackFigures &f) { return QString::number(f.mismatches); }});
        c.append({"chars", [](const TrackFigures &f) { return QString::number(f.characters); }});
        return c;
    }();
    return list;
}

// Room for the head and a blank before it; the first column at the margin.
int width(const Column &column)
{
    return column.head == columns().constFirst().head ? 5
                                                      : std::max(7, int(qstrlen(column.head)) + 2);
}

} // namespace

QString terminalReport(const Input &input, const Result &result)
{
    QString out;
    out += QStringLiteral("reader   %1\n").arg(readerLine(input.reader));
    out += QStringLiteral("date     %1, %2 s, %3 swipes\n")
               .arg(when(input), duration(input))
               .arg(result.swipes);
    if (!input.ticket.isEmpty())
        out += QStringLiteral("ticket   %1\n").arg(printable(input.ticket));
    out += QLatin1Char('\n');
    QStringList head;
    for (const Column &c : columns())
        head << QString::fromLatin1(c.head).rightJustified(width(c));
    out += head.join(QString()) + QLatin1Char('\n');
    for (const TrackFigures &f : result.tracks) {
        QStringList row;
        for (const Column &c : columns())
            row << c.value(f).rightJustified(width(c));
        if (!f.carried && !f.failed() && !f.mismatches)
            row = QStringList{row[0], QStringLiteral("   not on the card")};
        out += row.join(QString()) + QLatin1Char('\n');
    }
    out += QLatin1Char('\n');
    for (const QString &note : result.notes)
        out += QStringLiteral("note: %1\n").arg(note);
    if (!result.sample.isEmpty())
        out += QStringLiteral("sample: %1\n").arg(printable(result.sample));
    out += QStringLiteral("\n%1: %2 of %3 swipes needed on every track the card carries\n")
               .arg(verdictWord(result).toUpper())
               .arg(result.needed)
               .arg(result.swipes);
    for (const QString &reason : result.reasons)
        out += QStringLiteral("- %1\n").arg(printable(reason));
    return out;
}

QByteArray jsonReport(const Input &input, const Result &result)
{
    QJsonArray tracks;
    for (const TrackFigures &f : result.tracks) {
        QJsonObject errors;
        for (int k = 0; k < kKinds; ++k)
            errors.insert(kindKey(Kind(k)), f.errors[k]);
        tracks.append(QJsonObject{{"track", f.track},
                                  {"carried", f.carried},
                                  {"swipes", result.swipes},
                                  {"good", f.good},
                                  {"rate", f.rate},
                                  {"errors", errors},
                                  {"missing", f.missing},
                                  {"mismatches", f.mismatches},
                                  {"characters", f.characters}});
    }
    QJsonObject settings;
    for (auto it = input.reader.settings.begin(); it != input.reader.settings.end(); ++it)
        settings.insert(it.key(), it.value());
    QJsonObject reader{
        {"name", input.reader.name}, {"kind", input.reader.kind}, {"settings", settings}};
    if (!input.reader.path.isEmpty())
        reader.insert("path", input.reader.path);
    if (!input.reader.usb.isEmpty())
        reader.insert("usb", input.reader.usb);
    QJsonObject root{{"verdict", verdictWord(result)},
                     {"swipes", result.swipes},
                     {"asked", input.asked},
                     {"ended", input.stopped.isEmpty() ? QStringLiteral("done") : input.stopped},
                     {"min_rate", input.minRate},
                     {"needed", result.needed},
                     {"seconds", qRound(input.seconds * 10) / 10.0},
                     {"date", when(input)},
                     {"reader", reader},
                     {"reference", input.expected          ? QJsonValue("expect")
                                   : result.referenceSwipe ? QJsonValue(result.referenceSwipe)
                                                           : QJsonValue()},
                     {"reasons", QJsonArray::fromStringList(result.reasons)},
                     {"notes", QJsonArray::fromStringList(result.notes)},
                     {"tracks", tracks},
                     {"sample", result.sample}};
    if (!input.ticket.isEmpty())
        root.insert("ticket", input.ticket);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

namespace {

QString html(const QString &text)
{
    return printable(text).toHtmlEscaped();
}

struct Bar {
    const char *label;
    const char *colour;
    int count;
};

// One track's reads as bars: good, each kind of error, empty, mismatched.
QString chart(const TrackFigures &f, int swipes)
{
    static const char *const colours[] = {"#e65100", "#f9a825", "#c62828", "#6a1b9a", "#4e342e"};
    static const char *const labels[] = {"start", "end", "parity", "LRC", "other"};
    QList<Bar> bars{{"good", "#2e7d32", f.good}};
    for (int k = 0; k < kKinds; ++k)
        bars.append({labels[k], colours[k], f.errors[k]});
    bars.append({"empty", "#757575", f.missing});
    bars.append({"wrong", "#ad1457", f.mismatches});
    constexpr int kWidth = 232, kTop = 14, kHeight = 96, kStep = 29, kBar = 21;
    QString svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 %1 %2\" "
                                 "role=\"img\" aria-label=\"track %3\">")
                      .arg(kWidth)
                      .arg(kTop + kHeight + 16)
                      .arg(f.track);
    svg += QStringLiteral("<line x1=\"0\" x2=\"%1\" y1=\"%2\" y2=\"%2\" stroke=\"#999\"/>")
               .arg(kWidth)
               .arg(kTop + kHeight);
    for (qsizetype i = 0; i < bars.size(); ++i) {
        const Bar &b = bars[i];
        const int h = swipes ? qRound(double(kHeight) * b.count / swipes) : 0;
        const int x = 4 + int(i) * kStep;
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"/>")
                   .arg(x)
                   .arg(kTop + kHeight - h)
                   .arg(kBar)
                   .arg(h)
                   .arg(QLatin1String(b.colour));
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" class=\"n\">%3</text>")
                   .arg(x + kBar / 2)
                   .arg(kTop + kHeight - h - 3)
                   .arg(b.count);
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\" class=\"l\">%3</text>")
                   .arg(x + kBar / 2)
                   .arg(kTop + kHeight + 12)
                   .arg(QLatin1String(b.label));
    }
    return svg + QStringLiteral("</svg>");
}

} // namespace

QByteArray htmlReport(const Input &input, const Result &result)
{
    QString page =
        QStringLiteral(R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<title>Card reader check: %1</title>
<style>
@page { size: A4; margin: 12mm; }
* { box-sizing: border-box; }
html { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
body { font: 10pt/1.35 sans-serif; color: #111; margin: 0 auto; max-width: 186mm; padding: 4mm 0; }
h1 { font-size: 11pt; font-weight: normal; margin: 0; color: #444; }
.verdict { font-size: 40pt; font-weight: bold; letter-spacing: 2pt; margin: 0; }
.pass { color: #2e7d32; } .fail { color: #c62828; }
.summary { font-size: 11pt; margin: 0 0 3mm; }
dl { display: grid; grid-template-columns: 22mm 1fr; gap: 0.5mm 3mm; margin: 0 0 3mm; }
dt { color: #555; } dd { margin: 0; overflow-wrap: anywhere; }
.charts { display: grid; grid-template-columns: repeat(3, 1fr); gap: 4mm; margin: 0 0 2mm; }
figure { margin: 0; border: 0.3mm solid #ccc; padding: 1.5mm; }
figcaption { font-weight: bold; font-size: 9.5pt; }
svg { width: 100%; height: auto; display: block; }
svg text { font: 10px sans-serif; text-anchor: middle; fill: #222; }
table { border-collapse: collapse; width: 100%; margin: 2mm 0 3mm; font-size: 9.5pt; }
th, td { border: 0.3mm solid #bbb; padding: 0.8mm 1.5mm; text-align: right; }
th { background: #eee; font-weight: bold; }
td.off { color: #777; text-align: left; }
h2 { font-size: 11pt; margin: 3mm 0 1mm; }
ul { margin: 0; padding-left: 5mm; } li { margin: 0 0 1mm; }
.sample { font-family: monospace; font-size: 9pt; overflow-wrap: anywhere; }
.small { color: #555; font-size: 9pt; }
</style></head><body>
<h1>Card reader health check</h1>
<p class="verdict %2">%3</p>
<p class="summary">%4 swipes; every track the card carries needs %5 good reads (%6)</p>
)")
            .arg(html(input.reader.name), verdictWord(result), verdictWord(result).toUpper())
            .arg(result.swipes)
            .arg(result.needed)
            .arg(percent(input.minRate));

    page += QStringLiteral("<dl>\n");
    const auto item = [&page](const char *term, const QString &value) {
        if (!value.isEmpty())
            page +=
                QStringLiteral("<dt>%1</dt><dd>%2</dd>\n").arg(QLatin1String(term), html(value));
    };
    item("Ticket", input.ticket);
    item("Reader", readerLine(input.reader));
    item("Date", input.started.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t")));
    item("Took", duration(input) + QStringLiteral(" s"));
    page += QStringLiteral("</dl>\n<div class=\"charts\">\n");
    for (const TrackFigures &f : result.tracks) {
        // A track the card lacks and nothing came on has no reads to chart.
        const bool quiet = !f.carried && !f.failed() && !f.mismatches;
        page += QStringLiteral("<figure><figcaption>Track %1%2</figcaption>%3</figure>\n")
                    .arg(f.track)
                    .arg(f.carried ? QStringLiteral(": %1 read").arg(percent(f.rate))
                                   : QStringLiteral(": not on the card"))
                    .arg(quiet ? QStringLiteral("<p class=\"small\">Nothing on the card, and "
                                                "nothing came.</p>")
                               : chart(f, result.swipes));
    }
    page += QStringLiteral("</div>\n<table>\n<tr>");
    for (const Column &c : columns())
        page += QStringLiteral("<th>%1</th>").arg(QLatin1String(c.head));
    page += QStringLiteral("</tr>\n");
    for (const TrackFigures &f : result.tracks) {
        page += QStringLiteral("<tr data-track=\"%1\">").arg(f.track);
        if (!f.carried && !f.failed() && !f.mismatches) {
            page += QStringLiteral("<td>%1</td><td class=\"off\" colspan=\"%2\">not on the card"
                                   "</td></tr>\n")
                        .arg(f.track)
                        .arg(columns().size() - 1);
            continue;
        }
        for (const Column &c : columns())
            page += QStringLiteral("<td>%1</td>").arg(c.value(f));
        page += QStringLiteral("</tr>\n");
    }
    page += QStringLiteral("</table>\n");
    if (!result.reasons.isEmpty()) {
        page += QStringLiteral("<h2>Why it failed</h2>\n<ul class=\"reasons\">\n");
        for (const QString &reason : result.reasons)
            page += QStringLiteral("<li>%1</li>\n").arg(html(reason));
        page += QStringLiteral("</ul>\n");
    }
    if (!result.sample.isEmpty())
        page += QStringLiteral("<h2>One read, masked</h2>\n<p class=\"sample\">%1</p>\n")
                    .arg(html(result.sample));
    for (const QString &note : result.notes)
        page += QStringLiteral("<p class=\"small\">%1.</p>\n").arg(html(note));
    page += QStringLiteral("</body></html>\n");
    return page.toUtf8();
}

} // namespace health
