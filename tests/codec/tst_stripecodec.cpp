// SPDX-License-Identifier: MIT
#include "codec/stripecodec.h"

#include <QTest>

using namespace stripe;

namespace {

// Every character the track can hold between the sentinels.
std::string alphabet(int track)
{
    std::string all = track == 1 ? "" : "0123456789:<=>";
    for (char c = ' '; track == 1 && c <= '_'; ++c)
        all += c == '%' || c == '?' ? "" : std::string(1, c);
    return all;
}

// "11010 10000" -> those bits between clocking zeros; spaces only aid reading.
Bits track(const char *pattern)
{
    Bits bits(clockingZeros, 0);
    for (const char *p = pattern; *p; ++p) {
        if (*p != ' ')
            bits.push_back(*p == '1');
    }
    bits.insert(bits.end(), clockingZeros, 0);
    return bits;
}

// Empty if both swipe directions give `error` (and on success `text`), else what they gave.
std::string misread(int trackNo, const Bits &bits, int error, const std::string &text)
{
    const Decoded f = decodeTrack(trackNo, bits);
    const Decoded b = decodeTrack(trackNo, reversed(bits));
    if (f.error == error && b.error == error)
        return {};
    return "track " + std::to_string(trackNo) + " '" + text + "' read forwards " +
           std::to_string(f.error) + " '" + f.text + "', backwards " + std::to_string(b.error) +
           " '" + b.text + "'";
}

#define CHECK_READS(track, bits, error, text)                                                      \
    do {                                                                                           \
        const std::string why = misread(track, bits, error, text);                                 \
        QVERIFY2(why.empty(), why.c_str());                                                        \
    } while (false)

} // namespace

class TestStripeCodec : public QObject {
    Q_OBJECT

private slots:
    void writesBitsAndLrc()
    {
        // ';' '1' '?' LRC, least significant bit first, odd parity last.
        QCOMPARE(encodeTrack(2, "1").bits, track("11010 10000 11111 10101"));
        // '%' 'A' '?' LRC
        QCOMPARE(encodeTrack(1, "A").bits, track("1010001 1000011 1111100 1101110"));
    }

    void backwardsAmbiguity()
    {
        // Backwards, a track 1 end sentinel reads as '\', so a few texts starting with it
        // swipe backwards into bits that are also a clean forward track. Forward wins.
        const Bits bits = reversed(encodeTrack(1, "\\$S").bits);
        QCOMPARE(decodeTrack(1, bits).text, std::string("\\G0"));
        QVERIFY(!decodeTrack(1, bits).reversed);
    }

    void damage()
    {
        // Between them short texts give every LRC value, and the LRC decides whether a
        // damaged track could pass for something else when read from its far end.
        // Long random texts, every kind of damage, are fuzz_decoder's.
        for (int t = 1; t <= 3; ++t) {
            const std::string chars = alphabet(t);
            for (std::size_t length = 0, count = 1; length <= (t == 1 ? 2u : 3u);
                 ++length, count *= chars.size()) {
                for (std::size_t n = 0; n < count; ++n) {
                    std::string text;
                    for (std::size_t rest = n; text.size() < length; rest /= chars.size())
                        text += chars[rest % chars.size()];
                    for (int kind = 1; kind <= 5; ++kind)
                        CHECK_READS(t, encodeTrack(t, text, Damage(kind)).bits, 200 + kind, text);
                }
            }
        }
        // Backwards, text ending in '\' and '1' with no end sentinel reads as a start
        // sentinel, an end sentinel and an LRC that may well match.
        CHECK_READS(1, encodeTrack(1, "L\\1", Damage::End).bits, EndSentinelError, "");
        // Already too long, and backwards the LRC ':' reads as ';', then the end sentinel,
        // and the final '4' as a matching LRC.
        const std::string overlong = std::string(38, '1') + ":4";
        CHECK_READS(2, encodeTrack(2, overlong, Damage::Other).bits, OtherError, "");
    }

    void refusesText()
    {
        const std::tuple<int, std::string, std::string> cases[] = {
            {1, "A`", "'`' (position 2)"}, // just past '_'
            {2, "@", "'@' (position 1)"},  // just past '?'
            {3, "/", "'/' (position 1)"},  // just before '0'
            {1, "A\nB", "byte 0x0A"},
            {1, "?", "track 1 cannot hold '?'"},
            {3, "1;", "track 3 cannot hold ';'"},
            {1, std::string(77, 'A'), "at most 76"},
            {3, std::string(105, '1'), "at most 104"},
            {4, "1", "no track 4"},
        };
        for (const auto &[t, text, message] : cases) {
            const Encoded encoded = encodeTrack(t, text, Damage::Parity);
            QVERIFY(encoded.bits.empty());
            QVERIFY2(encoded.error.find(message) != std::string::npos, encoded.error.c_str());
        }
    }

    void readerFaults_data()
    {
        QTest::addColumn<Bits>("bits");
        QTest::addColumn<int>("error");
        QTest::newRow("no bits") << Bits{} << 0;
        Bits loud = track("11010 10000 11111 10101");
        for (auto &bit : loud)
            bit *= 0xff;
        QTest::newRow("any non-zero is a one") << loud << 0;
        QTest::newRow("noise after lrc") << track("11010 10000 11111 10101 000 1011") << 0;
        QTest::newRow("no start") << track("10000 10000 11111 11010") << 201;
        QTest::newRow("start, bad parity") << track("11011 10000 11111 10100") << 201;
        QTest::newRow("stops after data") << track("11010 10000 10000") << 202;
        QTest::newRow("bad parity") << track("11010 10001 11111 10101") << 203;
        QTest::newRow("lrc bad parity") << track("11010 10000 11111 10100") << 203;
        QTest::newRow("no lrc") << track("11010 10000 11111") << 204;
        QTest::newRow("wrong lrc") << track("11010 10000 11111 00001") << 204;
        // Both ways start with a sentinel and fail; the way that read further is believed.
        const Bits furtherBackwards = track("11010 10001 10000 11111 00001 00001 01011");
        QTest::newRow("backwards reads further") << furtherBackwards << 204;
        QTest::newRow("forwards reads further") << reversed(furtherBackwards) << 204;
        QTest::newRow("start inside") << track("11010 11010 11111 00001") << 205;
        // 41 characters: the end sentinel comes too late
        const QByteArray tooLong = "11010" + QByteArray("10000").repeated(38) + "11111 00100";
        QTest::newRow("too long") << track(tooLong.constData()) << 205;
    }

    void readerFaults()
    {
        QFETCH(Bits, bits);
        QFETCH(int, error);
        const Decoded d = decodeTrack(2, bits);
        QCOMPARE(d.error, error);
        QCOMPARE(d.empty, std::count(bits.begin(), bits.end(), 0) == std::ssize(bits));
        for (int noTrack : {0, 4})
            QCOMPARE(decodeTrack(noTrack, bits).error, int(OtherError));
    }
};

QTEST_APPLESS_MAIN(TestStripeCodec)
#include "tst_stripecodec.moc"
