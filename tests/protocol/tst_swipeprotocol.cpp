// SPDX-License-Identifier: MIT
// The swipe socket's lines, without a socket: what each request parses to or
// why it is refused, and answers as the feeder reads them back.
#include "backends/virtual/swipeprotocol.h"

#include <QTest>

using namespace msr::protocol;

class TestSwipeProtocol : public QObject {
    Q_OBJECT
private slots:
    void parsesRequests_data();
    void parsesRequests();
    void answers();
};

void TestSwipeProtocol::parsesRequests_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("error"); // empty: parses
    QTest::addColumn<QList<int>>("bits");
    QTest::addColumn<bool>("wait");

    const QByteArray full(16384, '1');
    QTest::newRow("three tracks") << QByteArray(
                                         R"({"swipe":{"track1":"01","track2":"1","track3":"110"}})")
                                  << QString() << QList<int>{2, 1, 3} << false;
    QTest::newRow("absent and empty tracks, wait")
        << QByteArray(R"( {"wait":true,"swipe":{"track2":""}} )") << QString()
        << QList<int>{0, 0, 0} << true;
    QTest::newRow("16384 bits") << R"({"swipe":{"track3":")" + full + R"("}})" << QString()
                                << QList<int>{0, 0, 16384} << false;

    const QList<int> none;
    auto bad = [&](const char *name, const QByteArray &line, const QString &error) {
        QTest::newRow(name) << line << error << none << false;
    };
    bad("empty", "", "malformed request: empty line");
    bad("not JSON", "swipe", "malformed request: not JSON (illegal value at byte 1)");
    bad("array", R"([{"swipe":{}}])", "malformed request: not a JSON object");
    bad("no swipe", R"({"wait":true})", "malformed request: \"swipe\" is missing");
    bad("swipe not an object", R"({"swipe":"0101"})",
        "malformed request: \"swipe\" must be an object");
    bad("hostile key echoed short and printable", "{\"\\u0007" + QByteArray(100, 'k') + "\":1}",
        "malformed request: unknown key \"?kkkkkkkkkkkkkkkkkkkkkkkkkkkkkkk...\"");
    bad("unknown track", R"({"swipe":{"track4":""}})",
        "malformed request: unknown track \"track4\" in \"swipe\"");
    bad("track not a string", R"({"swipe":{"track1":[0,1]}})",
        "malformed request: \"track1\" must be a string of 0 and 1");
    bad("bit other than 0 or 1", R"({"swipe":{"track2":"0120"}})",
        "malformed request: \"track2\" has \"2\" at bit 2; bits are 0 or 1");
    bad("too many bits", R"({"swipe":{"track1":")" + full + R"(0"}})",
        "malformed request: \"track1\" has 16385 bits, more than 16384");
    bad("wait not a boolean", R"({"swipe":{},"wait":1})",
        "malformed request: \"wait\" must be true or false");
    bad("line too long", QByteArray(65537, ' '), "line longer than 65536 bytes");
    // What a hostile client may send: refused with a reason, never a crash or a hang.
    bad("fullwidth digit as a bit", "{\"swipe\":{\"track2\":\"\xef\xbc\x90\"}}",
        "malformed request: \"track2\" has \"?\" at bit 0; bits are 0 or 1");
    bad("deep arrays", "{\"swipe\":" + QByteArray(30000, '[') + QByteArray(30000, ']') + '}',
        "malformed request: not JSON (too deeply nested document at byte 1033)");
}

void TestSwipeProtocol::parsesRequests()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, error);
    QFETCH(QList<int>, bits);
    QFETCH(bool, wait);
    const ParsedRequest parsed = parseRequest(line);
    QCOMPARE(parsed.error, error);
    QCOMPARE(parsed.request.has_value(), error.isEmpty());
    if (!parsed.request)
        return;
    for (int t = 0; t < 3; ++t)
        QCOMPARE(int(parsed.request->tracks[t].size()), bits[t]);
    QCOMPARE(parsed.request->wait, wait);
}

void TestSwipeProtocol::answers()
{
    // Other clients than msrswipe read these lines: the layout is part of the contract.
    Answer answer;
    answer.result = Result::Delivered;
    answer.id = 7;
    answer.tracks[1] = {0, 37, true};
    QCOMPARE(formatAnswer(answer),
             QByteArray(R"({"result":"delivered","id":7,"tracks":{"track1":{"error":0,"length":0},)"
                        R"("track2":{"error":0,"length":37,"reversed":true},)"
                        R"("track3":{"error":0,"length":0}}})"
                        "\n"));
    QCOMPARE(formatAnswer(refusal(QStringLiteral("queue full"))),
             QByteArray("{\"result\":\"refused\",\"reason\":\"queue full\"}\n"));
    // Any reason stays on one line and reads back as sent.
    const Answer awkward = refusal(QStringLiteral("a \"quoted\" \\ reason\n\twith\x01 controls é"));
    const QByteArray line = formatAnswer(awkward);
    QVERIFY(line.endsWith('\n') && line.count('\n') == 1);
    QCOMPARE(parseAnswer(line.chopped(1)), std::optional<Answer>(awkward));

    for (const char *bad : {"", R"({"result":"maybe"})", R"({"result":"accepted"})",
                            R"({"result":"accepted","id":-1,"tracks":{}})",
                            R"({"result":"delivered","id":3,"tracks":{"track1":{"error":0}}})"}) {
        QString why;
        QVERIFY2(!parseAnswer(bad, &why), bad);
        QVERIFY(!why.isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestSwipeProtocol)
#include "tst_swipeprotocol.moc"
