#include "tools/feeder/cardoptions.h"

#include "reader/runtimepaths.h"
#include "reader/swipeprotocol.h"

#include <QCommandLineParser>

namespace feeder {

namespace {

constexpr std::array<SampleCard, 5> kSampleCards = {{
    {"test",
     "a test card: track 1 format B and track 2",
     {"B4111111111111111^TEST/CARD^29121010000000000000", "4111111111111111=29121010000000000000",
      ""}},
    {"full",
     "all three tracks, track 3 in the financial layout",
     {"B5500000000000004^TEST/THREE TRACKS^30011010000000000000",
      "5500000000000004=30011010000000000000",
      "015500000000000004=724724100000000000030300000000040400099010=000000000000000000000==1="
      "0000000000"}},
    {"gift", "track 2 only, like a gift or loyalty card", {"", "9990001234567890123=49120000", ""}},
    {"long",
     "every track filled to the last character it holds",
     {"B4111111111111111^TEST/LONGEST NAME ON TRACK ONE^291210100000000000000000000",
      "4111111111111111=29121010000000000000",
      "014111111111111111=724724100000000000030300000000040400099010="
      "000000000000000000000000000000000000000000"}},
    {"blank", "nothing on the stripe", {"", "", ""}},
}};

// "N:REST" with N a track number; nullopt when the shape is wrong.
std::optional<std::pair<int, QString>> trackAndValue(const QString &argument)
{
    const qsizetype colon = argument.indexOf(QLatin1Char(':'));
    if (colon != 1 || argument[0] < QLatin1Char('1') || argument[0] > QLatin1Char('3'))
        return std::nullopt;
    return std::pair{argument[0].digitValue() - 1, argument.mid(2)};
}

// Text copied from a reader's output keeps its sentinels; the codec wants
// what lies between them.
std::string withoutSentinels(int track, const QString &text)
{
    const QLatin1Char start(track == 0 ? '%' : ';');
    QString inner = text;
    if (inner.size() >= 2 && inner.startsWith(start) && inner.endsWith(QLatin1Char('?')))
        inner = inner.mid(1, inner.size() - 2);
    return inner.toStdString();
}

QString once(const QCommandLineParser &parser, const QString &name, QString *error)
{
    const QStringList values = parser.values(name);
    if (values.size() > 1 && error->isEmpty())
        *error = QStringLiteral("--%1 is given more than once").arg(name);
    return values.value(0);
}

} // namespace

std::span<const SampleCard> sampleCards()
{
    return kSampleCards;
}

ParsedOptions parseArguments(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QStringList trackNames = {QStringLiteral("track1"), QStringLiteral("track2"),
                                    QStringLiteral("track3")};
    for (const QString &name : trackNames)
        parser.addOption({name, {}, QStringLiteral("TEXT")});
    parser.addOption({QStringLiteral("damage"), {}, QStringLiteral("N:KIND")});
    parser.addOption({QStringLiteral("raw"), {}, QStringLiteral("N:BITS")});
    parser.addOption({QStringLiteral("reverse"), {}});
    parser.addOption({QStringLiteral("repeat"), {}, QStringLiteral("K")});
    parser.addOption({QStringLiteral("wait"), {}});
    parser.addOption({QStringLiteral("timeout"), {}, QStringLiteral("SECONDS")});
    parser.addOption({QStringLiteral("device"), {}, QStringLiteral("NAME")});
    parser.addOption({QStringLiteral("card"), {}, QStringLiteral("NAME")});
    parser.addOption({{QStringLiteral("h"), QStringLiteral("help")}, {}});

    ParsedOptions out;
    if (!parser.parse(QStringList{QStringLiteral("msrswipe")} + arguments)) {
        out.error = parser.errorText();
        return out;
    }
    if (!parser.positionalArguments().isEmpty()) {
        out.error = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]);
        return out;
    }
    Options options;
    if (parser.isSet(QStringLiteral("help"))) {
        options.help = true;
        out.options = options;
        return out;
    }

    QString error;
    Card &card = options.card;
    bool anything = false;
    if (parser.isSet(QStringLiteral("card"))) {
        const QString name = once(parser, QStringLiteral("card"), &error);
        const auto sample =
            std::find_if(kSampleCards.begin(), kSampleCards.end(),
                         [&](const SampleCard &c) { return name == c.name.data(); });
        if (sample == kSampleCards.end()) {
            QStringList known;
            for (const SampleCard &c : kSampleCards)
                known << QString::fromLatin1(c.name.data());
            out.error = QStringLiteral("there is no card '%1': the cards are %2")
                            .arg(name, known.join(QStringLiteral(", ")));
            return out;
        }
        for (std::size_t t = 0; t < 3; ++t) {
            if (!sample->tracks[t].empty())
                card.text[t] = std::string(sample->tracks[t]);
        }
        anything = true;
    }
    std::array<bool, 3> explicitText{};
    for (std::size_t t = 0; t < 3; ++t) {
        if (parser.isSet(trackNames[int(t)])) {
            card.text[t] = withoutSentinels(int(t), once(parser, trackNames[int(t)], &error));
            explicitText[t] = true;
            anything = true;
        }
    }
    for (const QString &value : parser.values(QStringLiteral("raw"))) {
        const auto raw = trackAndValue(value);
        const auto isBit = [](QChar c) { return c == QLatin1Char('0') || c == QLatin1Char('1'); };
        if (!raw || !std::all_of(raw->second.cbegin(), raw->second.cend(), isBit)) {
            out.error = QStringLiteral("--raw takes TRACK:BITS, a track from 1 to 3 and bits 0 or "
                                       "1, not '%1'")
                            .arg(value);
            return out;
        }
        const auto t = std::size_t(raw->first);
        if (explicitText[t] || card.raw[t]) {
            out.error = QStringLiteral("track %1 is given more than once").arg(t + 1);
            return out;
        }
        if (std::size_t(raw->second.size()) > msr::protocol::kMaxTrackBits) {
            out.error = QStringLiteral("--raw %1 has %2 bits; a track takes at most %3")
                            .arg(t + 1)
                            .arg(raw->second.size())
                            .arg(msr::protocol::kMaxTrackBits);
            return out;
        }
        stripe::Bits bits;
        for (QChar c : raw->second)
            bits.push_back(c == QLatin1Char('1') ? 1 : 0);
        card.text[t].reset(); // raw bits replace a sample card's track
        card.raw[t] = std::move(bits);
        anything = true;
    }
    std::array<bool, 3> damaged{};
    for (const QString &value : parser.values(QStringLiteral("damage"))) {
        const auto damage = trackAndValue(value);
        const auto kind =
            damage ? stripe::damageFromName(damage->second.toStdString()) : std::nullopt;
        if (!kind || *kind == stripe::Damage::None) {
            out.error = QStringLiteral("--damage takes TRACK:KIND, a track from 1 to 3 and a kind "
                                       "of start, end, parity, lrc or other, not '%1'")
                            .arg(value);
            return out;
        }
        const auto t = std::size_t(damage->first);
        if (damaged[t]) {
            out.error = QStringLiteral("track %1 is damaged more than once").arg(t + 1);
            return out;
        }
        damaged[t] = true;
        card.damage[t] = *kind;
    }
    card.reverse = parser.isSet(QStringLiteral("reverse"));
    options.wait = parser.isSet(QStringLiteral("wait"));

    if (parser.isSet(QStringLiteral("repeat"))) {
        bool ok = false;
        options.repeat = once(parser, QStringLiteral("repeat"), &error).toInt(&ok);
        if (!ok || options.repeat < 1 || options.repeat > kMaxRepeat) {
            out.error =
                QStringLiteral("--repeat takes a whole number from 1 to %1").arg(kMaxRepeat);
            return out;
        }
    }
    if (parser.isSet(QStringLiteral("device"))) {
        options.device = once(parser, QStringLiteral("device"), &error);
        if (!msr::isValidDeviceName(options.device)) {
            out.error = QStringLiteral("'%1' is not a device name: use letters, digits, '_', '-' "
                                       "and '.'")
                            .arg(msr::protocol::printable(options.device));
            return out;
        }
    }
    if (parser.isSet(QStringLiteral("timeout"))) {
        bool ok = false;
        const double seconds = once(parser, QStringLiteral("timeout"), &error).toDouble(&ok);
        if (!ok || !(seconds > 0) || seconds > kMaxTimeoutSeconds) {
            out.error = QStringLiteral("--timeout takes a number of seconds, more than 0 and at "
                                       "most %1")
                            .arg(kMaxTimeoutSeconds);
            return out;
        }
        options.timeoutMs = std::max(1, int(seconds * 1000));
    }
    if (!error.isEmpty()) {
        out.error = error;
        return out;
    }
    if (!anything) {
        out.error = QStringLiteral("nothing to swipe: give --card, --track1/2/3 or --raw "
                                   "(see --help)");
        return out;
    }
    out.options = std::move(options);
    return out;
}

