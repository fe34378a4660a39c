// SPDX-License-Identifier: MIT
// Fuzz target for the track decoder and encoder.
//
// If the first byte is even, the rest of the input is raw bits (eight per byte, least
// significant first) read as track 1, 2 and 3. If it is odd, its bits 1-2 choose a track to
// write, bits 3-5 the damage, bits 6-7 whether to flip the bits that bytes 1 and 2 point
// at; the remaining bytes are the text. Random bytes rarely get past a start sentinel;
// written tracks reach every fault.
#include "codec/stripecodec.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace stripe;

namespace {

void require(bool holds)
{
    if (!holds)
        std::abort();
}

// Holds for any bits at all.
void checkAnyBits(int track, const Bits &bits)
{
    const Decoded read = decodeTrack(track, bits);
    require(read.error == Ok || (read.error >= 201 && read.error <= 205));
    require(!read.empty || (read.error == Ok && read.text.empty()));
    if (read.error != Ok || read.empty || read.reversed)
        return;
    // Whatever a reader accepts forwards, the encoder writes back as the same text.
    const Encoded written = encodeTrack(track, read.text);
    require(written.ok());
    const Decoded again = decodeTrack(track, written.bits);
    require(again.error == Ok && !again.reversed && again.text == read.text);
}

void checkWritten(const std::uint8_t *data, std::size_t size)
{
    const int track = 1 + (data[0] >> 1) % 3;
    const auto damage = static_cast<Damage>((data[0] >> 3) % 6);
    const TrackFormat &f = formatOf(track);
    std::string text;
    for (std::size_t i = 3; i < size; ++i) {
        const char c = static_cast<char>(f.asciiOffset + data[i] % (1 << (f.bitsPerChar - 1)));
        text += c == f.startSentinel || c == f.endSentinel ? '0' : c;
    }
    if (damage != Damage::Other)
        text.resize(std::min(text.size(), static_cast<std::size_t>(f.maxChars - 3)));

    Encoded written = encodeTrack(track, text, damage);
    require(written.ok());
    const Decoded forward = decodeTrack(track, written.bits);
    const Decoded backward = decodeTrack(track, reversed(written.bits));
    if (damage == Damage::None) {
        require(forward.error == Ok && !forward.reversed && forward.text == text);
        // A backwards swipe reads back the text, unless the same bits also read
        // forwards as a whole track of their own, which forwards then wins.
        require(backward.error == Ok);
        require(backward.reversed
                    ? backward.text == text
                    : encodeTrack(track, backward.text).bits == reversed(written.bits));
    } else {
        require(forward.error == 200 + static_cast<int>(damage) && backward.error == forward.error);
    }

    const std::size_t at = size >= 3 ? std::size_t(data[1] | data[2] << 8) : 0;
    for (int flip : {0x40, 0x80}) {
        if (data[0] & flip)
            written.bits[(flip == 0x40 ? at : at * 7 + 1) % written.bits.size()] ^= 1;
    }
    for (int t = 1; t <= 3; ++t)
        checkAnyBits(t, written.bits);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 0 && data[0] % 2 == 1) {
        checkWritten(data, size);
        return 0;
    }
    Bits bits;
    for (std::size_t i = 1; i < size; ++i) {
        for (int b = 0; b < 8; ++b)
            bits.push_back(static_cast<std::uint8_t>((data[i] >> b) & 1));
    }
    for (int track = 1; track <= 3; ++track)
        checkAnyBits(track, bits);
    return 0;
}
