// SPDX-License-Identifier: MIT
// The device-list options keyboard-type and serial readers share: both send
// the card as text (backends/text/swipetext.h).
//   device  the node, an absolute path (required)
//   gap     milliseconds without input that end a swipe sent without a final
//           CR (default 150, 10 to 10000)
//   lrc     the reader sends an LRC character after each end sentinel
//           (default no)
#pragma once

#include "backends/text/swipetext.h"
#include "reader/deviceoptions.h"

namespace msr {

struct TextReaderSettings {
    QString device;
    int gapMs = 150;
    TextFormat text;
};

// Reads the three into *settings; false with *fault saying what is wrong.
// example is a typical path, shown when device= is not absolute.
bool readTextReaderOptions(const DeviceEntry &entry, const char *example,
                           TextReaderSettings *settings, QString *fault);

// A raw source of the kind with these settings: what decoding its reads needs.
RawSource textRawSource(const char *kind, const TextReaderSettings &settings);

} // namespace msr
