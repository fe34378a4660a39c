// SPDX-License-Identifier: MIT
#pragma once

// What a payment card's tracks say, as opposed to how their bits are written
// (that is codec/). The input is each track's text as the control reports it:
// between the sentinels, without the LRC; a track that failed to read is
// passed empty.
//
// Two layouts are read, and only these:
//   track 1 format B  B PAN ^ NAME ^ YYMM SSS DISCRETIONARY
//   track 2           PAN = YYMM SSS DISCRETIONARY
// PAN is 12 to 19 digits (track 1 may space them out), NAME up to 26
// characters. Expiry and service code may be skipped with the separator, and
// the track may end after any field, as real cards do. Anything else (track 1
// format A or another format code, track 3, a loyalty card, text that does not
// fit) is "not a financial card layout" and gives no fields.

#include <QDate>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace cardfields {

struct Tracks {
    QString track1, track2, track3;
};

struct CardFields {
    // The tracks the fields came from (1, 2 or both); empty when neither
    // track holds a financial card layout.
    QList<int> tracks;
    QString pan; // digits only
    bool luhn = false;
    QString expiry;       // YYMM as written; empty when the card has none
    int expiryYear = 0;   // four digits; 0 when `expiry` is not a real month
    int expiryMonth = 0;  // 1..12; 0 as above
    bool expired = false; // meaningful only with expiryMonth
    QString serviceCode;  // three digits; empty when the card has none
    int nameLength = -1;  // -1 without a track 1 format B
    QString name;         // only when parsed with keepName
    // Whether tracks 1 and 2 tell the same story; unset unless both carry
    // text. What they differ on: "layout", "pan", "expiry", "service_code".
    std::optional<bool> tracksAgree;
    QStringList disagreeOn;

    bool financial() const { return !tracks.isEmpty(); }
    bool chip() const;
};

// `today` is the caller's local date: a card is valid through the last day of
// its expiry month. The cardholder's name is kept, beyond its length, only
// with keepName. When both tracks hold a financial layout, track 2 (the one a
// till sends for authorisation) gives the number, expiry and service code and
// track 1 the name.
CardFields parseCard(const Tracks &tracks, QDate today, bool keepName = false);

// One line for a watch's text output, indented by four spaces, no newline.
// The number is masked and the name only counted unless showData (and the name
// was kept).
QString fieldsLine(const CardFields &card, bool showData);

// The same as a JSON object. Always "layout": "financial" or "not a financial
// card layout"; a field the card lacks is absent. Keys: "tracks" [1, 2],
// "pan" (masked unless showData), "pan_length", "luhn", "expiry" ("2029-12")
// and "expired" for a real month, else "bad_expiry" ("2913", as written),
// "service_code" ("201") with "service" (the three digits' meanings) and
// "chip", "name_length" (and "name" with showData), "tracks_agree" and, when
// false, "disagree" (what differs).
QJsonObject fieldsJson(const CardFields &card, bool showData);

// The meaning of a service-code digit at position 0, 1 or 2, in short words;
// "reserved" for a digit without one.
QString serviceDigitMeaning(int position, QChar digit);

// The track as it may be pasted into a ticket: every run of 12 to 19 digits
// (a card number's length), spaces and dashes between its digits allowed,
// keeps its first six and last four digits and the rest become '*'; so does
// a longer run written in groups, where a card number may sit beside other
// digits. On track 1 the cardholder's name (from the first '^' to the next
// or the end) becomes "<name, N characters>". Everything else is left alone.
// Every masked number this program prints goes through here.
QString maskTrack(int track, const QString &text);

bool luhnValid(const QString &digits);

} // namespace cardfields
