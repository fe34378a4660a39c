// SPDX-License-Identifier: MIT
// Readers that send the card as text (keyboard-type and serial readers) and
// how that text becomes three tracks and their read errors. Pure functions
// over bytes: the services feed them what they read.
//
// What a reader sends
//   By default '%' track 1 '?', ';' track 2 '?', '+' track 3 '?', then CR.
//   A ';' opens track 2 unless a track 2 opened by its own ';' came before it
//   in the swipe; then it opens track 3 (readers that use ';' for both).
//   Tracks may come in any order, each at most once.
//   STX, ETX, ESC, DLE, CR and LF outside a track are framing and dropped (so
//   is any other control character there), so
//   "STX ESC %..? CR ETX", a CR (or CR LF) after every track and
//   "STX SS..ES DLE ... ETX" all read the same.
//
// Noise
//   Other text outside any sentinel (a stray key, line noise, the tail of a
//   swipe cut by the idle gap) is noise: it opens no track, spoils none, and
//   never decides which track a later start sentinel opens. It is counted,
//   and the services say on standard error how many bytes they ignored, one
//   line per swipe or stretch of noise. Noise alone is no swipe.
//   The one exception: text that ends at an end sentinel '?' is a track that
//   lost its start sentinel (201), if it has at least one character, it is
//   not past track 3, and the same track does not come framed by its start
//   sentinel in the swipe (the framed one is read, the piece is noise). Its
//   track is the one after the track read before it, or, at the start of the
//   card, track 1 when it begins with a letter (the format code) and track 2
//   if not.
//
// Read errors per track
//   205  the data is the single letter E (the reader's mark for a track it
//        could not read), a character the track cannot hold (track 1: ' '..'_'
//        but '%'; tracks 2 and 3: '0'..'?' but ';'), more characters than the
//        track holds (79, 40 and 107 with both sentinels and the LRC, so 76,
//        37 and 104 between them), or a track sent twice
//   201  a track without its start sentinel, as above
//   202  a track cut off before its end sentinel: by a control character (a
//        CR, say) or by the end of the swipe
//   204  lrc=yes and the character after the end sentinel is not the track's
//        LRC (stripe::lrcChar over start sentinel, data, end sentinel), or is
//        missing; an E track's LRC is taken only when it matches. A start
//        sentinel of a track not read yet in that place is no LRC: it opens
//        its track, and the parse notes that the reader may send no LRC
//        (said once per claim).
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
//     gap, is dropped. Noise that long is still no swipe: all of it, the
//     rest included, is counted as ignored.
//   A swipe marked damaged (keystrokes lost, or the reader went away during
//   it) is reported with 205 on every track it touched, or on all three if it
//   touched none; a damage mark with nothing pending is the swipe that the
//   next CR, LF or ETX ends (the lost keys were its own), else the next one.
//   Noise pending when the reader goes away is still noise, no swipe.
//   Bytes that hold only framing are no swipe.
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
    std::array<bool, 3> touched{}; // the text holds the track, with or without its start sentinel
    // The text ends with a CR or LF that ends a line holding two or more
    // tracks, or track 3.
    bool endsCard = false;
    qsizetype ignored = 0;   // bytes of noise: outside any track, framing not counted
    bool lrcMissing = false; // lrc=yes, and a track came without its LRC
};

// One swipe's text.
ParsedText parseSwipeText(QByteArrayView text, const TextFormat &format = {});

struct TextSwipe {
    QByteArray text; // as received, for a probe to echo
    SwipeRead read;
    bool card = true;      // false: noise alone, no swipe; only `ignored` counts
    qsizetype ignored = 0; // bytes of noise in it
    bool lrcMissing = false;
};

// Bytes in as they arrive, whole swipes out.
class SwipeAssembler {
public:
    static constexpr qsizetype kMaxSwipeBytes = 1000;

    explicit SwipeAssembler(TextFormat format = {}) : m_format(format) {}

    QList<TextSwipe> feed(QByteArrayView bytes);
    // The idle gap passed: what is pending is a whole swipe, if anything. With
    // readerGone, the reader went away during it: a swipe is damaged, noise
    // is still noise.
    QList<TextSwipe> flush(bool readerGone = false);
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
    // Hands out the noise counted, as no swipe.
    TextSwipe noise();
    static bool hasTrack(const ParsedText &parsed);

    TextFormat m_format;
    QByteArray m_text;
    bool m_damaged = false;
    bool m_discarding = false; // after a cut: drop up to the swipe's end
    bool m_signOn = false;
    qsizetype m_noise = -1; // noise cut at the limit: its bytes so far, dropped up to its end
};

} // namespace msr
