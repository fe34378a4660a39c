// SPDX-License-Identifier: MIT
// Fuzz target for the swipe socket's request parser.
//
// If the first byte is even, the rest of the input is one request line as a
// client might send it. If it is odd, the rest picks fragments of a request
// (keys, values, bit strings with stray characters) and glues them into a
// line, so random bytes also reach the checks behind a well-formed object.
#include "backends/virtual/swipeprotocol.h"

#include <cstdint>
#include <cstdlib>

using namespace msr::protocol;

namespace {

void require(bool holds)
{
    if (!holds)
        std::abort();
}

struct Bytes {
    const std::uint8_t *at, *end;
    std::uint8_t next() { return at < end ? *at++ : 0; }
    // Not when the bytes have run out, so a long track still ends in a whole line.
    bool rarely() { return next() % 8 == 7; }
    QByteArray pick(std::initializer_list<const char *> choices)
    {
        return QByteArray(choices.begin()[next() % choices.size()]);
    }
};

// Mostly bits; now and then a stray character, or one bit too many.
QByteArray bitString(Bytes &in)
{
    const int length = in.rarely() ? int(kMaxTrackBits) - 1 + in.next() % 3 : in.next();
    QByteArray bits(length, '0');
    for (int i = 0; i < length; i += 1 + in.next() % 8)
        bits[i] = '1';
    if (length > 0 && in.rarely())
        bits.replace(in.next() % length, 1, in.pick({"2", "\x01", "\xc3\xa9"}));
    return '"' + bits + '"';
}

// Mostly a well-formed request, with now and then a key or a value wrong.
QByteArray composed(Bytes &in)
{
    QByteArray tracks; // ",key:value" each; the first comma is dropped below
    for (int i = 0, count = in.next() % 4; i < count; ++i)
        tracks += in.pick({",\"track1\":", ",\"track2\":", ",\"track3\":", ",\"track4\":"}) +
                  (in.rarely() ? "[1]" : bitString(in));
    QByteArray line = in.pick({"{\"swipe\":", "{\"swipe\":", "{\"Swipe\":", "{\"wait\":"}) +
                      (in.rarely() ? bitString(in) : '{' + tracks.mid(1) + '}');
    if (in.next() % 2)
        line += ",\"wait\":" + in.pick({"true", "false", "1"});
    return line + '}';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    Bytes in{data + 1, data + size};
    const QByteArray line =
        data[0] % 2 == 0 ? QByteArray(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1))
                         : composed(in);
    const ParsedRequest parsed = parseRequest(line);

    if (!parsed.request) {
        require(parsed.error.startsWith(QLatin1String("malformed request: ")) ||
                parsed.error == QLatin1String(kLineTooLong));
        // The refusal goes back as one line and reads back as sent.
        const QByteArray answerLine = formatAnswer(refusal(parsed.error));
        require(answerLine.endsWith('\n') && answerLine.count('\n') == 1);
        const std::optional<Answer> answer = parseAnswer(answerLine.chopped(1));
        require(answer && answer->result == Result::Refused && answer->reason == parsed.error);
        return 0;
    }
    require(parsed.error.isEmpty());
    for (const TrackBits &bits : parsed.request->tracks) {
        for (std::uint8_t bit : bits)
            require(bit == 0 || bit == 1);
    }
    // What was accepted is written back as a line that parses to the same request.
    const QByteArray again = formatRequest(*parsed.request);
    require(again.endsWith('\n') && again.count('\n') == 1 && again.size() <= kMaxLineBytes + 1);
    const ParsedRequest reparsed = parseRequest(again.chopped(1));
    require(reparsed.request && *reparsed.request == *parsed.request);
    return 0;
}
