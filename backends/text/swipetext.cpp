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
                readFramed(opens(c));
            } else {
                readLoose();
            }
        }
        // A piece without its start sentinel yields to the track framed in the
        // same swipe, which is what the reader meant for it.
        for (const Piece &piece : m_loose) {
            if (m_out.touched[std::size_t(piece.track - 1)])
                m_out.ignored += piece.bytes;
            else
                commit(piece);
        }
        m_out.endsCard = !m_text.isEmpty() && isLineEnd(m_text.back()) && lineComplete;
        return std::move(m_out);
    }

private:
    struct Piece {
        int track;
        QByteArrayView data;
        bool withSentinel, badChar, ended, lrcBad;
        qsizetype bytes; // all it took of the text, sentinels and LRC included
    };

    // The track a start sentinel opens: ';' is track 3 once a track 2 came with
    // its own ';' (readers that use ';' for both).
    int opens(char sentinel) const
    {
        return sentinel == '%' ? 1 : sentinel == '+' || m_framed2 ? 3 : 2;
    }

    void fail(int track, int code)
    {
        auto &error = m_out.read.tracks[std::size_t(track - 1)].error;
        if (!error)
            error = code;
    }

    // The track's data from m_at up to where it stops, its end sentinel and LRC.
    Piece read(int track, bool withSentinel, bool lrc)
    {
        const qsizetype start = m_at;
        const auto [length, badChar] = trackChars().scan(m_text.sliced(m_at), track, withSentinel);
        Piece piece{track, m_text.sliced(m_at, length), withSentinel, badChar, false, false, 0};
        m_at += length;
        piece.ended = m_at < m_text.size() && m_text[m_at] == '?';
        if (piece.ended)
            ++m_at;
        if (piece.ended && lrc && (withSentinel || !piece.data.isEmpty()))
            piece.lrcBad = !takeLrc(piece);
        piece.bytes = m_at - start + (withSentinel ? 1 : 0);
        return piece;
    }

    // Whether the character after the end sentinel is the track's LRC. It is
    // taken when it is, and as a wrong LRC when it is anything else but a
    // control character or the start sentinel of a track not read yet.
    bool takeLrc(const Piece &piece)
    {
        std::string sent;
        sent.reserve(std::size_t(piece.data.size()) + 2);
        sent += stripe::formatOf(piece.track).startSentinel;
        sent.append(piece.data.data(), std::size_t(piece.data.size()));
        sent += '?';
        const char want = stripe::lrcChar(piece.track, sent);
        const bool isE = piece.data == "E";
        const bool present = m_at < m_text.size() && !isControl(m_text[m_at]);
        const char next = present ? m_text[m_at] : 0;
        if (present && next == want) {
            ++m_at;
            return true;
        }
        // A start sentinel of a track not read yet is that track, not a wrong
        // LRC: the reader most likely sends none.
        const bool opensNext = isStartSentinel(next) &&
                               !m_out.touched[std::size_t(opens(next) - 1)] &&
                               opens(next) != piece.track;
        if (present && !isE && !opensNext) {
            ++m_at;
            return false;
        }
        m_out.lrcMissing = m_out.lrcMissing || !isE;
        return isE;
    }

    void readFramed(int track)
    {
        const bool again = m_out.touched[std::size_t(track - 1)];
        m_framed2 = m_framed2 || track == 2;
        const Piece piece = read(track, true, m_format.lrc);
        noteTrack(track);
        if (again)
            fail(track, kOther);
        else
            commit(piece);
    }

    // Text outside any sentinel. It is a track that lost its start sentinel
    // only when it ends at an end sentinel: it would be the track after the
    // last one read, or at the start the track its first character fits (a
    // letter, the format code, for track 1). Anything else is noise.
    void readLoose()
    {
        const char first = m_text[m_at];
        const int track = m_last ? m_last + 1 : first >= 'A' && first <= 'Z' ? 1 : 2;
        const Piece piece = read(std::min(track, 3), false, m_format.lrc && track <= 3);
        if (track > 3 || !piece.ended || piece.data.isEmpty()) {
            m_out.ignored += piece.bytes;
            return;
        }
        m_loose.append(piece);
        noteTrack(track);
    }

    void noteTrack(int track)
    {
        m_last = track;
        ++m_lineTracks;
        m_lineHasTrack3 = m_lineHasTrack3 || track == 3;
    }

    void commit(const Piece &piece)
    {
        const int track = piece.track;
        m_out.touched[std::size_t(track - 1)] = true;
        const qsizetype room = stripe::formatOf(track).maxChars - 3;
        m_out.read.tracks[std::size_t(track - 1)].text = QString::fromLatin1(piece.data);
        if (!piece.withSentinel)
            fail(track, stripe::StartSentinelError);
        if (piece.badChar || piece.data.size() > room)
            fail(track, kOther);
        if (!piece.ended)
            fail(track, stripe::EndSentinelError);
        if (piece.ended && piece.data == "E")
            fail(track, kOther);
        if (piece.lrcBad)
            fail(track, stripe::LrcError);
    }

    QByteArrayView m_text;
    TextFormat m_format;
    qsizetype m_at = 0;
    ParsedText m_out;
    QList<Piece> m_loose; // pieces without a start sentinel, until the swipe is read
    int m_last = 0;       // the track read last, framed or not
    bool m_framed2 = false;
    int m_lineTracks = 0;
    bool m_lineHasTrack3 = false;
};

