// Fuzz target for the text of keyboard-type and serial readers.
//
// Byte 0 picks the options: bit 0 the LRC, bit 1 whether the rest is raw reader
// output or three tracks to be written in one of the framings (bits 2-3), bits
// 4-7 how to cut the bytes into reads. Raw output must never crash the parser
// or grow a swipe past its limit, and must read the same however it is cut;
// a written card must read back as written.
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

bool fits(int track, QChar c)
{
    const stripe::TrackFormat &f = stripe::formatOf(track);
    return c.unicode() >= f.asciiOffset &&
           c.unicode() < f.asciiOffset + (1 << (f.bitsPerChar - 1)) &&
           c != QLatin1Char(f.startSentinel) && c != QLatin1Char('?');
}

void checkRead(const ParsedText &parsed)
{
    for (int t = 1; t <= 3; ++t) {
        const TrackRead &track = parsed.read.tracks[std::size_t(t - 1)];
        require(track.error == 0 || (track.error >= 201 && track.error <= 205));
        require(parsed.touched[std::size_t(t - 1)] || (track.error == 0 && track.text.isEmpty()));
        if (track.error)
            continue;
        require(track.text.size() <= stripe::formatOf(t).maxChars - 3 && track.text != u"E");
        for (QChar c : track.text)
            require(fits(t, c));
    }
}

QList<TextSwipe> assemble(const QByteArray &bytes, TextFormat format, int cut)
{
    SwipeAssembler assembler(format);
    QList<TextSwipe> out;
    // cut 0: all in one read.
    for (qsizetype at = 0, step = 0; at < bytes.size(); at += step) {
        step = cut ? 1 + (at * cut) % 17 : bytes.size();
        out += assembler.feed(QByteArrayView(bytes).sliced(at, std::min(step, bytes.size() - at)));
    }
    out += assembler.flush();
    require(!assembler.pending());
    return out;
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
    std::size_t at = 0;
    for (int t = 1; t <= 3; ++t) {
        const stripe::TrackFormat &f = stripe::formatOf(t);
        const std::size_t length = at < size ? data[at++] % (f.maxChars - 2) : 0;
        std::string text;
        for (std::size_t i = 0; i < length && at < size; ++i) {
            const char c = char(f.asciiOffset + data[at++] % (1 << (f.bitsPerChar - 1)));
            text += c == f.startSentinel || c == f.endSentinel ? '0' : c;
        }
        if (text.empty())
            continue;
        const std::string sent = f.startSentinel + text + '?';
        // ';' opens track 3 only after a track 2.
        const bool plus = t == 3 && framing == 1 && expect->tracks[1].text.isEmpty();
        out += (plus ? "\r\n+" : starts[framing][t - 1]) + QByteArray::fromStdString(text) + '?';
        if (format.lrc)
            out += stripe::lrcChar(t, sent);
        expect->tracks[std::size_t(t - 1)] = {QString::fromStdString(text), text == "E" ? 205 : 0};
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
        const QList<TextSwipe> swipes = assemble(card, format, cut);
        const bool empty = !card.contains('?');
        require(swipes.size() == (empty ? 0 : 1));
        for (int t = 0; !empty && t < 3; ++t) {
            require(swipes[0].read.tracks[std::size_t(t)].text ==
                    expect.tracks[std::size_t(t)].text);
            require(swipes[0].read.tracks[std::size_t(t)].error ==
                    expect.tracks[std::size_t(t)].error);
        }
        return 0;
    }
    const QByteArray raw(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    checkRead(parseSwipeText(raw, format));
    const QList<TextSwipe> whole = assemble(raw, format, 0);
    const QList<TextSwipe> pieces = assemble(raw, format, cut);
    require(whole.size() == pieces.size());
    for (qsizetype i = 0; i < whole.size(); ++i) {
        require(whole[i].text == pieces[i].text &&
                whole[i].text.size() <= SwipeAssembler::kMaxSwipeBytes);
        for (std::size_t t = 0; t < 3; ++t)
            require(whole[i].read.tracks[t].text == pieces[i].read.tracks[t].text &&
                    whole[i].read.tracks[t].error == pieces[i].read.tracks[t].error);
    }
    return 0;
}
