// SPDX-License-Identifier: MIT
#include "backends/replay/recording.h"

#include <linux/input.h>

#include <algorithm>
#include <cstring>

namespace msr::replay {

namespace {

constexpr qint64 kMaxSeconds = 100'000'000; // three years: nothing records longer

QByteArray hexBytes(const QByteArray &bytes)
{
    QByteArray out;
    for (qsizetype at = 0; at < bytes.size(); at += 16)
        out += (at ? " " : "") + bytes.mid(at, 16).toHex().toUpper();
    return out;
}

QByteArray quoted(const QByteArray &bytes)
{
    QByteArray out = "\"";
    for (const char c : bytes) {
        switch (c) {
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '"':
        case '\\':
            out += '\\';
            out += c;
            break;
        default:
            if (uchar(c) >= 0x20 && uchar(c) <= 0x7E)
                out += c;
            else
                out += "\\x" + QByteArray::number(uchar(c), 16).rightJustified(2, '0').toUpper();
        }
    }
    return out + '"';
}

QByteArray triples(const QByteArray &records)
{
    QByteArrayList out;
    for (qsizetype at = 0; at + qsizetype(sizeof(input_event)) <= records.size();
         at += sizeof(input_event)) {
        input_event ev{};
        std::memcpy(&ev, records.constData() + at, sizeof ev);
        out << QByteArray::number(ev.type) + ' ' + QByteArray::number(ev.code) + ' ' +
                   QByteArray::number(ev.value);
    }
    return out.join(", ");
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Parse failures travel as this; the caller adds the line.
struct Fault {
    QString what;
};

QByteArray parseHex(QByteArrayView text, qsizetype max)
{
    QByteArray out;
    int high = -1;
    for (const char c : text) {
        if (c == ' ' || c == '\t') {
            if (high >= 0)
                throw Fault{QStringLiteral("a hex byte is split by a space")};
            continue;
        }
        const int d = hexDigit(c);
        if (d < 0)
            throw Fault{QStringLiteral("'%1' is not a hex digit").arg(QLatin1Char(c))};
        if (high < 0) {
            high = d;
            continue;
        }
        out += char(high << 4 | d);
        high = -1;
        if (out.size() > max)
            throw Fault{QStringLiteral("more than %1 bytes").arg(max)};
    }
    if (high >= 0)
        throw Fault{QStringLiteral("an odd number of hex digits")};
    if (out.isEmpty())
        throw Fault{QStringLiteral("no bytes")};
    return out;
}

QByteArray parseQuoted(QByteArrayView text)
{
    if (text.size() < 2 || text.front() != '"' || text.back() != '"')
        throw Fault{QStringLiteral("expected the bytes in double quotes, or 'hex' and hex digits")};
    text = text.sliced(1, text.size() - 2);
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (uchar(c) < 0x20 || c == 0x7F)
            throw Fault{QStringLiteral("a control character in the quotes: write it as \\x%1")
                            .arg(uchar(c), 2, 16, QLatin1Char('0'))};
        if (c == '"')
            throw Fault{QStringLiteral("a '\"' inside the quotes: write it as \\\"")};
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= text.size())
            throw Fault{QStringLiteral("a '\\' at the end of the quotes")};
        switch (text[i]) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '\\':
        case '"':
            out += text[i];
            break;
        case 'x': {
            const int h = i + 2 < text.size() ? hexDigit(text[i + 1]) : -1;
            const int l = h >= 0 ? hexDigit(text[i + 2]) : -1;
            if (l < 0)
                throw Fault{QStringLiteral("\\x needs two hex digits")};
            out += char(h << 4 | l);
            i += 2;
            break;
        }
        default:
            throw Fault{QStringLiteral("unknown escape '\\%1'").arg(QLatin1Char(text[i]))};
        }
    }
    if (out.isEmpty())
        throw Fault{QStringLiteral("no bytes")};
    return out;
}

qint64 number(QByteArrayView word, qint64 min, qint64 max, const char *what)
{
    bool ok = false;
    const qint64 n = QByteArray(word.data(), word.size()).toLongLong(&ok, 10);
    if (!ok || n < min || n > max || word.startsWith('+'))
        throw Fault{QStringLiteral("%1 '%2' is not a whole number from %3 to %4")
                        .arg(QLatin1String(what), QString::fromLatin1(word))
                        .arg(min)
                        .arg(max)};
    return n;
}

QByteArray parseTriples(QByteArrayView text)
{
    QByteArray out;
    for (const QByteArrayView triple : QByteArray(text.data(), text.size()).split(',')) {
        const QList<QByteArray> words = triple.toByteArray().simplified().split(' '); // "a b c"
        if (words.size() != 3 || words[0].isEmpty())
            throw Fault{QStringLiteral("expected input events as 'type code value', separated by "
                                       "commas")};
        input_event ev{};
        ev.type = quint16(number(words[0], 0, 0xFFFF, "type"));
        ev.code = quint16(number(words[1], 0, 0xFFFF, "code"));
        ev.value = qint32(number(words[2], INT32_MIN, INT32_MAX, "value"));
        out += QByteArrayView(reinterpret_cast<const char *>(&ev), sizeof ev);
    }
    return out;
}

