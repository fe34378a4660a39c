// SPDX-License-Identifier: MIT
#include "backends/text/swipetext.h"

#include "codec/stripecodec.h"

#include <algorithm>
#include <array>
#include <cstdint>
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

bool endsSwipe(char c)
{
    return isLineEnd(c) || c == kEtx;
}

bool isStartSentinel(char c)
{
    return c == '%' || c == ';' || c == '+';
}

// Whether a byte ends a track's data, opens a track, and which tracks can hold
// it, in one table: the assembler parses the pending text at every line end,
// so reading a track's data is the hot loop and costs one lookup per byte.
class TrackChars {
public:
    TrackChars()
    {
        for (int code = 0; code < 256; ++code) {
            const char c = static_cast<char>(code);
            std::uint8_t &k = m_kind[std::size_t(code)];
            if (c == '?' || isControl(c))
                k |= kEndsTrack;
            if (isStartSentinel(c))
                k |= kStartSentinel;
            for (int track = 1; track <= 3; ++track) {
                const stripe::TrackFormat &f = stripe::formatOf(track);
                const int size = 1 << (f.bitsPerChar - 1);
                if (code >= f.asciiOffset && code < f.asciiOffset + size && c != f.startSentinel)
                    k |= fitsBit(track);
            }
        }
    }

    struct Scan {
        qsizetype length;
        bool badChar; // the data holds a character the track cannot
    };

    // The track's data at the start of text: up to its end sentinel or a
    // control character, or, for a track that came without a start sentinel,
    // up to the next start sentinel.
    Scan scan(QByteArrayView text, int track, bool withSentinel) const
    {
        const std::uint8_t stop = withSentinel ? kEndsTrack : kEndsTrack | kStartSentinel;
        std::uint8_t all = fitsBit(track);
        qsizetype n = 0;
        for (; n < text.size(); ++n) {
            const std::uint8_t k = m_kind[static_cast<unsigned char>(text[n])];
            if (k & stop)
                break;
            all &= k;
        }
        return {n, all == 0};
    }

private:
    static constexpr std::uint8_t kEndsTrack = 0x10, kStartSentinel = 0x20;
    static constexpr std::uint8_t fitsBit(int track) { return std::uint8_t(1u << (track - 1)); }

    std::array<std::uint8_t, 256> m_kind{};
};

const TrackChars &trackChars()
{
    static const TrackChars chars;
    return chars;
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
        const auto [length, badChar] = trackChars().scan(m_text.sliced(m_at), track, withSentinel);
        const QByteArrayView data = m_text.sliced(m_at, length);
        m_at += length;
        const bool ended = m_at < m_text.size() && m_text[m_at] == '?';
        if (ended)
            ++m_at;
        const bool isE = ended && data == "E";
        bool lrcBad = false;
        if (ended && m_format.lrc) {
            std::string sent;
            sent.reserve(std::size_t(data.size()) + 2);
            sent += stripe::formatOf(track).startSentinel;
            sent.append(data.data(), std::size_t(data.size()));
            sent += '?';
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
        m_out.read.tracks[std::size_t(track - 1)].text = QString::fromLatin1(data);
        if (!withSentinel)
            fail(track, stripe::StartSentinelError);
        if (badChar || data.size() > room)
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
    while (!bytes.isEmpty()) {
        // Only a CR, LF or ETX can end a swipe, so the bytes up to the next one
        // go in as one run.
        const auto endAt =
            std::find_if(bytes.begin(), bytes.end(), [](char c) { return endsSwipe(c); });
        const bool ended = endAt != bytes.end();
        QByteArrayView run = bytes.first(endAt - bytes.begin() + (ended ? 1 : 0));
        bytes = bytes.sliced(run.size());
        if (m_discarding) {
            m_discarding = !ended;
            continue;
        }
        if (m_text.isEmpty()) { // framing before a swipe
            while (!run.isEmpty() && isControl(run.front()))
                run = run.sliced(1);
        }
        const qsizetype room = kMaxSwipeBytes - m_text.size();
        if (run.size() > room) {
            m_text.append(run.first(room));
            done += finish(parseSwipeText(m_text, m_format), true);
            m_discarding = !ended; // the rest of the run is dropped up to its end
            continue;
        }
        m_text.append(run);
        if (!ended || m_text.isEmpty())
            continue;
        const char c = m_text.back();
        if (isLineEnd(c) && std::exchange(m_signOn, false) && !hasSentinel(m_text)) {
            m_text.clear();
            continue;
        }
        ParsedText parsed = parseSwipeText(m_text, m_format);
        const bool anyTrack = parsed.touched[0] || parsed.touched[1] || parsed.touched[2];
        if (parsed.endsCard || (c == kEtx && anyTrack))
            done += finish(std::move(parsed), false);
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
    return {finish(parseSwipeText(m_text, m_format), false)};
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

TextSwipe SwipeAssembler::finish(ParsedText parsed, bool cut)
{
    TextSwipe swipe{std::exchange(m_text, {}), std::move(parsed.read)};
    if (cut || m_damaged) {
        const bool none = !parsed.touched[0] && !parsed.touched[1] && !parsed.touched[2];
        for (std::size_t t = 0; t < 3; ++t) {
            if (none || parsed.touched[t])
                swipe.read.tracks[t].error = kOther;
        }
    }
    m_damaged = false;
    return swipe;
}

} // namespace msr
