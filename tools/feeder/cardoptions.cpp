// SPDX-License-Identifier: MIT
#include "tools/feeder/cardoptions.h"

#include "backends/virtual/swipeprotocol.h"
#include "reader/runtimepaths.h"

#include <QCommandLineParser>

#include <limits>
#include <random>

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

// Before short options, "-card" meant --card; a single-dash word naming a
// long option still does. Everything else after one dash is short letters
// ("-wn3"), and values are left alone, even those starting with a dash.
QStringList dashedLongWords(QStringList arguments, const QList<QCommandLineOption> &known)
{
    const auto find = [&known](const QString &name) -> const QCommandLineOption * {
        for (const QCommandLineOption &option : known) {
            if (option.names().contains(name))
                return &option;
        }
        return nullptr;
    };
    const auto takesValue = [&find](const QString &name) {
        const QCommandLineOption *option = find(name);
        return option && !option->valueName().isEmpty();
    };
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString &word = arguments[i];
        if (word == QLatin1String("--"))
            break;
        if (!word.startsWith(QLatin1Char('-')) || word.size() < 2)
            continue;
        const bool dashes = word.startsWith(QLatin1String("--"));
        const QString name = word.mid(dashes ? 2 : 1).section(QLatin1Char('='), 0, 0);
        if (dashes || (name.size() > 1 && find(name))) {
            if (!dashes)
                word.prepend(QLatin1Char('-'));
            i += takesValue(name) && !word.contains(QLatin1Char('='));
            continue;
        }
        // Short letters: the first that takes a value takes the rest of the
        // word, or the next word when it is last.
        for (qsizetype c = 1; c < word.size(); ++c) {
            if (takesValue(word.at(c))) {
                i += c + 1 == word.size();
                break;
            }
        }
    }
    return arguments;
}

// One reader line into its tracks; the reason when it is not such a line.
QString splitTracks(QByteArrayView line, std::array<std::optional<std::string>, 3> &tracks)
{
    std::size_t next = 0; // the first track that may still come
    for (qsizetype at = 0; at < line.size();) {
        const char c = line[at];
        const std::size_t t = c == '%' ? 0 : c == '+' || (c == ';' && next == 2) ? 2 : 1;
        const QString where = QStringLiteral("'%1' at column %2")
                                  .arg(msr::printable(QString::fromLatin1(&c, 1)))
                                  .arg(at + 1);
        if (c != '%' && c != ';' && c != '+')
            return where + QStringLiteral(" starts no track: a track starts with '%', ';' or '+'");
        if (t < next)
            return where + QStringLiteral(" starts track %1, which cannot follow track %2")
                               .arg(t + 1)
                               .arg(next);
        const qsizetype end = line.indexOf('?', at + 1);
        if (end < 0)
            return QStringLiteral("track %1 has no end sentinel '?'").arg(t + 1);
        const QByteArrayView text = line.sliced(at + 1, end - at - 1);
        if (text == "E")
            return QStringLiteral("track %1 is 'E', a reader's mark for a track it could not "
                                  "read, not card data")
                .arg(t + 1);
        tracks[t] = std::string(text.data(), std::size_t(text.size()));
        next = t + 1;
        at = end + 1;
    }
    return {};
}

} // namespace

std::span<const SampleCard> sampleCards()
{
    return kSampleCards;
}

