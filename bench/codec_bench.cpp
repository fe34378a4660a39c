// SPDX-License-Identifier: MIT
// Decoding speed of whole tracks, as the reader decodes every swipe: each
// track filled to the last character it holds, swiped forwards and
// backwards, since a reader meets both.
#include "codec/stripecodec.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

// Characters every track holds, so the text is valid on any of them.
std::string fullText(int track)
{
    const stripe::TrackFormat &format = stripe::formatOf(track);
    const std::string digits = "0123456789";
    std::string text;
    const auto room = static_cast<std::size_t>(format.maxChars - 3);
    while (text.size() < room)
        text += digits[text.size() % digits.size()];
    return text;
}

void decodeFullTrack(benchmark::State &state)
{
    const int track = static_cast<int>(state.range(0));
    const bool backwards = state.range(1) != 0;
    const std::string text = fullText(track);
    const stripe::Encoded encoded = stripe::encodeTrack(track, text);
    if (!encoded.ok()) {
        state.SkipWithError(encoded.error.c_str());
        return;
    }
    const stripe::Bits bits = backwards ? stripe::reversed(encoded.bits) : encoded.bits;

    // A benchmark of a decoder that reads the track wrongly measures nothing.
    const stripe::Decoded check = stripe::decodeTrack(track, bits);
    if (check.error != stripe::Ok || check.text != text || check.reversed != backwards) {
        state.SkipWithError("the track does not decode to what was written");
        return;
    }

    for (auto _ : state) {
        stripe::Decoded decoded = stripe::decodeTrack(track, bits);
        benchmark::DoNotOptimize(decoded);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("track " + std::to_string(track) + (backwards ? " reversed" : " forward") +
                   ", " + std::to_string(text.size()) + " characters");
}

} // namespace

BENCHMARK(decodeFullTrack)->ArgNames({"track", "reversed"})->ArgsProduct({{1, 2, 3}, {0, 1}});

BENCHMARK_MAIN();
