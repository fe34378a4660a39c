// SPDX-License-Identifier: MIT
// Turns one input report of a stripe reader into a swipe. Pure: the bytes
// read from the node in, the tracks out. A malformed report is the reader's
// fault, never ours: it becomes error 205 on the tracks it spoils, or a
// refused report, with a line saying what was wrong.
#pragma once

#include "backends/hid/hiddescriptor.h"
#include "reader/msrservice.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace hid {

inline constexpr std::int32_t kOtherError = 205;

struct DecodedReport {
    std::optional<msr::SwipeRead> swipe; // nullopt: not a swipe at all
    QStringList faults;                  // what the reader got wrong, one line each
};

DecodedReport decodeReport(const TrackLayout &layout, const std::uint8_t *data, std::size_t size);

} // namespace hid
