// Fuzz target for the text of keyboard-type and serial readers.
//
// Byte 0: bit 0 the LRC option; bit 1 whether the rest is raw reader output or
// three tracks to write in the framing of bits 2-3; bits 4-7 how to cut the
// bytes into reads. Raw output must read the same however it is cut, with no
// good track holding what its track cannot; a written card reads back as written.
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

// Three tracks from the input, each only characters its track holds.
QByteArray written(const std::uint8_t *data, std::size_t size, TextFormat format, int framing,
                   SwipeRead *expect)
{
    static const char *const starts[4][3] = {{"%", ";", "+"},
                                             {"%", "\r\n;", "\r\n;"},
                                             {"\x02\x1b%", ";", "+"},
                                             {"\x02%", "\x10;", "\x10+"}};
    QByteArray out;
    for (std::size_t at = 0, t = 1; t <= 3; ++t) {
        const stripe::TrackFormat &f = stripe::formatOf(int(t));
        std::string text;
        for (std::size_t n = at < size ? data[at++] % (f.maxChars - 2) : 0; n && at < size; --n) {
            const char c = char(f.asciiOffset + data[at++] % (1 << (f.bitsPerChar - 1)));
            text += c == f.startSentinel || c == f.endSentinel ? '0' : c;
        }
        if (text.empty())
            continue;
        // ';' opens track 3 only after a track 2.
        const bool plus = t == 3 && framing == 1 && expect->tracks[1].text.isEmpty();
        out += (plus ? "\r\n+" : starts[framing][t - 1]) + QByteArray::fromStdString(text) + '?';
        if (format.lrc)
            out += stripe::lrcChar(int(t), f.startSentinel + text + '?');
        expect->tracks[t - 1] = {QString::fromStdString(text), text == "E" ? 205 : 0};
    }
    return out + (framing == 3 ? "\x03" : framing == 2 ? "\r\x03" : "\r\n");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const TextFormat format{(data[0] & 1) != 0};
    const int cut = 1 + (data[0] >> 4);
    if (data[0] & 2) {
        SwipeRead expect;
        const QByteArray card = written(data + 1, size - 1, format, (data[0] >> 2) & 3, &expect);
        const QStringList read = assemble(card, format, cut);
        require(read == (card.contains('?') ? QStringList{describe(expect)} : QStringList{}));
        return 0;
    }
    const QByteArray raw(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    checkRead(parseSwipeText(raw, format).read);
    require(assemble(raw, format, 0) == assemble(raw, format, cut));
    return 0;
}
