// SPDX-License-Identifier: MIT
#include "cardfields/cardfields.h"

#include <QJsonArray>

#include <algorithm>

namespace cardfields {

namespace {

// Characters between the sentinels, less the LRC, that each track can hold.
constexpr qsizetype kTrack1Chars = 76;
constexpr qsizetype kTrack2Chars = 37;
constexpr qsizetype kNameChars = 26;

struct TrackFields {
    QString pan;
    QString expiry;
    QString serviceCode;
    QString name;
};

// Only ASCII digits: QChar::digitValue() also takes other scripts' digits.
int digitValue(QChar c)
{
    return c >= u'0' && c <= u'9' ? c.unicode() - u'0' : -1;
}

bool allDigits(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return digitValue(c) >= 0; });
}

bool isPan(QStringView digits)
{
    return digits.size() >= 12 && digits.size() <= 19 && allDigits(digits);
}

// Expiry and service code, each present, skipped by `separator`, or cut off
// with the track; whatever follows is discretionary data.
bool parseTail(QStringView rest, QChar separator, TrackFields &fields)
{
    const auto field = [&](qsizetype width, QString &into) {
        if (rest.isEmpty())
            return true;
        if (rest.front() == separator) {
            rest = rest.sliced(1);
            return true;
        }
        if (rest.size() < width || !allDigits(rest.first(width)))
            return false;
        into = rest.first(width).toString();
        rest = rest.sliced(width);
        return true;
    };
    return field(4, fields.expiry) && field(3, fields.serviceCode);
}

std::optional<TrackFields> parseTrack1(QStringView text)
{
    if (text.size() > kTrack1Chars || !text.startsWith(u'B'))
        return std::nullopt;
    for (const QChar c : text) {
        // The track 1 character set, less its sentinels.
        if (c < u' ' || c > u'_' || c == u'%' || c == u'?')
            return std::nullopt;
    }
    const qsizetype panEnd = text.indexOf(u'^');
    const qsizetype nameEnd = panEnd < 0 ? -1 : text.indexOf(u'^', panEnd + 1);
    if (nameEnd < 0)
        return std::nullopt;
    TrackFields fields;
    // Some issuers space the number out on track 1 as it is embossed.
    fields.pan = text.sliced(1, panEnd - 1).toString().remove(u' ');
    fields.name = text.sliced(panEnd + 1, nameEnd - panEnd - 1).toString();
    if (!isPan(fields.pan) || fields.name.size() > kNameChars ||
        !parseTail(text.sliced(nameEnd + 1), u'^', fields))
        return std::nullopt;
    return fields;
}

std::optional<TrackFields> parseTrack2(QStringView text)
{
    if (text.size() > kTrack2Chars)
        return std::nullopt;
    for (const QChar c : text) {
        // The track 2 character set, less its sentinels.
        if (c < u'0' || c > u'>' || c == u';')
            return std::nullopt;
    }
    const qsizetype panEnd = text.indexOf(u'=');
    if (panEnd < 0)
        return std::nullopt;
    TrackFields fields;
    fields.pan = text.first(panEnd).toString();
    if (!isPan(fields.pan) || !parseTail(text.sliced(panEnd + 1), u'=', fields))
        return std::nullopt;
    return fields;
}

// The century that puts a two-digit year nearest the caller's date.
int fullYear(int yy, QDate today)
{
    int year = today.year() / 100 * 100 + yy;
    if (year > today.year() + 49)
        year -= 100;
    else if (year < today.year() - 50)
        year += 100;
    return year;
}

// "pan", "service_code" -> "number, service code"
QString inWords(const QStringList &keys)
{
    QStringList words;
    for (const QString &key : keys)
        words << (key == u"pan" ? QStringLiteral("number") : QString(key).replace(u'_', u' '));
    return words.join(QLatin1String(", "));
}

// A name parsed without keepName is empty and shows as its length only.
bool nameShown(const CardFields &card, bool showData)
{
    return showData && card.nameLength >= 0 && card.name.size() == card.nameLength;
}

