// SPDX-License-Identifier: MIT
// The lines a feeder and the virtual reader exchange over the swipe socket:
// parsing and formatting only, no sockets. The grammar is written out at the
// top of virtualmsr.cpp.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace msr::protocol {

// One element per bit, 0 or 1, in the order the head senses them: the same
// layout as the codec's bits.
using TrackBits = std::vector<std::uint8_t>;

// Longest request line, not counting its '\n'.
inline constexpr qsizetype kMaxLineBytes = 65536;
// Most bits one track may carry; three full tracks still fit in one line.
inline constexpr std::size_t kMaxTrackBits = 16384;

struct SwipeRequest {
    std::array<TrackBits, 3> tracks; // an empty track has no bits
    bool wait = false;
    friend bool operator==(const SwipeRequest &, const SwipeRequest &) = default;
};

struct ParsedRequest {
    std::optional<SwipeRequest> request;
    QString error; // the refusal reason when there is no request
};

// line is one request without its '\n'.
ParsedRequest parseRequest(QByteArrayView line);
// The request line, '\n' included.
QByteArray formatRequest(const SwipeRequest &request);

enum class Result { Accepted, Delivered, Refused };

// What the reader made of one track.
struct TrackResult {
    std::int32_t error = 0; // the read error code, 0 for a good track
    int length = 0;         // characters read
    bool reversed = false;  // read as a backwards swipe
    friend bool operator==(const TrackResult &, const TrackResult &) = default;
};

struct Answer {
    Result result = Result::Refused;
    QString reason; // refused only
    // Set once the reader has read the swipe and queued it; a refusal with no
    // id means the swipe never reached the queue.
    std::optional<quint64> id;
    std::array<TrackResult, 3> tracks; // meaningful with an id
    friend bool operator==(const Answer &, const Answer &) = default;
};

Answer refusal(const QString &reason);
// The answer line, '\n' included. Fields come in a fixed order so a person
// reading the socket sees the result first.
QByteArray formatAnswer(const Answer &answer);
// line is one answer without its '\n'.
std::optional<Answer> parseAnswer(QByteArrayView line, QString *error = nullptr);

// Refusal reasons of the reader itself; the control gives its own.
inline constexpr const char *kLineTooLong = "line longer than 65536 bytes";
inline constexpr const char *kTooManyConnections = "too many connections";
inline constexpr const char *kOtherUser = "connection from another user";
inline constexpr const char *kDropped = "swipe was dropped";
// Whether a refusal is of the connection (then the reader hangs up), not of a line.
bool refusesConnection(const Answer &answer);

} // namespace msr::protocol