qsizetype countNoise(QByteArrayView bytes)
{
    return std::count_if(bytes.begin(), bytes.end(), [](char c) { return !isControl(c); });
}

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
            if (m_noise >= 0)
                m_noise += countNoise(run);
            m_discarding = !ended;
            if (ended && m_noise >= 0)
                done += noise();
            continue;
        }
        if (m_text.isEmpty()) { // framing before a swipe
            while (!run.isEmpty() && isControl(run.front()))
                run = run.sliced(1);
            // Keystrokes lost before the line end belong to the swipe it ends,
            // not to the next one.
            if (run.isEmpty() && ended && m_damaged)
                done += finish({}, false);
        }
        const qsizetype room = kMaxSwipeBytes - m_text.size();
        if (run.size() > room) {
            m_text.append(run.first(room));
            ParsedText parsed = parseSwipeText(m_text, m_format);
            m_discarding = !ended; // the rest of the run is dropped up to its end
            if (hasTrack(parsed) || m_damaged) {
                done += finish(std::move(parsed), true);
            } else {
                m_noise = parsed.ignored + countNoise(run.sliced(room));
                m_text.clear();
                if (!m_discarding)
                    done += noise();
            }
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
        if (parsed.endsCard || (c == kEtx && hasTrack(parsed)))
            done += finish(std::move(parsed), false);
    }
    return done;
}

QList<TextSwipe> SwipeAssembler::flush(bool readerGone)
{
    if (m_discarding && m_noise >= 0) {
        m_discarding = false;
        return {noise()};
    }
    const bool signOn = std::exchange(m_signOn, false) && !hasSentinel(m_text);
    if (m_discarding || signOn || (m_text.isEmpty() && !m_damaged)) {
        clear();
        return {};
    }
    ParsedText parsed = parseSwipeText(m_text, m_format);
    if (!hasTrack(parsed) && !m_damaged) {
        m_noise = parsed.ignored;
        m_text.clear();
        return {noise()};
    }
    m_damaged = m_damaged || readerGone;
    return {finish(std::move(parsed), false)};
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
    m_noise = -1;
}

bool SwipeAssembler::hasTrack(const ParsedText &parsed)
{
    return parsed.touched[0] || parsed.touched[1] || parsed.touched[2];
}

TextSwipe SwipeAssembler::finish(ParsedText parsed, bool cut)
{
    TextSwipe swipe{std::exchange(m_text, {}), std::move(parsed.read)};
    swipe.ignored = parsed.ignored;
    swipe.lrcMissing = parsed.lrcMissing;
    if (cut || m_damaged) {
        const bool none = !hasTrack(parsed);
        for (std::size_t t = 0; t < 3; ++t) {
            if (none || parsed.touched[t])
                swipe.read.tracks[t].error = kOther;
        }
    }
    m_damaged = false;
    return swipe;
}

TextSwipe SwipeAssembler::noise()
{
    TextSwipe swipe;
    swipe.card = false;
    swipe.ignored = std::exchange(m_noise, -1);
    return swipe;
}

} // namespace msr
