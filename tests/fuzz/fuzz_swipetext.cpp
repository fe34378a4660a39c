// SPDX-License-Identifier: MIT
// Fuzz target for the text of keyboard-type and serial readers.
//
// Byte 0: bit 0 the LRC option, the others how to cut the rest, raw reader
// output, into reads. It must read the same however it is cut (noise counts
// included), never grow a swipe past its limit, and no good track may hold
// more than its track can.
#include "../backends/common/swipelog.h"
#include "backends/text/swipetext.h"
#include "codec/stripecodec.h"

#include <cstdlib>

#define REQUIRE(holds) ((holds) ? void() : std::abort())

using namespace msr;

namespace {

void checkRead(const SwipeRead &read)
{
    for (int t = 0; t < 3; ++t) {
        const TrackRead &track = read.tracks[std::size_t(t)];
        REQUIRE(track.error == 0 || (track.error >= 201 && track.error <= 205));
        REQUIRE(track.error || (track.text.size() <= stripe::formatOf(t + 1).maxChars - 3 &&
                                !track.text.contains(u'?') && track.text != u"E"));
    }
}

// cut 0: all in one read.
QStringList assemble(const QByteArray &bytes, TextFormat format, int cut)
{
    SwipeAssembler assembler(format);
    QList<TextSwipe> out;
    for (qsizetype at = 0, step = 0; at < bytes.size(); at += step) {
        step = std::min(cut ? 1 + (at * cut) % 17 : bytes.size(), bytes.size() - at);
        out += assembler.feed(QByteArrayView(bytes).sliced(at, step));
    }
    out += assembler.flush();
    REQUIRE(!assembler.pending());
    QStringList read;
    for (const TextSwipe &swipe : out) {
        REQUIRE(swipe.text.size() <= SwipeAssembler::kMaxSwipeBytes);
        checkRead(swipe.read);
        REQUIRE(swipe.card || swipe.ignored > 0); // noise alone is said, never lost
        read << describe(swipe.read) + (swipe.card ? " " : " noise ") +
                    QString::number(swipe.ignored);
    }
    return read;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const TextFormat format{(data[0] & 1) != 0};
    const int cut = 1 + (data[0] >> 1);
    const QByteArray raw(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    checkRead(parseSwipeText(raw, format).read);
    REQUIRE(assemble(raw, format, 0) == assemble(raw, format, cut));
    return 0;
}
