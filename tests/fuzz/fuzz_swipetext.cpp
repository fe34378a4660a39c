// SPDX-License-Identifier: MIT
// Fuzz target for the text of keyboard-type and serial readers.
//
// Byte 0: bit 0 the LRC option, the others how to cut the rest, raw reader
// output, into reads. It must read the same however it is cut, never grow a
// swipe past its limit, and no good track may hold what its track cannot.
#include "backends/text/swipetext.h"
#include "codec/stripecodec.h"

#include <cstdint>
#include <cstdlib>

using namespace msr;

namespace {

void require(bool holds)
{
    if (!holds)
        std::abort();
}

QString describe(const SwipeRead &read)
{
    QString out;
    for (const TrackRead &t : read.tracks)
        out += t.text + QString::number(t.error) + '|';
    return out;
}

// Every good track holds only its own characters, and no more than fit.
void checkRead(const SwipeRead &read)
{
    for (int t = 1; t <= 3; ++t) {
        const TrackRead &track = read.tracks[std::size_t(t - 1)];
        const stripe::TrackFormat &f = stripe::formatOf(t);
        require(track.error == 0 || (track.error >= 201 && track.error <= 205));
        require(track.error || (track.text.size() <= f.maxChars - 3 && track.text != u"E"));
        for (QChar c : track.error ? QString() : track.text)
            require(c.unicode() >= f.asciiOffset && c.unicode() < f.asciiOffset + 64 &&
                    (t == 1 || c.unicode() < 0x40) && c != QLatin1Char(f.startSentinel) &&
                    c != u'?');
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
    require(!assembler.pending());
    QStringList read;
    for (const TextSwipe &swipe : out) {
        require(swipe.text.size() <= SwipeAssembler::kMaxSwipeBytes);
        checkRead(swipe.read);
        read << describe(swipe.read);
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
    require(assemble(raw, format, 0) == assemble(raw, format, cut));
    return 0;
}
