// SPDX-License-Identifier: MIT
// HID report descriptors: the items a reader's descriptor is made of, the
// input fields they describe, and where in an input report a stripe reader
// puts each track's status, length and data. Pure functions over bytes.
#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace hid {

// One run of report data described by an Input item, given one usage.
struct Field {
    std::uint16_t page = 0;
    std::uint16_t usage = 0;
    std::uint8_t reportId = 0;   // 0: the device uses no report IDs
    std::uint32_t bitOffset = 0; // from the start of the report, its ID byte not counted
    std::uint32_t size = 0;      // bits per element
    std::uint32_t count = 0;     // elements
    bool variable = true;        // false: an array (e.g. keyboard key codes)
};

struct Descriptor {
    std::vector<Field> inputs;
    bool usesReportIds = false;
    QString error; // set when the descriptor is malformed; inputs hold what came before
};

Descriptor parseDescriptor(const std::uint8_t *data, std::size_t size);

// Where one value sits in a report; absent when count is 0.
struct Slot {
    std::uint32_t bitOffset = 0;
    std::uint32_t size = 0;
    std::uint32_t count = 0;
    bool present() const { return count > 0; }
};

// How a stripe reader lays out its swipe report.
struct TrackLayout {
    enum class Kind { Standard, Vendor } kind = Kind::Standard;
    std::optional<std::uint8_t> reportId; // the byte that starts the report
    std::array<Slot, 3> status;           // vendor layout only
    std::array<Slot, 3> length;
    std::array<Slot, 3> data;    // 8-bit elements
    std::size_t reportBytes = 0; // ID byte included
};

inline constexpr std::uint16_t kMagneticStripePage = 0x8E;
inline constexpr std::uint16_t kVendorPage = 0xFF00;

// The report that carries track data: the standard magnetic stripe page
// (lengths 0x11-0x13, data 0x21-0x23) or the common vendor-defined layout
// (status 0x20-0x22, lengths 0x28-0x2A, data 0x30-0x32). nullopt, with
// *why set, when no input report carries track data.
std::optional<TrackLayout> findTrackLayout(const Descriptor &descriptor, QString *why);

} // namespace hid
