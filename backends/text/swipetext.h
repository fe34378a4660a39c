// SPDX-License-Identifier: MIT
// Readers that send the card as text (keyboard-type and serial readers) and
// how that text becomes three tracks and their read errors. Pure functions
// over bytes: the services feed them what they read.
//
// What a reader sends
//   By default '%' track 1 '?', ';' track 2 '?', '+' track 3 '?', then CR.
//   A ';' after track 2 has started opens track 3 (readers that use ';' for
//   both). Tracks may come in any order, each at most once.
//   STX, ETX, ESC, DLE, CR and LF outside a track are framing and dropped (so
//   is any other control character there), so
//   "STX ESC %..? CR ETX", a CR (or CR LF) after every track and
//   "STX SS..ES DLE ... ETX" all read the same.
//
// Read errors per track
//   205  the data is the single letter E (the reader's mark for a track it
//        could not read), a character the track cannot hold (track 1: ' '..'_'
//        but '%'; tracks 2 and 3: '0'..'?' but ';'), more characters than the
//        track holds (79, 40 and 107 with both sentinels and the LRC, so 76,
//        37 and 104 between them), or a track sent twice
//   201  text that starts without a start sentinel; it belongs to the track
//        after the last one opened, or, at the start of the card, to track 1
//        when it begins with a letter (the format code) and to track 2 if not
//   202  a track cut off before its end sentinel: by a control character (a
//        CR, say) or by the end of the swipe
//   204  lrc=yes and the character after the end sentinel is not the track's
//        LRC (stripe::lrcChar over start sentinel, data, end sentinel), or is
//        missing; an E track's LRC is taken only when it matches
//   A track the card does not have is good and empty. The first fault in
//   reading order is the one reported.
//
// Where a swipe ends (SwipeAssembler)
//   - at a CR or LF that ends a line holding two or more tracks, or track 3:
//     nothing more can follow, so the default framing is reported at once;
//   - at an ETX once the swipe has opened a track;
//   - otherwise when the idle gap passes with no more bytes (flush()): a line
//     with one track may be a reader that ends every track with CR, or one
//     that sends no CR at all;
//   - at 1000 bytes: the swipe is cut there and reported with 205 on every
//     track it touched; the rest of it, up to the next CR, LF, ETX or idle
//     gap, is dropped.
//   A swipe marked damaged (keystrokes lost, or the reader went away during
//   it) is reported with 205 on every track it touched, or on all three if it
//   touched none. Bytes that hold no track (only framing) are no swipe.
#pragma once

#include "reader/msrservice.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <array>

namespace msr {

struct TextFormat {
    bool lrc = false; // the reader sends an LRC character after each end sentinel
};

struct ParsedText {
    SwipeRead read;
    std::array<bool, 3> touched{}; // the text opened the track, with or without a sentinel
    // The text ends with a CR or LF that ends a line holding two or more
    // tracks, or track 3.
    bool endsCard = false;
};

// One swipe's text.
ParsedText parseSwipeText(QByteArrayView text, const TextFormat &format = {});

struct TextSwipe {
    QByteArray text; // as received, for a probe to echo
    SwipeRead read;
};

// Bytes in as they arrive, whole swipes out.
class SwipeAssembler {
public:
    static constexpr qsizetype kMaxSwipeBytes = 1000;

    explicit SwipeAssembler(TextFormat format = {}) : m_format(format) {}

    QList<TextSwipe> feed(QByteArrayView bytes);
    // The idle gap passed: what is pending is a whole swipe, if anything.
    QList<TextSwipe> flush();
    // Keystrokes were lost: the swipe in progress, or else the next one.
    void markDamaged();
    // The port has just opened: a first line without any sentinel is the
    // reader's sign-on text, not a card.
    void expectSignOn() { m_signOn = true; }
    // Bytes or a damage mark wait for the end of a swipe; the idle gap should run.
    bool pending() const { return !m_text.isEmpty() || m_damaged || m_discarding; }
    void clear();

private:
    // Hands out the pending text, parsed, as a swipe.
    TextSwipe finish(ParsedText parsed, bool cut);

    TextFormat m_format;
    QByteArray m_text;
    bool m_damaged = false;
    bool m_discarding = false; // after a cut: drop up to the swipe's end
    bool m_signOn = false;
};

} // namespace msr
