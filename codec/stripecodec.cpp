// SPDX-License-Identifier: MIT
#include "codec/stripecodec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <stdexcept>

namespace stripe {
namespace {

constexpr std::array<TrackFormat, 3> formats{{
    {1, 7, '%', '?', 0x20, 79},
    {2, 5, ';', '?', 0x30, 40},
    {3, 5, ';', '?', 0x30, 107},
}};

bool isTrack(int track)
{
    return track >= 1 && track <= 3;
}

// One character as it lies on the stripe: bit i is the i-th bit the head senses.
using Pattern = unsigned;

unsigned dataMask(const TrackFormat &f)
{
    return (1u << (f.bitsPerChar - 1)) - 1;
}

unsigned valueOf(const TrackFormat &f, char c)
{
    return static_cast<unsigned>(static_cast<unsigned char>(c) - f.asciiOffset) & dataMask(f);
}

Pattern withParity(const TrackFormat &f, unsigned value)
{
    value &= dataMask(f);
    return std::popcount(value) % 2 == 0 ? value | 1u << (f.bitsPerChar - 1) : value;
}

bool parityOk(Pattern p)
{
    return std::popcount(p) % 2 == 1;
}

// Reads the bits in one direction. Bits past either end read as zeros, the way a head
// senses nothing once the stripe has gone by.
class Reader {
public:
    Reader(const Bits &bits, bool backwards) : bits_(bits), backwards_(backwards) {}

    Pattern charAt(std::size_t pos, int width) const
    {
        Pattern p = 0;
        for (int i = 0; i < width; ++i) {
            if (at(pos + static_cast<std::size_t>(i)))
                p |= 1u << i;
        }
        return p;
    }

private:
    bool at(std::size_t i) const
    {
        const std::size_t n = bits_.size();
        return i < n && bits_[backwards_ ? n - 1 - i : i] != 0;
    }

