// SPDX-License-Identifier: MIT
// Fuzz target for the recording parser: any bytes are refused with a line
// inside the file or read; what is read is written back as text that reads
// the same.
#include "backends/replay/recording.h"

#include <cstdlib>

#define REQUIRE(holds) ((holds) ? void() : std::abort())

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView text(reinterpret_cast<const char *>(data), qsizetype(size));
    const msr::replay::Parsed parsed = msr::replay::parseRecording(text);
    if (!parsed.recording) {
        REQUIRE(parsed.line >= 1 && parsed.line <= text.count('\n') + 1 && !parsed.error.isEmpty());
        return 0;
    }
    const QByteArray written = msr::replay::formatRecording(*parsed.recording);
    const msr::replay::Parsed again = msr::replay::parseRecording(written);
    REQUIRE(again.recording && msr::replay::formatRecording(*again.recording) == written);
    return 0;
}