QString expiryText(const CardFields &card)
{
    return QStringLiteral("%1-%2")
        .arg(card.expiryYear)
        .arg(card.expiryMonth, 2, 10, QLatin1Char('0'));
}

bool isAsciiDigit(QChar c)
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
        if (isAsciiDigit(text[i]) && ++seen > 6 && seen <= digits - 4)
            text[i] = QLatin1Char('*');
    }
}

} // namespace

bool CardFields::chip() const
{
    return serviceCode.size() == 3 && (serviceCode[0] == u'2' || serviceCode[0] == u'6');
}

bool luhnValid(const QString &digits)
{
    int sum = 0;
    bool twice = false;
    for (qsizetype i = digits.size() - 1; i >= 0; --i, twice = !twice) {
        int d = digitValue(digits[i]);
        if (d < 0)
            return false;
        if (twice && (d *= 2) > 9)
            d -= 9;
        sum += d;
    }
    return !digits.isEmpty() && sum % 10 == 0;
}

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
        if (!isAsciiDigit(shown[i])) {
            ++i;
            continue;
        }
        const qsizetype start = i;
        qsizetype end = i;
        int digits = 0;
        bool grouped = false;
        while (i < shown.size()) {
            if (isAsciiDigit(shown[i])) {
                ++digits;
                end = ++i;
                continue;
            }
            qsizetype next = i;
            while (next < shown.size() && isSeparator(shown[next]))
                ++next;
            if (next == i || next == shown.size() || !isAsciiDigit(shown[next]))
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

QString serviceDigitMeaning(int position, QChar digit)
{
    static const char *const first[10] = {
        nullptr, "international", "international, chip", nullptr,
        nullptr, "national only", "national only, chip", "private",
        nullptr, "test"};
    static const char *const second[10] = {"normal authorisation", nullptr, "online by issuer",
                                           nullptr, "online by issuer unless bilateral agreement"};
    static const char *const third[10] = {"no restrictions, PIN required",
                                          "no restrictions",
                                          "goods and services only",
                                          "ATM only, PIN required",
                                          "cash only",
                                          "goods and services only, PIN required",
                                          "no restrictions, PIN where feasible",
                                          "goods and services only, PIN where feasible"};
    static const char *const *const tables[3] = {first, second, third};
    const int d = digitValue(digit);
    const char *meaning = position >= 0 && position < 3 && d >= 0 ? tables[position][d] : nullptr;
    return QLatin1String(meaning ? meaning : "reserved");
}

CardFields parseCard(const Tracks &tracks, QDate today, bool keepName)
{
    const std::optional<TrackFields> one = parseTrack1(tracks.track1);
    const std::optional<TrackFields> two = parseTrack2(tracks.track2);
    CardFields card;
    if (!tracks.track1.isEmpty() && !tracks.track2.isEmpty() && (one || two)) {
        if (!one || !two) {
            card.disagreeOn << QStringLiteral("layout");
        } else {
            if (one->pan != two->pan)
                card.disagreeOn << QStringLiteral("pan");
            if (one->expiry != two->expiry)
                card.disagreeOn << QStringLiteral("expiry");
            if (!one->serviceCode.isEmpty() && !two->serviceCode.isEmpty() &&
                one->serviceCode != two->serviceCode)
                card.disagreeOn << QStringLiteral("service_code");
        }
        card.tracksAgree = card.disagreeOn.isEmpty();
    }
    if (one)
        card.tracks << 1;
    if (two)
        card.tracks << 2;
    const std::optional<TrackFields> &main = two ? two : one;
    if (!main)
        return card;

    card.pan = main->pan;
    card.luhn = luhnValid(card.pan);
    card.expiry = main->expiry;
    card.serviceCode = main->serviceCode;
    if (!card.expiry.isEmpty()) {
        const int month = QStringView(card.expiry).sliced(2).toInt();
        if (month >= 1 && month <= 12) {
            card.expiryMonth = month;
            card.expiryYear = fullYear(QStringView(card.expiry).first(2).toInt(), today);
            card.expired = today.year() * 12 + today.month() > card.expiryYear * 12 + month;
        }
    }
    if (one) {
        card.nameLength = int(one->name.size());
        if (keepName)
            card.name = one->name;
    }
    return card;
}

QString fieldsLine(const CardFields &card, bool showData)
{
    const QString indent = QStringLiteral("    ");
    if (!card.financial())
        return indent + QLatin1String("not a financial card layout");
    QStringList parts;
    parts << QStringLiteral("number %1 (%2 digits, Luhn %3)")
                 .arg(showData ? card.pan : maskTrack(2, card.pan))
                 .arg(card.pan.size())
                 .arg(QLatin1String(card.luhn ? "ok" : "failed"));
    if (card.expiry.isEmpty())
        parts << QStringLiteral("no expiry");
    else if (card.expiryMonth == 0)
        parts << QStringLiteral("expiry %1 is not a month").arg(card.expiry);
    else
        parts << QStringLiteral("expiry %1 %2")
                     .arg(expiryText(card), QLatin1String(card.expired ? "expired" : "valid"));
    if (card.serviceCode.isEmpty()) {
        parts << QStringLiteral("no service code");
    } else {
        QStringList meanings;
        for (int i = 0; i < 3; ++i)
            meanings << serviceDigitMeaning(i, card.serviceCode[i]);
        parts << QStringLiteral("service code %1 (%2)")
                     .arg(card.serviceCode, meanings.join(QLatin1String(" / ")));
        if (card.chip())
            parts << QStringLiteral("chip card: ask for the chip");
    }
    if (nameShown(card, showData))
        parts << QStringLiteral("name \"%1\" (%2 characters)").arg(card.name).arg(card.nameLength);
    else if (card.nameLength >= 0)
        parts << QStringLiteral("name %1 characters").arg(card.nameLength);
    if (!card.tracksAgree)
        parts << QStringLiteral("track %1 only").arg(card.tracks.first());
    else if (*card.tracksAgree)
        parts << QStringLiteral("tracks 1 and 2 agree");
    else if (card.disagreeOn == QStringList{QStringLiteral("layout")})
        parts << QStringLiteral("track %1 is not a financial card layout")
                     .arg(card.tracks.first() == 1 ? 2 : 1);
    else
        parts << QStringLiteral("tracks 1 and 2 disagree on %1").arg(inWords(card.disagreeOn));
    return indent + parts.join(QLatin1String("; "));
}

QJsonObject fieldsJson(const CardFields &card, bool showData)
{
    if (!card.financial())
        return {{"layout", "not a financial card layout"}};
    QJsonObject out{
        {"layout", "financial"},
        {"tracks", QJsonArray::fromVariantList({card.tracks.begin(), card.tracks.end()})},
        {"pan", showData ? card.pan : maskTrack(2, card.pan)},
        {"pan_length", card.pan.size()},
        {"luhn", card.luhn}};
    if (card.expiryMonth) {
        out.insert("expiry", expiryText(card));
        out.insert("expired", card.expired);
    } else if (!card.expiry.isEmpty()) {
        out.insert("bad_expiry", card.expiry);
    }
    if (!card.serviceCode.isEmpty()) {
        out.insert("service_code", card.serviceCode);
        QJsonArray meanings;
        for (int i = 0; i < 3; ++i)
            meanings.append(serviceDigitMeaning(i, card.serviceCode[i]));
        out.insert("service", meanings);
        out.insert("chip", card.chip());
    }
    if (card.nameLength >= 0) {
        out.insert("name_length", card.nameLength);
        if (nameShown(card, showData))
            out.insert("name", card.name);
    }
    if (card.tracksAgree) {
        out.insert("tracks_agree", *card.tracksAgree);
        if (!*card.tracksAgree)
            out.insert("disagree", QJsonArray::fromStringList(card.disagreeOn));
    }
    return out;
}

} // namespace cardfields
