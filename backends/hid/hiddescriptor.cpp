// SPDX-License-Identifier: MIT
#include "backends/hid/hiddescriptor.h"

#include <QStringList>

#include <algorithm>
#include <map>
#include <set>

namespace hid {

namespace {

// hidraw hands out reports of at most this many bytes; a descriptor that
// promises more is not one we can read.
constexpr std::uint64_t kMaxReportBits = 16384 * 8;
constexpr std::size_t kMaxFields = 4096;
constexpr std::size_t kMaxPushDepth = 16;

struct Globals {
    std::uint16_t page = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint8_t reportId = 0;
};

struct Usage {
    std::uint16_t page;
    std::uint16_t id;
};

QString hex(std::uint32_t value, int digits)
{
    return QStringLiteral("0x") +
           QString::number(value, 16).rightJustified(digits, QLatin1Char('0')).toUpper();
}

} // namespace

Descriptor parseDescriptor(const std::uint8_t *data, std::size_t size)
{
    Descriptor out;
    Globals globals;
    std::vector<Globals> stack;
    std::vector<Usage> usages;
    // A usage range; plain values, as optionals trip g++'s uninitialised warnings.
    Usage usageMin{0, 0};
    std::uint32_t usageMax = 0;
    bool haveMin = false, haveMax = false;
    std::map<std::uint8_t, std::uint64_t> offsets; // input bits so far, by report ID
    const auto fail = [&](std::size_t at, const QString &what) {
        out.error = QStringLiteral("byte %1 of the report descriptor: %2").arg(at).arg(what);
        return out;
    };

    std::size_t i = 0;
    while (i < size) {
        const std::size_t at = i;
        const std::uint8_t prefix = data[i++];
        if (prefix == 0xFE) { // long item: size, tag, data; no HID usage defines one
            if (size - i < 2 || size - i - 2 < data[i])
                return fail(at, QStringLiteral("long item cut off"));
            i += 2 + data[i];
            continue;
        }
        const std::size_t n = (prefix & 3) == 3 ? 4 : prefix & 3;
        if (size - i < n)
            return fail(at, QStringLiteral("item cut off"));
        std::uint32_t value = 0;
        for (std::size_t k = 0; k < n; ++k)
            value |= std::uint32_t(data[i + k]) << (8 * k);
        i += n;
        const int type = (prefix >> 2) & 3;
        const int tag = prefix >> 4;

        if (type == 1) { // global
            switch (tag) {
            case 0x0:
                globals.page = std::uint16_t(value);
                break;
            case 0x7:
                globals.reportSize = value;
                break;
            case 0x8:
                if (value == 0 || value > 0xFF)
                    return fail(at, QStringLiteral("report ID %1 out of range").arg(value));
                globals.reportId = std::uint8_t(value);
                out.usesReportIds = true;
                break;
            case 0x9:
                globals.reportCount = value;
                break;
            case 0xA:
                if (stack.size() >= kMaxPushDepth)
                    return fail(at, QStringLiteral("too many nested Push items"));
                stack.push_back(globals);
                break;
            case 0xB:
                if (stack.empty())
                    return fail(at, QStringLiteral("Pop without Push"));
                globals = stack.back();
                stack.pop_back();
                break;
            default: // logical and physical extents, units: not needed to find fields
                break;
            }
            continue;
        }
        if (type == 2) { // local
            // A four-byte usage carries its own page in the high half.
            const Usage usage{n == 4 ? std::uint16_t(value >> 16) : globals.page,
                              std::uint16_t(value)};
            if (tag == 0x0 && usages.size() < kMaxFields)
                usages.push_back(usage);
            else if (tag == 0x1)
                usageMin = usage, haveMin = true;
            else if (tag == 0x2)
                usageMax = std::uint16_t(value), haveMax = true;
            continue;
        }
        if (type == 0 && tag == 0x8) { // Input
            const std::uint64_t bits = std::uint64_t(globals.reportSize) * globals.reportCount;
            std::uint64_t &offset = offsets[globals.reportId];
            if (offset + bits > kMaxReportBits)
                return fail(at, QStringLiteral("input report %1 longer than %2 bytes")
                                    .arg(globals.reportId)
                                    .arg(kMaxReportBits / 8));
            const bool constant = value & 1;
            const bool variable = value & 2;
            if (haveMin && haveMax) {
                for (std::uint32_t u = usageMin.id;
                     u <= usageMax && usages.size() < std::max<std::size_t>(globals.reportCount, 1);
                     ++u)
                    usages.push_back({usageMin.page, std::uint16_t(u)});
            }
            if (!constant && bits > 0) {
                // A variable field adds one entry per usage it owns; any other, one.
                const std::size_t added =
                    variable && usages.size() > 1
                        ? std::min<std::size_t>(usages.size(), globals.reportCount)
                        : 1;
                if (out.inputs.size() + added > kMaxFields)
                    return fail(at, QStringLiteral("more than %1 input fields").arg(kMaxFields));
                Field field{globals.page,
                            0,
                            globals.reportId,
                            std::uint32_t(offset),
                            globals.reportSize,
                            globals.reportCount,
                            variable};
                if (!usages.empty()) {
                    field.page = usages.front().page;
                    field.usage = usages.front().id;
                }
                // Variable fields take the usages in order, the last one the rest.
                if (added > 1) {
                    const std::size_t own = added;
                    for (std::size_t k = 0; k < own; ++k) {
                        Field one = field;
                        one.page = usages[k].page;
                        one.usage = usages[k].id;
                        one.bitOffset = std::uint32_t(offset + k * globals.reportSize);
                        one.count = k + 1 < own ? 1 : std::uint32_t(globals.reportCount - k);
                        out.inputs.push_back(one);
                    }
                } else {
                    out.inputs.push_back(field);
                }
            }
            offset += bits;
        }
        if (type == 0) { // every main item ends the local state
            usages.clear();
            haveMin = haveMax = false;
        }
    }
    return out;
}

std::optional<TrackLayout> findTrackLayout(const Descriptor &descriptor, QString *why)
{
    std::map<std::uint8_t, TrackLayout> reports;
    std::map<std::uint8_t, std::uint64_t> ends;
    std::set<std::uint16_t> pages;
    QString fault;
    for (const Field &f : descriptor.inputs) {
        pages.insert(f.page);
        std::uint64_t &end = ends[f.reportId];
        end = std::max<std::uint64_t>(end,
                                      std::uint64_t(f.bitOffset) + std::uint64_t(f.size) * f.count);
        if (!f.variable)
            continue;
        TrackLayout &layout = reports[f.reportId];
        const Slot slot{f.bitOffset, f.size, f.count};
        const auto in = [&](std::uint16_t page, std::uint16_t first) {
            return f.page == page && f.usage >= first && f.usage < first + 3;
        };
        if (in(kMagneticStripePage, 0x21) || in(kVendorPage, 0x30)) {
            if (f.size != 8 || f.bitOffset % 8 != 0) {
                fault = QStringLiteral("track data field of usage %1 is not whole bytes")
                            .arg(hex(f.usage, 2));
                continue;
            }
            layout.kind =
                f.page == kVendorPage ? TrackLayout::Kind::Vendor : TrackLayout::Kind::Standard;
            layout.data[f.usage - (f.page == kVendorPage ? 0x30 : 0x21)] = slot;
        } else if ((in(kMagneticStripePage, 0x11) || in(kVendorPage, 0x28)) && f.size <= 32) {
            layout.length[f.usage - (f.page == kVendorPage ? 0x28 : 0x11)] = {f.bitOffset, f.size,
                                                                              1};
        } else if (in(kVendorPage, 0x20) && f.size <= 32) {
            layout.status[f.usage - 0x20] = {f.bitOffset, f.size, 1};
        }
    }
    for (auto &[id, layout] : reports) {
        if (!std::any_of(layout.data.begin(), layout.data.end(),
                         [](const Slot &s) { return s.present(); }))
            continue;
        // Each page's lengths and status belong to its own data only.
        if (layout.kind == TrackLayout::Kind::Standard)
            layout.status = {};
        if (descriptor.usesReportIds)
            layout.reportId = id;
        layout.reportBytes = std::size_t((ends[id] + 7) / 8) + (descriptor.usesReportIds ? 1 : 0);
        return layout;
    }
    if (why) {
        QStringList seen;
        for (std::uint16_t page : pages)
            seen << hex(page, 4);
        *why = !fault.isEmpty() ? fault
               : seen.isEmpty()
                   ? QStringLiteral("it has no input reports")
                   : QStringLiteral("its input reports carry no track data (usage pages %1)")
                         .arg(seen.join(QLatin1String(", ")));
    }
    return std::nullopt;
}

} // namespace hid
