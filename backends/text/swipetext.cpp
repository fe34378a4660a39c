// SPDX-License-Identifier: MIT
#include "backends/text/swipetext.h"

#include "codec/stripecodec.h"

#include <string>
#include <utility>

namespace msr {

namespace {

constexpr char kEtx = 0x03, kLf = 0x0a, kCr = 0x0d;
constexpr int kOther = stripe::OtherError;

bool isLineEnd(char c)
{
    return c == kCr || c == kLf;
}

bool isControl(char c)
{
    return static_cast<unsigned char>(c) < 0x20;
}

bool isStartSentinel(char c)
{
    return c == '%' || c == ';' || c == '+';
}

bool fitsTrack(int track, char c)
{
    const stripe::TrackFormat &f = stripe::formatOf(track);
    const int code = static_cast<unsigned char>(c);
    const int size = 1 << (f.bitsPerChar - 1);
    return code >= f.asciiOffset && code < f.asciiOffset + size && c != f.startSentinel;
}

class Parser {
public:
    Parser(QByteArrayView text, const TextFormat &format) : m_text(text), m_format(format) {}

    ParsedText run()
    {
        bool lineComplete = false;
        while (m_at < m_text.size()) {
            const char c = m_text[m_at];
            if (isLineEnd(c)) {
                lineComplete = m_lineTracks >= 2 || m_lineHasTrack3;
                m_lineTracks = 0;
                m_lineHasTrack3 = false;
            }
            if (isControl(c)) { // framing, or line noise
                ++m_at;
                continue;
            }
            if (isStartSentinel(c)) {
                ++m_at;
                readTrack(c == '%' ? 1 : c == '+' || m_out.touched[1] ? 3 : 2, true);
            } else if (m_last == 0) {
                readTrack(c >= 'A' && c <= 'Z' ? 1 : 2, false);
            } else {
                readTrack(m_last + 1, false);
            }
        }
        m_out.endsCard = !m_text.isEmpty() && isLineEnd(m_text.back()) && lineComplete;
        return std::move(m_out);
    }

private:
    void fail(int track, int code)
    {
        auto &error = m_out.read.tracks[std::size_t(track - 1)].error;
        if (!error)
            error = code;
    }

    void readTrack(int track, bool withSentinel)
    {
        // Text without a sentinel past the last track, or into one already read,
        // is noise the reader sent with the track before.
        const bool noise = !withSentinel && (track > 3 || m_out.touched[std::size_t(track - 1)]);
        if (noise)
            track = m_last;
        const bool again = !noise && m_out.touched[std::size_t(track - 1)];
        std::string data;
        bool badChar = false, ended = false;
        while (m_at < m_text.size()) {
            const char c = m_text[m_at];
            if (c == '?') {
                ended = true;
                ++m_at;
                break;
            }
            if (isControl(c) || (!withSentinel && isStartSentinel(c)))
                break;
            badChar = badChar || !fitsTrack(track, c);
            data += c;
            ++m_at;
        }
        const bool isE = ended && data == "E";
        bool lrcBad = false;
        if (ended && m_format.lrc) {
            const std::string sent = stripe::formatOf(track).startSentinel + data + '?';
            const char want = stripe::lrcChar(track, sent);
            const bool present = m_at < m_text.size() && !isControl(m_text[m_at]);
            if (present && (!isE || m_text[m_at] == want)) {
                lrcBad = m_text[m_at] != want;
                ++m_at;
            } else {
                lrcBad = !present;
            }
        }
        if (noise) {
            fail(track, kOther);
            return;
        }
        m_out.touched[std::size_t(track - 1)] = true;
        m_last = track;
        ++m_lineTracks;
        m_lineHasTrack3 = m_lineHasTrack3 || track == 3;
        if (again) {
            fail(track, kOther);
            return;
        }
        const qsizetype room = stripe::formatOf(track).maxChars - 3;
        m_out.read.tracks[std::size_t(track - 1)].text =
            QString::fromLatin1(data.data(), qsizetype(data.size()));
        if (!withSentinel)
            fail(track, stripe::StartSentinelError);
        if (badChar || qsizetype(data.size()) > room)
            fail(track, kOther);
        if (!ended)
            fail(track, stripe::EndSentinelError);
        if (isE)
            fail(track, kOther);
        if (lrcBad)
            fail(track, stripe::LrcError);
    }

    QByteArrayView m_text;
    TextFormat m_format;
    qsizetype m_at = 0;
    ParsedText m_out;
    int m_last = 0; // the track opened last
    int m_lineTracks = 0;
    bool m_lineHasTrack3 = false;
};

bool hasSentinel(QByteArrayView text)
{
    for (char c : text) {
        if (isStartSentinel(c) || c == '?')
            return true;
    }
    return false;
}

} // namespace

ParsedText parseSwipeText(QByteArrayView text, const TextFormat &format)
{
    return Parser(text, format).run();
}

QList<TextSwipe> SwipeAssembler::feed(QByteArrayView bytes)
{
    QList<TextSwipe> done;
    for (const char c : bytes) {
        if (m_discarding) {
            m_discarding = !isLineEnd(c) && c != kEtx;
            continue;
        }
        if (m_text.isEmpty() && isControl(c))
            continue;
        m_text += c;
        if (m_text.size() > kMaxSwipeBytes) {
            done += finish(kMaxSwipeBytes, true);
            m_discarding = !isLineEnd(c) && c != kEtx; // unless this byte ended it
            continue;
        }
        if (isLineEnd(c) && m_signOn) {
            m_signOn = false;
            if (!hasSentinel(m_text)) {
                m_text.clear();
                continue;
            }
        }
        if (isLineEnd(c) || c == kEtx) {
            const ParsedText parsed = parseSwipeText(m_text, m_format);
            const bool anyTrack = parsed.touched[0] || parsed.touched[1] || parsed.touched[2];
            if (parsed.endsCard || (c == kEtx && anyTrack))
                done += finish(m_text.size(), false);
        }
    }
    return done;
}

QList<TextSwipe> SwipeAssembler::flush()
{
    const bool signOn = std::exchange(m_signOn, false) && !hasSentinel(m_text);
    if (m_discarding || signOn || (m_text.isEmpty() && !m_damaged)) {
        clear();
        return {};
    }
    return {finish(m_text.size(), false)};
}

void SwipeAssembler::markDamaged()
{
    if (!m_discarding)
        m_damaged = true;
}

void SwipeAssembler::clear()
{
    m_text.clear();
    m_damaged = m_discarding = false;
}

TextSwipe SwipeAssembler::finish(qsizetype length, bool cut)
{
    TextSwipe swipe{m_text.left(length), {}};
    ParsedText parsed = parseSwipeText(swipe.text, m_format);
    swipe.read = parsed.read;
    if (cut || m_damaged) {
        const bool none = !parsed.touched[0] && !parsed.touched[1] && !parsed.touched[2];
        for (std::size_t t = 0; t < 3; ++t) {
            if (none || parsed.touched[t])
                swipe.read.tracks[t].error = kOther;
        }
    }
    m_text.clear();
    m_damaged = false;
    return swipe;
}

} // namespace msr