    const Bits &bits_;
    bool backwards_;
};

// Where the 1 bits begin and end, counted forwards.
struct Span {
    bool any = false;
    std::size_t first = 0;
    std::size_t last = 0;
};

Span onesIn(const Bits &bits)
{
    const auto isOne = [](std::uint8_t b) { return b != 0; };
    const auto first = std::find_if(bits.begin(), bits.end(), isOne);
    if (first == bits.end())
        return {};
    const auto last = std::find_if(bits.rbegin(), bits.rend(), isOne);
    return {true, static_cast<std::size_t>(first - bits.begin()),
            bits.size() - 1 - static_cast<std::size_t>(last - bits.rbegin())};
}

struct Attempt {
    int error = Ok;
    bool foundStart = false;
    bool noiseAfterLrc = false;
    int accepted = 0; // characters read without fault
    std::string text;
};

// One direction, locking onto the 1 bit at `start`; `lastOne` is the last 1 bit in the
// same direction.
Attempt readTrack(const TrackFormat &f, const Reader &in, std::size_t start, std::size_t lastOne)
{
    Attempt a;
    const int width = f.bitsPerChar;
    const unsigned mask = dataMask(f);
    const unsigned ss = valueOf(f, f.startSentinel);
    const unsigned es = valueOf(f, f.endSentinel);

    std::size_t pos = start;
    Pattern p = in.charAt(pos, width);
    if (!parityOk(p) || (p & mask) != ss) {
        a.error = StartSentinelError;
        return a;
    }
    a.foundStart = true;
    a.accepted = 1;
    a.text.reserve(static_cast<std::size_t>(f.maxChars));
    unsigned lrc = ss;

    for (int index = 1;; ++index) {
        pos += static_cast<std::size_t>(width);
        p = in.charAt(pos, width);
        // No character has all bits zero (odd parity), so this is the clocking run
        // after the data: the track ended without its end sentinel.
        if (p == 0) {
            a.error = EndSentinelError;
            return a;
        }
        // Room is left for the end sentinel and the LRC.
        if (index > f.maxChars - 2) {
            a.error = OtherError;
            return a;
        }
        if (!parityOk(p)) {
            a.error = ParityError;
            return a;
        }
        const unsigned value = p & mask;
        if (value == ss) {
            a.error = OtherError;
            return a;
        }
        lrc ^= value;
        ++a.accepted;
        if (value == es)
            break;
        a.text.push_back(static_cast<char>(value + static_cast<unsigned>(f.asciiOffset)));
    }

    pos += static_cast<std::size_t>(width);
    p = in.charAt(pos, width);
    // An LRC of all zeros means the track stopped right after the end sentinel, which is
    // a missing LRC rather than a parity fault.
    if (p == 0 || (parityOk(p) && (p & mask) != lrc)) {
        a.error = LrcError;
        return a;
    }
    if (!parityOk(p)) {
        a.error = ParityError;
        return a;
    }
    ++a.accepted;
    a.noiseAfterLrc = lastOne >= pos + static_cast<std::size_t>(width);
    return a;
}

// The same bits from the far end: the positions of the ones mirror.
Attempt readBackward(const TrackFormat &f, const Bits &bits, const Span &ones)
{
    const std::size_t n = bits.size();
    return readTrack(f, Reader(bits, true), n - 1 - ones.last, n - 1 - ones.first);
}

int preference(const Attempt &a)
{
    if (a.error == Ok)
        return a.noiseAfterLrc ? 3 : 4;
    return a.foundStart ? 2 : 1;
}

bool better(const Attempt &a, const Attempt &b)
{
    const int pa = preference(a);
    const int pb = preference(b);
    if (pa != pb)
        return pa > pb;
    return pa == 2 && a.accepted > b.accepted;
}

Decoded finish(Attempt &&a, bool backwards)
{
    Decoded d;
    d.text = std::move(a.text);
    d.error = a.error;
    d.reversed = backwards;
    return d;
}

Bits toBits(const TrackFormat &f, const std::vector<Pattern> &chars)
{
    Bits bits;
    bits.reserve(2 * clockingZeros + chars.size() * static_cast<std::size_t>(f.bitsPerChar));
    bits.assign(clockingZeros, 0);
    for (Pattern p : chars) {
        for (int i = 0; i < f.bitsPerChar; ++i)
            bits.push_back(static_cast<std::uint8_t>((p >> i) & 1u));
    }
    bits.insert(bits.end(), clockingZeros, 0);
    return bits;
}

unsigned lrcOf(const TrackFormat &f, const std::vector<Pattern> &chars)
{
    unsigned lrc = 0;
    for (Pattern p : chars)
        lrc ^= p & dataMask(f);
    return lrc;
}

// Appends an LRC over the data actually written, so a damaged character does not also
// leave a wrong LRC behind.
Bits sealed(const TrackFormat &f, std::vector<Pattern> chars)
{
    chars.push_back(withParity(f, lrcOf(f, chars)));
    return toBits(f, chars);
}

// A damaged track must fail the same way whichever way it is swiped. Read from the far
// end, the last characters (usually the LRC) can look like a start sentinel, and a reader
// would then report whatever garbage follows, so the encoder avoids such tracks.
bool farEndLooksLikeStart(const TrackFormat &f, const Bits &bits)
{
    const Span ones = onesIn(bits);
    if (!ones.any)
        return false;
    return readBackward(f, bits, ones).foundStart;
}

std::string describe(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f)
        return std::string("'") + c + "'";
    char buf[16];
    std::snprintf(buf, sizeof buf, "byte 0x%02X", u);
    return buf;
}

std::optional<std::string> refusal(const TrackFormat &f, char c, std::size_t position)
{
    const std::string head = "track " + std::to_string(f.track) + " cannot hold " + describe(c) +
                             " (position " + std::to_string(position) + "): ";
    const int code = static_cast<unsigned char>(c);
    if (code < f.asciiOffset || code > f.asciiOffset + static_cast<int>(dataMask(f))) {
        return head + (f.track == 1 ? "track 1 takes only ASCII space to '_' (digits, capitals "
                                      "and punctuation, no lowercase)"
                                    : "tracks 2 and 3 take only 0-9 : < = >");
    }
    if (c == f.startSentinel)
        return head + "it is the start sentinel and would confuse a reader";
    if (c == f.endSentinel)
        return head + "it is the end sentinel and would end the track there";
    return std::nullopt;
}

} // namespace

const TrackFormat &formatOf(int track)
{
    if (!isTrack(track))
        throw std::out_of_range("no track " + std::to_string(track));
    return formats[static_cast<std::size_t>(track - 1)];
}

std::optional<Damage> damageFromName(std::string_view name)
{
    for (Damage d :
         {Damage::None, Damage::Start, Damage::End, Damage::Parity, Damage::Lrc, Damage::Other}) {
        if (name == damageName(d))
            return d;
    }
    return std::nullopt;
}

std::string_view damageName(Damage damage)
{
    switch (damage) {
    case Damage::None:
        return "none";
    case Damage::Start:
        return "start";
    case Damage::End:
        return "end";
    case Damage::Parity:
        return "parity";
    case Damage::Lrc:
        return "lrc";
    case Damage::Other:
        return "other";
    }
    return "none";
}

char lrcChar(int track, std::string_view textWithSentinels)
{
    const TrackFormat &f = formatOf(track);
    unsigned lrc = 0;
    for (char c : textWithSentinels)
        lrc ^= valueOf(f, c);
    return static_cast<char>(lrc + static_cast<unsigned>(f.asciiOffset));
}

