// SPDX-License-Identifier: MIT
// Fuzz target for the HID report descriptor parser and the report decoder.
// Byte 0 times four is how many of the following bytes are the descriptor;
// the rest is one report, decoded if the descriptor describes a stripe reader.
#include "backends/hid/hidreport.h"

#include <cstdlib>

#define REQUIRE(holds) ((holds) ? void() : std::abort())

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t split = std::min<std::size_t>(size - 1, std::size_t(data[0]) * 4);
    const hid::Descriptor descriptor = hid::parseDescriptor(data + 1, split);
    for (const hid::Field &f : descriptor.inputs)
        REQUIRE(std::uint64_t(f.bitOffset) + std::uint64_t(f.size) * f.count <= 16384 * 8);
    const auto layout = hid::findTrackLayout(descriptor, nullptr);
    if (!layout)
        return 0;
    const hid::DecodedReport decoded =
        hid::decodeReport(*layout, data + 1 + split, size - 1 - split);
    for (std::size_t t = 0; decoded.swipe && t < 3; ++t) {
        const msr::TrackRead &track = decoded.swipe->tracks[t];
        REQUIRE(layout->data[t].size == 8 || !layout->data[t].present());
        REQUIRE(track.error == 0 || (track.error == hid::kOtherError && track.text.isEmpty()));
        REQUIRE(track.text.size() <= qsizetype(layout->data[t].count));
    }
    return 0;
}
