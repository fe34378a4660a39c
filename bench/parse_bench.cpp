// SPDX-License-Identifier: MIT
// Parsing speed of what real readers send, one swipe at a time as the
// services meet it: the text of a three-track swipe through the assembler
// (which calls the parser), and a vendor-layout HID report through the report
// decoder.
#include "backends/hid/hiddescriptor.h"
#include "backends/hid/hidreport.h"
#include "backends/text/swipetext.h"

#include <benchmark/benchmark.h>

#include <QByteArray>

#include <array>
#include <cstring>

namespace {

const std::array<QString, 3> kTracks{
    QStringLiteral("B4111111111111111^DOE/JOHN^2912101000000000000000"),
    QStringLiteral("4111111111111111=29121010000000000000"),
    QStringLiteral("011234567890123445=724724100000000000030300000000040400099010=")};

bool readsAsSent(const msr::SwipeRead &read)
{
    for (std::size_t t = 0; t < 3; ++t)
        if (read.tracks[t].error != 0 || read.tracks[t].text != kTracks[t])
            return false;
    return true;
}

void textSwipe(benchmark::State &state)
{
    const QByteArray text = "%" + kTracks[0].toLatin1() + "?;" + kTracks[1].toLatin1() + "?+" +
                            kTracks[2].toLatin1() + "?\r";
    msr::SwipeAssembler assembler;
    // A benchmark of a parser that reads the swipe wrongly measures nothing.
    const QList<msr::TextSwipe> check = assembler.feed(text);
    if (check.size() != 1 || !readsAsSent(check.front().read)) {
        state.SkipWithError("the text does not read back as the three tracks sent");
        return;
    }
    for (auto _ : state) {
        QList<msr::TextSwipe> swipes = assembler.feed(text);
        benchmark::DoNotOptimize(swipes);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::to_string(text.size()) + " bytes, 3 tracks");
}

void hidReport(benchmark::State &state)
{
    // The vendor layout: status, lengths and encode type, then three tracks
    // of 110 bytes each, sentinels included; 337 bytes with no report ID.
    const QByteArray descriptor = QByteArray::fromHex(
        "0600FF 0901 A101 1500 26FF00 7508 0920 0921 0922 0928 0929 092A 0938 9507 8102 "
        "0930956E820201 0931956E820201 0932956E820201 C0");
    const hid::Descriptor parsed = hid::parseDescriptor(
        reinterpret_cast<const std::uint8_t *>(descriptor.constData()), descriptor.size());
    QString why;
    const std::optional<hid::TrackLayout> layout = hid::findTrackLayout(parsed, &why);
    if (!layout || layout->reportBytes != 337) {
        state.SkipWithError("the vendor descriptor gives no 337-byte layout");
        return;
    }
    std::array<std::uint8_t, 337> report{};
    for (std::size_t t = 0; t < 3; ++t) {
        const QByteArray track = "%;+"[t] + kTracks[t].toLatin1() + '?';
        report[3 + t] = std::uint8_t(track.size());
        std::memcpy(report.data() + 7 + 110 * t, track.constData(), std::size_t(track.size()));
    }
    const hid::DecodedReport check = hid::decodeReport(*layout, report.data(), report.size());
    if (!check.swipe || !check.faults.isEmpty() || !readsAsSent(*check.swipe)) {
        state.SkipWithError("the report does not decode to the three tracks sent");
        return;
    }
    for (auto _ : state) {
        hid::DecodedReport decoded = hid::decodeReport(*layout, report.data(), report.size());
        benchmark::DoNotOptimize(decoded);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(std::to_string(report.size()) + "-byte vendor report, 3 tracks");
}

} // namespace

BENCHMARK(textSwipe);
BENCHMARK(hidReport);
