// Fuzz target for the swipe socket's request parser.
//
// If the first byte is even, the rest of the input is one request line as a
// client might send it. If it is odd, the rest picks fragments of a request
// (keys, values, bit strings with stray characters) and glues them into a
// line, so random bytes also reach the checks behind a well-formed object.
#include "reader/swipeprotocol.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace msr::protocol;

namespace {

void require(bool holds)
{
    if (!holds)
        std::abort();
}

class Bytes {
public:
    Bytes(const std::uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}
    bool empty() const { return m_pos >= m_size; }
    std::uint8_t next() { return empty() ? 0 : m_data[m_pos++]; }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

QByteArray pick(Bytes &in, std::initializer_list<const char *> choices)
{
    return QByteArray(choices.begin()[in.next() % choices.size()]);
}

QByteArray bitString(Bytes &in)
{
    QByteArray bits = "\"";
    const int length = in.next() % 16 == 0 ? int(kMaxTrackBits) - 2 + in.next() % 4 : in.next();
    for (int i = 0; i < length; ++i)
        bits += (i * 31 + length) % 7 == 0 ? '1' : '0';
    if (in.next() % 8 == 0 && length > 0)
        bits[1 + in.next() % length] = pick(in, {"2", " ", "\xc3", "b"})[0];
    return bits + '"';
}

QByteArray value(Bytes &in)
{
    switch (in.next() % 4) {
    case 0:
        return bitString(in);
    case 1:
        return pick(in,
                    {"true", "false", "null", "0", "1", "-1e400", "\"\"", "[]", "{}", "[\"01\"]"});
    case 2:
        return pick(in, {"\"\\u0000\"", "\"\\ud800\"", "\"01\\n\"", "\"\xff\"", "\"\\u0031\""});
    default:
        return "{" + pick(in, {"\"track1\"", "\"\""}) + ":" + bitString(in) + "}";
    }
}

// Mostly a well-formed request, with now and then one part of it wrong.
QByteArray composed(Bytes &in)
{
    auto rarely = [&in] { return in.next() % 8 == 0; };
    QByteArray line = "{\"swipe\":";
    if (rarely()) {
        line += value(in);
    } else {
        line += '{';
        const int tracks = in.next() % 4;
        for (int i = 0; i < tracks; ++i) {
            line += (i ? "," : "") +
                    (rarely() ? pick(in, {"\"track4\"", "\"\"", "\"swipe\"", "\"\\u0074rack1\""})
                              : pick(in, {"\"track1\"", "\"track2\"", "\"track3\""})) +
                    ':' + (rarely() ? value(in) : bitString(in));
        }
        line += '}';
    }
    if (in.next() % 2)
        line += ",\"wait\":" + (rarely() ? value(in) : pick(in, {"true", "false"}));
    if (rarely())
        line += "," + pick(in, {"\"swipe\"", "\"Swipe\"", "\"\""}) + ":" + value(in);
    line += rarely() ? pick(in, {"", "}}", "} x", "]", "}\n{}"}) : QByteArray("}");
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    Bytes in(data + 1, size - 1);
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
        require(bits.size() <= kMaxTrackBits);
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