BuiltSwipe buildSwipe(const Card &card)
{
    BuiltSwipe out;
    for (std::size_t t = 0; t < 3; ++t) {
        const int track = int(t) + 1;
        if (card.damage[t] != stripe::Damage::None && !card.text[t]) {
            out.error = card.raw[t]
                            ? QStringLiteral("track %1 is raw bits, which are sent as they "
                                             "are: damage a track given as text")
                                  .arg(track)
                            : QStringLiteral("track %1 has nothing on it to damage").arg(track);
            return out;
        }
        stripe::Bits bits;
        if (card.text[t]) {
            stripe::Encoded encoded = stripe::encodeTrack(track, *card.text[t], card.damage[t]);
            if (!encoded.ok()) {
                out.error = QString::fromStdString(encoded.error);
                return out;
            }
            bits = std::move(encoded.bits);
        } else if (card.raw[t]) {
            bits = *card.raw[t];
        }
        out.tracks[t] = card.reverse ? stripe::reversed(std::move(bits)) : std::move(bits);
    }
    return out;
}

QString helpText()
{
    QString cards;
    for (const SampleCard &card : kSampleCards)
        cards += QStringLiteral("  %1  %2\n")
                     .arg(QString::fromLatin1(card.name.data()).leftJustified(8),
                          QString::fromLatin1(card.summary.data()));
    return QStringLiteral(
               "Usage: msrswipe [OPTIONS]\n"
               "Swipes a card through the virtual reader of a running swipewatch, bit for bit\n"
               "as a magnetic stripe is written and read.\n"
               "\n"
               "The card:\n"
               "  --card NAME      start from a built-in card (below); the options that\n"
               "                   follow change it\n"
               "  --track1 TEXT    track 1 between its sentinels: space to '_', no lowercase\n"
               "  --track2 TEXT    track 2 between its sentinels: 0-9 : < = >\n"
               "  --track3 TEXT    track 3, the same characters as track 2\n"
               "                   (sentinels around TEXT, as in %...? or ;...?, are dropped)\n"
               "  --raw N:BITS     track N as raw bits, 0 and 1, in the order the head\n"
               "                   senses them; sent as they are\n"
               "  --damage N:KIND  write a fault into text track N so the reader reports it:\n"
               "                   start, end, parity, lrc or other; repeat for more tracks\n"
               "  --reverse        swipe the card backwards (every track, raw ones too)\n"
               "\n"
               "The swipe:\n"
               "  --device NAME    the logical device to swipe into (default MCRSTUBEX)\n"
               "  --repeat K       swipe K times: as one burst, faster than the window\n"
               "                   takes them; with --wait, one after another\n"
               "  --wait           answer only once the window has handled the swipe\n"
               "  --timeout SECONDS\n"
               "                   give up when the window has not answered every swipe\n"
               "                   within this many seconds (default 10)\n"
               "  -h, --help       show this help\n"
               "\n"
               "Built-in cards:\n"
               "%1"
               "\n"
               "Examples:\n"
               "  msrswipe --card test\n"
               "  msrswipe --card test --damage 2:parity --wait\n"
               "  msrswipe --track2 '4111111111111111=29121010000000000000' --reverse\n"
               "  msrswipe --card full --raw 3:000000011010000000   (noise on track 3)\n"
               "  msrswipe --card gift --repeat 300   (a burst longer than the reader's queue)\n"
               "  msrswipe --device COUNTER2 --card blank\n"
               "\n"
               "Exit status: 0 when every swipe was accepted (delivered, with --wait);\n"
               "1 when the reader refused any; 2 for bad options or text a track cannot\n"
               "hold; 3 when no reader listens, the connection fails or is refused, or\n"
               "the window does not answer in time.\n")
        .arg(cards);
}

} // namespace feeder