Encoded encodeTrack(int track, std::string_view text, Damage damage)
{
    if (!isTrack(track))
        return {{}, "there is no track " + std::to_string(track) + ": tracks are 1, 2 and 3"};
    const TrackFormat &f = formatOf(track);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (auto why = refusal(f, text[i], i + 1))
            return {{}, std::move(*why)};
    }
    const std::size_t room = static_cast<std::size_t>(f.maxChars - 3);
    if (damage != Damage::Other && text.size() > room) {
        return {{},
                "track " + std::to_string(track) + " holds at most " + std::to_string(room) +
                    " characters between the sentinels, got " + std::to_string(text.size())};
    }

    const Pattern start = withParity(f, valueOf(f, f.startSentinel));
    const Pattern end = withParity(f, valueOf(f, f.endSentinel));
    std::vector<Pattern> chars;
    chars.reserve(std::max(text.size(), room) + 8);
    chars.push_back(start);
    for (char c : text)
        chars.push_back(withParity(f, valueOf(f, c)));

    // Each kind tries a few equivalent ways to write its fault and keeps the first whose
    // far end does not pass for a start sentinel. The candidates differ in their LRC, and
    // only one LRC pattern reads backwards as a start sentinel.
    Bits bits;
    const auto acceptable = [&](Bits &&candidate) {
        bits = std::move(candidate);
        return !farEndLooksLikeStart(f, bits);
    };

    switch (damage) {
    case Damage::None:
        chars.push_back(end);
        bits = sealed(f, chars);
        break;
    case Damage::Start:
        // The start sentinel with its parity broken, or another character altogether.
        // Both begin with a 1 bit, so a reader locks onto them as it would the sentinel.
        chars.push_back(end);
        for (Pattern bad : {start ^ (1u << (f.bitsPerChar - 1)), withParity(f, start ^ 2u)}) {
            chars.front() = bad;
            if (acceptable(sealed(f, chars)))
                break;
        }
        break;
    case Damage::End:
        // The data simply stops. If its last character would read backwards as a start
        // sentinel, a '0' goes after it; a '0' never reads that way on any track.
        if (farEndLooksLikeStart(f, toBits(f, chars)))
            chars.push_back(withParity(f, valueOf(f, '0')));
        bits = toBits(f, chars);
        break;
    case Damage::Parity: {
        // A character in the middle of the text, or the end sentinel when there is no
        // text. The flipped bit must not leave the character all zeros, which a reader
        // would take for the end of the data.
        chars.push_back(end);
        const std::size_t at = 1 + text.size() / 2;
        const Pattern good = chars[at];
        for (int bit = 0; bit < f.bitsPerChar - 1; ++bit) {
            chars[at] = good ^ (1u << bit);
            if (chars[at] != 0 && acceptable(sealed(f, chars)))
                break;
        }
        break;
    }
    case Damage::Lrc: {
        chars.push_back(end);
        const unsigned lrc = lrcOf(f, chars);
        chars.push_back(0);
        for (unsigned delta = 1; delta <= dataMask(f); ++delta) {
            chars.back() = withParity(f, lrc ^ delta);
            if (acceptable(toBits(f, chars)))
                break;
        }
        break;
    }
    case Damage::Other: {
        // At least one character more than the track holds. One filler more or less
        // changes the LRC, so one of the two counts always works.
        const std::size_t limit = static_cast<std::size_t>(f.maxChars);
        const std::size_t used = text.size() + 3;
        const std::size_t pad = used > limit ? 0 : limit + 1 - used;
        const std::size_t base = chars.size();
        for (std::size_t extra = 0; extra < 2; ++extra) {
            chars.resize(base);
            chars.insert(chars.end(), pad + extra, withParity(f, valueOf(f, '1')));
            chars.push_back(end);
            if (acceptable(sealed(f, chars)))
                break;
        }
        break;
    }
    }
    return {std::move(bits), {}};
}

Decoded decodeTrack(int track, const Bits &bits)
{
    if (!isTrack(track)) {
        Decoded d;
        d.error = OtherError;
        return d;
    }
    const TrackFormat &f = formatOf(track);
    const Span ones = onesIn(bits);
    if (!ones.any) {
        Decoded d;
        d.empty = true;
        return d;
    }
    Attempt forward = readTrack(f, Reader(bits, false), ones.first, ones.last);
    if (forward.error == Ok && !forward.noiseAfterLrc)
        return finish(std::move(forward), false);

    Attempt backward = readBackward(f, bits, ones);
    if (better(backward, forward))
        return finish(std::move(backward), true);
    return finish(std::move(forward), false);
}

Bits reversed(Bits bits)
{
    std::reverse(bits.begin(), bits.end());
    return bits;
}

} // namespace stripe