ParsedOptions parseArguments(const QStringList &arguments)
{
    const QStringList trackNames = {QStringLiteral("track1"), QStringLiteral("track2"),
                                    QStringLiteral("track3")};
    const auto option = [](const QString &shortName, const char *name, const char *value = "") {
        QStringList names{QString::fromLatin1(name)};
        if (!shortName.isEmpty())
            names.prepend(shortName);
        return QCommandLineOption(names, {}, QString::fromLatin1(value));
    };
    QList<QCommandLineOption> known = {
        option("1", "track1", "TEXT"), option("2", "track2", "TEXT"),
        option("3", "track3", "TEXT"), option("d", "damage", "N:KIND"),
        option({}, "raw", "N:BITS"),   option({}, "reverse"),
        option("f", "file", "FILE"),   option("n", "repeat", "K"),
        option("w", "wait"),           option({}, "timeout", "SECONDS"),
        option("D", "device", "NAME"), option({}, "card", "NAME"),
        option("h", "help"),           option({}, "version"),
    };
    known << option({}, "damage-rate", "N:KIND:P") << option({}, "seed", "S");
    QCommandLineParser parser;
    parser.addOptions(known);

    ParsedOptions out;
    if (!parser.parse(QStringList{QStringLiteral("msrswipe")} +
                      dashedLongWords(arguments, known))) {
        out.error = parser.errorText();
        return out;
    }
    if (!parser.positionalArguments().isEmpty()) {
        out.error = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]);
        return out;
    }
    Options options;
    options.help = parser.isSet(QStringLiteral("help"));
    options.version = parser.isSet(QStringLiteral("version"));
    if (options.help || options.version) {
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
    std::array<double, 3> chances{};
    for (const QString &value : parser.values(QStringLiteral("damage-rate"))) {
        const auto rate = trackAndValue(value);
        const QString kindName = rate ? rate->second.section(QLatin1Char(':'), 0, 0) : QString();
        const auto kind = stripe::damageFromName(kindName.toStdString());
        bool ok = false;
        const double chance = rate ? rate->second.section(QLatin1Char(':'), 1).toDouble(&ok) : 0;
        if (!kind || *kind == stripe::Damage::None || !ok || !(chance >= 0 && chance <= 1)) {
            out.error = QStringLiteral("--damage-rate takes TRACK:KIND:P, a track from 1 to 3, a "
                                       "kind of start, end, parity, lrc or other, and a chance "
                                       "from 0 to 1, not '%1'")
                            .arg(value);
            return out;
        }
        const auto t = std::size_t(rate->first);
        if (damaged[t]) {
            out.error = QStringLiteral("track %1 is damaged on every swipe by --damage: give it "
                                       "--damage or --damage-rate")
                            .arg(t + 1);
            return out;
        }
        chances[t] += chance;
        if (chances[t] > 1 + 1e-9) {
            out.error = QStringLiteral("the chances of --damage-rate on track %1 add up to more "
                                       "than 1")
                            .arg(t + 1);
            return out;
        }
        options.damageRates.push_back({int(t), *kind, chance});
    }
    if (parser.isSet(QStringLiteral("seed"))) {
        bool ok = false;
        options.seed = once(parser, QStringLiteral("seed"), &error).toULongLong(&ok);
        if (!ok) {
            out.error = QStringLiteral("--seed takes a whole number from 0 to %1")
                            .arg(std::numeric_limits<quint64>::max());
            return out;
        }
        if (options.damageRates.empty() && error.isEmpty())
            error = QStringLiteral("--seed goes with --damage-rate");
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
                            .arg(msr::printable(options.device));
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
    if (parser.isSet(QStringLiteral("file"))) {
        options.file = once(parser, QStringLiteral("file"), &error);
        if (anything && error.isEmpty())
            error = QStringLiteral("--file brings its own cards: give it without --card, "
                                   "--track1/2/3 and --raw");
        if (options.file.isEmpty() && error.isEmpty())
            error = QStringLiteral("--file takes a file name, or '-' for standard input");
        anything = true;
    }
    if (!error.isEmpty()) {
        out.error = error;
        return out;
    }
    if (!anything) {
        out.error = QStringLiteral("nothing to swipe: give --card, --track1/2/3, --raw or --file "
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

std::vector<std::array<stripe::Damage, 3>> drawDamage(const std::vector<DamageRate> &rates,
                                                      quint64 seed, int count)
{
    // The engine's output is fixed by the standard; the distributions' are
    // not, so the draw is done by hand.
    std::mt19937_64 engine(seed);
    std::vector<std::array<stripe::Damage, 3>> out(std::size_t(std::max(count, 0)));
    for (auto &swipe : out) {
        swipe.fill(stripe::Damage::None);
        for (int t = 0; t < 3; ++t) {
            const double draw = double(engine() >> 11) * 0x1.0p-53; // [0, 1)
            double below = 0;
            for (const DamageRate &rate : rates) {
                if (rate.track != t)
                    continue;
                below += rate.chance;
                if (draw < below) {
                    swipe[std::size_t(t)] = rate.damage;
                    break;
                }
            }
        }
    }
    return out;
}

ReaderText parseReaderText(QByteArrayView text, int firstLine)
{
    ReaderText out;
    int number = firstLine - 1;
    for (qsizetype start = 0; start < text.size();) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        // A reader ends a card with Enter, which some hosts turn into "\r\n".
        const QByteArrayView line = text.sliced(start, end - start).trimmed();
        start = end + 1;
        ++number;
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        ReaderLine card{number, {}};
        out.error = splitTracks(line, card.tracks);
        if (!out.error.isEmpty()) {
            out.errorLine = number;
            out.cards.clear();
            return out;
        }
        out.cards.push_back(std::move(card));
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
               "       msrswipe [OPTIONS] -f FILE\n"
               "Swipes a card through the virtual reader of a running swipewatch, bit for bit\n"
               "as a magnetic stripe is written and read.\n"
               "\n"
               "The card:\n"
               "  --card NAME          start from a built-in card (below); the options that\n"
               "                       follow change it\n"
               "  -1, --track1 TEXT    track 1 between its sentinels: space to '_', no lowercase\n"
               "  -2, --track2 TEXT    track 2 between its sentinels: 0-9 : < = >\n"
               "  -3, --track3 TEXT    track 3, the same characters as track 2\n"
               "                       (sentinels around TEXT, %...? or ;...?, are dropped)\n"
               "  --raw N:BITS         track N as raw bits, 0 and 1, in the order the head\n"
               "                       senses them; sent as they are\n"
               "  -d, --damage N:KIND  write a fault into text track N so the reader reports\n"
               "                       it: start, end, parity, lrc or other; repeat for more\n"
               "                       tracks\n"
               "  --damage-rate N:KIND:P  damage text track N with KIND on each swipe with\n"
               "                       chance P (0 to 1), drawn afresh for every swipe of\n"
               "                       --repeat and --file; repeat for more tracks or kinds;\n"
               "                       each answer then says what was sent, and a last line\n"
               "                       counts the damage\n"
               "  --seed S             draw --damage-rate from S, for a run that repeats\n"
               "                       (without it a seed is drawn and told)\n"
               "  --reverse            swipe the card backwards (every track, raw ones too)\n"
               "  -f, --file FILE      swipe the cards in FILE ('-' for standard input), one a\n"
               "                       line as a keyboard-type reader types them,\n"
               "                       %...?;...?+...? (empty lines and '#' lines skipped);\n"
               "                       each card takes --damage, --reverse and --repeat;\n"
               "                       from a pipe or a terminal, each line goes as it comes\n"
               "\n"
               "The swipe:\n"
               "  -D, --device NAME    the logical device to swipe into (default MCRSTUBEX)\n"
               "  -n, --repeat K       swipe K times: as one burst, faster than the window\n"
               "                       takes them; with --wait, one after another\n"
               "  -w, --wait           answer only once the window has handled the swipe\n"
               "  --timeout SECONDS    give up when the window has not answered every swipe\n"
               "                       within this many seconds (default 10)\n"
               "  -h, --help           show this help\n"
               "  --version            show the version\n"
               "\n"
               "Built-in cards:\n"
               "%1"
               "\n"
               "Examples:\n"
               "  msrswipe --card test\n"
               "  msrswipe --card test -d 2:parity -w\n"
               "  msrswipe -2 '4111111111111111=29121010000000000000' --reverse\n"
               "  msrswipe --card full --raw 3:000000011010000000   (noise on track 3)\n"
               "  msrswipe --card gift -n 300   (a burst longer than the reader's queue)\n"
               "  msrswipe -D COUNTER2 --card blank\n"
               "  msrswipe -w -f cards.txt   (a batch, as a reader typed it)\n"
               "  msrswipe --card test -n 20 --damage-rate 2:parity:0.3 --seed 1   (a worn head)\n"
               "\n"
               "Exit status: 0 when every swipe was accepted (delivered, with --wait);\n"
               "1 when the reader refused any, or the answers could not be written; 2 for\n"
               "bad options, a file that cannot be read or holds a line that is not a card,\n"
               "or text a track cannot hold; 3 when no reader listens, the connection fails\n"
               "or is refused, or the window does not answer in time.\n")
        .arg(cards);
}

} // namespace feeder
