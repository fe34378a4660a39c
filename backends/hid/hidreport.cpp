// SPDX-License-Identifier: MIT
#include "backends/hid/hidreport.h"

#include <algorithm>

namespace hid {

namespace {

// The value of a slot's first element, least significant bit first as HID
// packs them; nullopt when the report stops before it.
std::optional<std::uint32_t> readValue(const Slot &slot, const std::uint8_t *payload,
                                       std::size_t bytes)
{
    if (std::uint64_t(slot.bitOffset) + slot.size > std::uint64_t(bytes) * 8)
        return std::nullopt;
    std::uint32_t value = 0;
    for (std::uint32_t b = 0; b < slot.size; ++b) {
        const std::uint32_t at = slot.bitOffset + b;
        value |= std::uint32_t((payload[at / 8] >> (at % 8)) & 1) << b;
    }
    return value;
}

// The characters between the sentinels; a reader may send an LRC after '?'.
QString stripSentinels(QByteArrayView text)
{
    if (!text.isEmpty() && (text.front() == '%' || text.front() == ';' || text.front() == '+'))
        text = text.sliced(1);
    const qsizetype end = text.lastIndexOf('?');
    if (end >= 0 && end >= text.size() - 2)
        text.truncate(end);
    return QString::fromLatin1(text);
}

} // namespace

DecodedReport decodeReport(const TrackLayout &layout, const std::uint8_t *data, std::size_t size)
{
    DecodedReport out;
    if (size == 0) {
        out.faults << QStringLiteral("empty report");
        return out;
    }
    if (layout.reportId && data[0] != *layout.reportId) {
        out.faults << QStringLiteral("report ID %1 carries no track data (expected %2); ignored")
                          .arg(data[0])
                          .arg(*layout.reportId);
        return out;
    }
    const std::size_t skip = layout.reportId ? 1 : 0;
    const std::uint8_t *payload = data + skip;
    const std::size_t bytes = size - skip;
    if (bytes == 0) {
        out.faults << QStringLiteral("report with no data after its ID");
        return out;
    }
    if (size < layout.reportBytes)
        out.faults << QStringLiteral("report of %1 bytes, expected %2: cut off")
                          .arg(size)
                          .arg(layout.reportBytes);

    msr::SwipeRead swipe;
    for (std::size_t t = 0; t < 3; ++t) {
        msr::TrackRead &track = swipe.tracks[t];
        const Slot &field = layout.data[t];
        if (!field.present())
            continue;
        const auto fault = [&](const QString &what) {
            track.error = kOtherError;
            out.faults << QStringLiteral("track %1: %2").arg(t + 1).arg(what);
        };
        if (layout.status[t].present()) {
            const auto status = readValue(layout.status[t], payload, bytes);
            if (!status) {
                fault(QStringLiteral("status cut off"));
                continue;
            }
            if (*status & 1) { // the reader could not read it: a bad card, not a fault
                track.error = kOtherError;
                continue;
            }
        }
        const std::size_t start = field.bitOffset / 8;
        std::size_t length = 0;
        if (layout.length[t].present()) {
            const auto value = readValue(layout.length[t], payload, bytes);
            if (!value) {
                fault(QStringLiteral("length cut off"));
                continue;
            }
            length = *value;
        } else { // no length field: the data runs to its last non-zero byte
            for (std::size_t k = field.count; k > 0 && length == 0; --k)
                length = start + k <= bytes && payload[start + k - 1] ? k : 0;
        }
        if (length > field.count) {
            fault(QStringLiteral("length %1 larger than its field of %2 bytes")
                      .arg(length)
                      .arg(field.count));
            continue;
        }
        if (length > 0 && start + length > bytes) {
            fault(QStringLiteral("data cut off after %1 of %2 bytes")
                      .arg(bytes > start ? bytes - start : 0)
                      .arg(length));
            continue;
        }
        const QByteArrayView text(payload + start, qsizetype(length));
        const auto bad = std::find_if(text.begin(), text.end(),
                                      [](char c) { return uchar(c) < 0x20 || uchar(c) > 0x7E; });
        if (bad != text.end()) {
            fault(QStringLiteral("byte 0x%1 is not a track character")
                      .arg(uchar(*bad), 2, 16, QLatin1Char('0')));
            continue;
        }
        track.text = stripSentinels(text);
    }
    out.swipe = swipe;
    return out;
}

} // namespace hid