// "+S", "+S.f" up to six digits after the point: microseconds.
qint64 parseTime(QByteArrayView word)
{
    const qsizetype point = word.indexOf('.');
    const QByteArrayView whole = word.sliced(1, (point < 0 ? word.size() : point) - 1);
    const QByteArrayView part = point < 0 ? QByteArrayView() : word.sliced(point + 1);
    const auto digits = [](QByteArrayView w) {
        return std::all_of(w.begin(), w.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (whole.isEmpty() || whole.size() > 9 || !digits(whole) || part.size() > 6 || !digits(part) ||
        (point >= 0 && part.isEmpty()))
        throw Fault{
            QStringLiteral("expected the time as +SECONDS, e.g. +1.250, found '%1'")
                .arg(QString::fromLatin1(word.first(std::min<qsizetype>(word.size(), 20))))};
    qint64 us = whole.toLongLong() * 1'000'000;
    qint64 scale = 100'000;
    for (const char c : part) {
        us += (c - '0') * scale;
        scale /= 10;
    }
    if (us > kMaxSeconds * 1'000'000)
        throw Fault{QStringLiteral("a time past %1 seconds").arg(kMaxSeconds)};
    return us;
}

bool isTextKind(const QString &kind)
{
    return kind == u"serial" || kind == u"keyboard";
}

void headerLine(Header &h, QByteArrayView key, QByteArrayView value, int line,
                QList<QByteArray> &seen)
{
    if (seen.contains(key.toByteArray()))
        throw Fault{QStringLiteral("'%1' is given twice").arg(QString::fromLatin1(key))};
    seen << key.toByteArray();
    const QString text = QString::fromUtf8(value);
    if (key == "kind") {
        if (text != u"serial" && text != u"keyboard" && text != u"hid")
            throw Fault{
                QStringLiteral("unknown kind '%1': expected serial, keyboard or hid").arg(text)};
        h.kind = text;
        return;
    }
    if (h.kind.isEmpty())
        throw Fault{QStringLiteral("'%1' before the kind line").arg(QString::fromLatin1(key))};
    const bool text_ = isTextKind(h.kind), serial = h.kind == u"serial";
    if (key == "device") {
        h.device = text;
    } else if (key == "gap" && text_) {
        h.gapMs = int(number(value, 10, 10000, "gap"));
    } else if (key == "lrc" && text_) {
        if (value != "yes" && value != "no")
            throw Fault{QStringLiteral("lrc is yes or no")};
        h.lrc = value == "yes";
    } else if ((key == "layout" || key == "variant") && h.kind == u"keyboard") {
        (key == "layout" ? h.layout : h.variant) = text; // checked when compiled, at Open
        h.layoutLine = std::max(h.layoutLine, line);
    } else if (key == "baud" && serial) {
        h.baud = QString::number(number(value, 1, 10'000'000, "baud"));
    } else if (key == "format" && serial) {
        h.format = text;
    } else if (key == "descriptor" && h.kind == u"hid") {
        h.descriptor = parseHex(value, kMaxDescriptorBytes);
        h.descriptorLine = line;
    } else {
        throw Fault{
            QStringLiteral("'%1' is not a header line of a %2 recording")
                .arg(QString::fromLatin1(key.first(std::min<qsizetype>(key.size(), 40))), h.kind)};
    }
}

Step bodyLine(const Header &h, QByteArrayView time, QByteArrayView rest)
{
    Step step;
    step.atUs = parseTime(time);
    if (rest == "gone" || rest == "back") {
        step.type = rest == "gone" ? RawRead::Type::Gone : RawRead::Type::Back;
        return step;
    }
    if (rest.isEmpty())
        throw Fault{QStringLiteral("nothing after the time")};
    if (h.kind == u"hid") {
        step.descriptor = rest.startsWith("descriptor ");
        step.bytes = step.descriptor ? parseHex(rest.sliced(11), kMaxDescriptorBytes)
                                     : parseHex(rest, kMaxReportBytes);
    } else if (h.kind == u"keyboard") {
        step.bytes = parseTriples(rest);
    } else if (rest.startsWith("hex ")) {
        step.bytes = parseHex(rest.sliced(4), kMaxRecordingBytes);
    } else {
        step.bytes = parseQuoted(rest);
    }
    return step;
}

} // namespace

Parsed parseRecording(QByteArrayView text)
{
    Parsed out;
    Recording rec;
    QList<QByteArray> seen;
    bool magic = false, body = false;
    int line = 0;
    qsizetype at = 0;
    try {
        if (text.size() > kMaxRecordingBytes)
            throw Fault{QStringLiteral("larger than %1 MiB: not a recording")
                            .arg(kMaxRecordingBytes >> 20)};
        while (at < text.size()) {
            ++line;
            const qsizetype end = text.indexOf('\n', at);
            if (end < 0)
                throw Fault{QStringLiteral("the file ends inside this line: cut off")};
            QByteArrayView l = text.sliced(at, end - at);
            at = end + 1;
            if (l.endsWith('\r')) // edited on another system
                l.chop(1);
            l = l.trimmed();
            if (l.isEmpty() || l.startsWith('#'))
                continue;
            if (!magic) {
                if (l != kMagic)
                    throw Fault{l.startsWith("swipewatch-recording ")
                                    ? QStringLiteral("a recording of another version; this "
                                                     "program reads '%1'")
                                          .arg(QLatin1String(kMagic))
                                    : QStringLiteral("not a recording: it must start with '%1'")
                                          .arg(QLatin1String(kMagic))};
                magic = true;
                continue;
            }
            const qsizetype space = l.indexOf(' ');
            const QByteArrayView first = space < 0 ? l : l.first(space);
            const QByteArrayView rest =
                space < 0 ? QByteArrayView() : l.sliced(space + 1).trimmed();
            if (!first.startsWith('+')) {
                if (body)
                    throw Fault{QStringLiteral("expected +TIME and a read")};
                headerLine(rec.header, first, rest, line, seen);
                continue;
            }
            if (!body && rec.header.kind.isEmpty())
                throw Fault{QStringLiteral("a read before the kind line")};
            if (!body && rec.header.kind == u"hid" && rec.header.descriptor.isEmpty())
                throw Fault{QStringLiteral("a read before the descriptor line")};
            body = true;
            Step step = bodyLine(rec.header, first, rest);
            step.line = line;
            if (!rec.steps.isEmpty() && step.atUs < rec.steps.last().atUs)
                throw Fault{QStringLiteral("the time goes back")};
            rec.steps << step;
        }
        if (!magic || rec.header.kind.isEmpty() ||
            (rec.header.kind == u"hid" && rec.header.descriptor.isEmpty()))
            throw Fault{!magic ? QStringLiteral("empty: not a recording")
                               : QStringLiteral("the recording ends inside its header: cut off")};
    } catch (const Fault &fault) {
        out.line = std::max(line, 1);
        out.error = fault.what;
        return out;
    }
    out.recording = std::move(rec);
    return out;
}

Header headerFor(const RawSource &source)
{
    Header h;
    h.kind = source.kind;
    h.device = source.device;
    h.descriptor = source.descriptor;
    for (const auto &[key, value] : source.settings) {
        if (key == u"gap")
            h.gapMs = value.toInt();
        else if (key == u"lrc")
            h.lrc = value == u"yes";
        else if (key == u"baud")
            h.baud = value;
        else if (key == u"format")
            h.format = value;
        else if (key == u"layout")
            h.layout = value;
        else if (key == u"variant")
            h.variant = value;
    }
    return h;
}

QByteArray formatHeader(const Header &h)
{
    QByteArray out = kMagic + QByteArray("\nkind ") + h.kind.toUtf8() + '\n';
    // A path can hold anything; a line break in it would end the header line.
    if (!h.device.isEmpty() && !h.device.contains(QLatin1Char('\n')))
        out += "device " + h.device.toUtf8() + '\n';
    if (isTextKind(h.kind))
        out += "gap " + QByteArray::number(h.gapMs) + "\nlrc " + (h.lrc ? "yes" : "no") + '\n';
    if (h.kind == u"keyboard") {
        out += "layout " + h.layout.toUtf8() + '\n';
        if (!h.variant.isEmpty())
            out += "variant " + h.variant.toUtf8() + '\n';
    }
    if (!h.baud.isEmpty())
        out += "baud " + h.baud.toUtf8() + '\n';
    if (!h.format.isEmpty())
        out += "format " + h.format.toUtf8() + '\n';
    if (h.kind == u"hid")
        out += "descriptor " + hexBytes(h.descriptor) + '\n';
    return out;
}

QByteArray formatStep(const QString &kind, const Step &step)
{
    QByteArray out = '+' + QByteArray::number(step.atUs / 1'000'000) + '.';
    const qint64 us = step.atUs % 1'000'000;
    out += us % 1000 ? QByteArray::number(us).rightJustified(6, '0')
                     : QByteArray::number(us / 1000).rightJustified(3, '0');
    out += ' ';
    if (step.type != RawRead::Type::Read)
        return out + (step.type == RawRead::Type::Gone ? "gone\n" : "back\n");
    if (step.descriptor)
        return out + "descriptor " + hexBytes(step.bytes) + '\n';
    if (kind == u"keyboard")
        return out + triples(step.bytes) + '\n';
    if (kind == u"hid")
        return out + hexBytes(step.bytes) + '\n';
    return out + quoted(step.bytes) + '\n';
}

QByteArray formatRecording(const Recording &recording)
{
    QByteArray out = formatHeader(recording.header);
    for (const Step &step : recording.steps)
        out += formatStep(recording.header.kind, step);
    return out;
}

} // namespace msr::replay
