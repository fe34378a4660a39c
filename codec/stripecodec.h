// SPDX-License-Identifier: MIT
#pragma once

// Magnetic stripe tracks (ISO/IEC 7811 layout) as the bits a read head senses.
//
// Track 1 holds 7-bit characters (6 data bits, ASCII ' '..'_'), tracks 2 and 3 hold
// 5-bit characters (4 data bits, ASCII '0'..'?'). Every character is written least
// significant bit first with an odd parity bit last. A track is
// clocking zeros, start sentinel, text, end sentinel, LRC, clocking zeros; the LRC is the
// XOR of the data bits of everything from the start sentinel through the end sentinel,
// with its own odd parity bit.
//
// The text that callers pass in and get back is only what lies between the sentinels.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stripe {

// One element per bit, 0 or 1, in the order the head senses them. The decoder takes any
// non-zero element as a 1.
using Bits = std::vector<std::uint8_t>;

// Codes a reader reports for a track. They fit in one byte.
enum ReadError : int {
    Ok = 0,
    StartSentinelError = 201,
    EndSentinelError = 202,
    ParityError = 203,
    LrcError = 204,
    // This program's code for any other read fault: more characters than the track
    // holds, a start sentinel inside the data, or a track number that does not exist.
    OtherError = 205,
};

// A fault to write into a track on purpose, so that a reader reports it.
enum class Damage {
    None,
    Start,  // the first character is not a start sentinel: 201
    End,    // the data stops with no end sentinel or LRC: 202
    Parity, // one data bit flipped in one character, LRC matching: 203
    Lrc,    // an LRC with good parity but the wrong value: 204
    Other,  // text padded past what the track holds: 205
};

struct TrackFormat {
    int track;
    int bitsPerChar; // data bits plus the parity bit
    char startSentinel;
    char endSentinel;
    int asciiOffset; // ASCII code of the character whose data bits are all zero
    int maxChars;    // including both sentinels and the LRC
};

// Zero bits written before and after the data so a reader can lock onto the clock.
inline constexpr int clockingZeros = 24;

// Track 1, 2 or 3; any other number throws std::out_of_range.
const TrackFormat &formatOf(int track);

// "none", "start", "end", "parity", "lrc" or "other".
std::optional<Damage> damageFromName(std::string_view name);
std::string_view damageName(Damage damage);

// The LRC character of a whole track as written, e.g. lrcChar(1, "%AT3?") == '<'.
// Characters the track cannot hold count with their low data bits only.
// Throws std::out_of_range for a track number other than 1..3.
char lrcChar(int track, std::string_view textWithSentinels);

struct Encoded {
    Bits bits;
    std::string error; // why the text cannot be written; empty on success
    bool ok() const { return error.empty(); }
};

// Text the track cannot hold (a character outside its set, a sentinel, or too many
// characters) is refused with a message naming the character, its position and the track.
// Damage::Other accepts over-long text, since being too long is the fault it writes.
// Each kind of damage decodes to exactly its own code in either swipe direction.
Encoded encodeTrack(int track, std::string_view text, Damage damage = Damage::None);

struct Decoded {
    std::string text;      // between the sentinels; on error, what was read before the fault
    int error = Ok;        // a ReadError code
    bool empty = false;    // nothing but zeros: no card data on this track
    bool reversed = false; // read as a backwards swipe
};

// Never throws and never crashes, whatever the bits.
//
// The bits are read in both directions. A reader locks onto the first 1 bit it meets,
// expects a start sentinel there, and stops reading at the LRC. The direction reported is,
// in order of preference:
//   1. one that reads cleanly with only zeros after the LRC;
//   2. one that reads cleanly but has noise after the LRC (a reader ignores it);
//   3. one that starts with a start sentinel and then fails: the one that read more
//      characters before failing, so a backwards LRC that happens to look like a start
//      sentinel does not hide the real fault;
//   4. otherwise StartSentinelError.
// Ties go to the forward direction. That matters for a few track 1 texts beginning with
// '\' (the end sentinel read backwards): swiped backwards they give exactly the bits of
// another clean forward track, and that forward reading is what comes back.
Decoded decodeTrack(int track, const Bits &bits);

// The same track swiped the other way.
Bits reversed(Bits bits);

} // namespace stripe
