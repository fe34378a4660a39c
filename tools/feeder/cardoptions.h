// SPDX-License-Identifier: MIT
// What msrswipe is asked to swipe: its command line, the built-in sample
// cards, and the bits each track gets written with.
#pragma once

#include "codec/stripecodec.h"

#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace feeder {

enum ExitCode : int {
    ExitOk = 0,
    ExitRefused = 1,  // the reader refused a swipe
    ExitBadInput = 2, // bad options, or text a track cannot hold
    ExitNoReader = 3, // nobody listening, the connection failed or was refused, no answer in time
};

struct SampleCard {
    std::string_view name;
    std::string_view summary;
    std::array<std::string_view, 3> tracks; // empty: nothing on that track
};
std::span<const SampleCard> sampleCards();

struct Card {
    // A track has text, raw bits, or nothing.
    std::array<std::optional<std::string>, 3> text;
    std::array<std::optional<stripe::Bits>, 3> raw;
    std::array<stripe::Damage, 3> damage{stripe::Damage::None, stripe::Damage::None,
                                         stripe::Damage::None};
    bool reverse = false;
    friend bool operator==(const Card &, const Card &) = default;
};

// --damage-rate: the chance that a swipe gets this damage on this track.
struct DamageRate {
    int track = 0; // from 0
    stripe::Damage damage = stripe::Damage::None;
    double chance = 0;
    friend bool operator==(const DamageRate &, const DamageRate &) = default;
};

struct Options {
    QString device = QStringLiteral("MCRSTUBEX");
    Card card;
    int repeat = 1;
    bool wait = false;
    int timeoutMs = 10000; // for the whole exchange
    QString file;          // swipe the cards in it, one a line; "-" is standard input
    std::vector<DamageRate> damageRates;
    std::optional<quint64> seed; // for damageRates; drawn when not given
    bool help = false;
    bool version = false;
    friend bool operator==(const Options &, const Options &) = default;
};

struct ParsedOptions {
    std::optional<Options> options;
    QString error; // one sentence, when options is empty
};

inline constexpr int kMaxRepeat = 100000;
inline constexpr int kMaxTimeoutSeconds = 86400;
// Most swipes in one run, from --repeat and --file together.
inline constexpr int kMaxSwipes = kMaxRepeat;
// Most bytes read from --file, standard input included: tens of thousands of cards.
inline constexpr qsizetype kMaxFileBytes = 4 << 20;

// arguments without the program name.
ParsedOptions parseArguments(const QStringList &arguments);
QString helpText();

// One line of the text a keyboard-type reader types for a card: %...? for
// track 1, ;...? for track 2, +...? (or ;...? after track 2) for track 3,
// each one optional, in that order.
struct ReaderLine {
    int line = 0; // counting from 1
    std::array<std::optional<std::string>, 3> tracks;
};
struct ReaderText {
    std::vector<ReaderLine> cards; // empty lines and '#' lines skipped
    int errorLine = 0;
    QString error; // set, with errorLine, when a line is not such text
};
// firstLine is the number of text's first line, for text read a piece at a time.
ReaderText parseReaderText(QByteArrayView text, int firstLine = 1);

struct BuiltSwipe {
    std::array<stripe::Bits, 3> tracks;
    QString error; // the codec's message when a track cannot be written
    bool ok() const { return error.isEmpty(); }
};
BuiltSwipe buildSwipe(const Card &card);

// The damage each of count swipes gets from rates, drawn with a generator
// seeded with seed, so one seed gives one run on any machine. A track draws
// once per swipe; its rates' chances add up to at most 1.
std::vector<std::array<stripe::Damage, 3>> drawDamage(const std::vector<DamageRate> &rates,
                                                      quint64 seed, int count);

} // namespace feeder
