// SPDX-License-Identifier: MIT
// A track word packs one byte per track into a 32-bit value, track 1 in the
// least significant byte. Data event lengths, per-track error codes and the
// latched codes all use it.
#pragma once

#include <QtGlobal>

namespace swipewatch {

// Byte i (0 to 3) of the word: bits 8i to 8i+7 of its two's complement form.
// Taking the bits rather than dividing keeps a word whose top byte is 128 or
// more (a negative Long) from borrowing into the track bytes.
constexpr int trackByte(qint32 word, int i)
{
    return static_cast<int>((static_cast<quint32>(word) >> (8 * i)) & 0xFFu);
}

} // namespace swipewatch
