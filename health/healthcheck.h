// SPDX-License-Identifier: MIT
// Is this reader good? N swipes of a known card in, read rates per track,
// the errors by kind, reads that passed every check but hold the wrong
// characters, and a verdict in plain words out. Pure: the caller collects the
// swipes as the control reported them and writes the reports.
#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <optional>

namespace health {

// The kinds of read error, in the order every report lists them.
enum Kind { Start, End, Parity, Lrc, Other };
inline constexpr int kKinds = 5;
// 201 start sentinel, 202 end sentinel, 203 parity, 204 LRC, anything else other.
Kind kindOf(int code);
// "start", "end", "parity", "lrc", "other": the JSON keys.
QString kindKey(Kind kind);
// "start sentinel", "end sentinel", "parity", "LRC", "other": for sentences.
QString kindName(Kind kind);

// One track of one swipe as the control reported it: the error code (0 for a
// good read) and the text read, which a failed track may still carry.
struct TrackRead {
    int code = 0;
    QString text;
};
using Swipe = std::array<TrackRead, 3>;

// The card as it should read: the tracks it carries, each with its text.
using Card = std::array<std::optional<QString>, 3>;

// The reader as the device list names it.
struct Reader {
    QString name;
    QString kind;
    QString path;                    // the device= node, empty for virtual and hid match=
    QString usb;                     // "VVVV:PPPP" where known
    QMap<QString, QString> settings; // the list's KEY=VALUE options but device=
};

struct Input {
    QList<Swipe> swipes;
    std::optional<Card> expected; // the test card; without it the first full read
    double minRate = 0.9;
    int asked = 0;   // swipes asked for
    QString stopped; // why it ended before asked: "timeout" or "interrupted"; empty if not
    double seconds = 0;
    QDateTime started;
    QString ticket;
    Reader reader;
};

struct TrackFigures {
    int track = 0;        // 1 to 3
    bool carried = false; // the card has this track
    int good = 0;         // passed every check and read as the card holds
    int mismatches = 0;   // passed every check but differs from the card
    int missing = 0;      // no data although the card carries the track
    std::array<int, kKinds> errors{};
    int characters = 0; // the track's length as read
    double rate = 0;    // good / swipes
    int failed() const; // errors of every kind
};

struct Result {
    bool pass = false;
    int swipes = 0;
    int needed = 0; // good reads a track needs to pass
    QStringList reasons;
    QStringList notes;      // what the figures rest on, and an early end
    int referenceSwipe = 0; // the first full read, counting from 1; 0 with --expect or none
    std::array<TrackFigures, 3> tracks;
    QString sample; // one swipe as a reader types it, masked
};

// Hides what a report must not show: card numbers, the cardholder's name.
using Mask = std::function<QString(int track, const QString &text)>;

Result evaluate(const Input &input, const Mask &mask);

} // namespace health
