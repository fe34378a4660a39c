// SPDX-License-Identifier: MIT
// The text of keyboard-type and serial readers: framings and faults of one
// swipe, and where the assembler ends a swipe.
#include "../common/swipelog.h"
#include "backends/text/swipetext.h"

#include <QTest>

using namespace msr;

namespace {

const QByteArray kCard = "%B4111111111111111^TEST/CARD^2912101?;4111111111111111=2912101?\r";
const QString kRead = "B4111111111111111^TEST/CARD^2912101:0|4111111111111111=2912101:0|:0";

// The tracks, then the bytes ignored as noise and a likely missing LRC, if any.
QString show(const TextSwipe &s)
{
    return (s.card ? describe(s.read) : "no swipe") +
           (s.ignored ? QString(" (%1 ignored)").arg(s.ignored) : "") +
           (s.lrcMissing ? " (no LRC?)" : "");
}

} // namespace

class TestSwipeText : public QObject {
    Q_OBJECT
private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("lrc");
        QTest::addColumn<QString>("tracks");
        const auto row = [](const char *name, QByteArray text, QString tracks, bool lrc = false) {
            QTest::addRow("%s", name) << text << lrc << tracks;
        };
        row("default framing", "%B4111^DOE/J^2912?;4111=2912?+0123?\r",
            "B4111^DOE/J^2912:0|4111=2912:0|0123:0");
        row("CR LF per track, ';' for track 3", "%A?\r\n;1?\r\n;2?\r\n", "A:0|1:0|2:0");
        row("E tracks", "%E?;1?+E?\r", "E:205|1:0|E:205");
        row("no start sentinel, after track 1", "%A?1234?\r", "A:0|1234:201|:0");
        row("no start sentinel, letter first", "B12?;1?\r", "B12:201|1:0|:0");
        row("no sentinels at all: noise", "4111=29\r", ":0|:0|:0 (7 ignored)");
        row("noise up to a start sentinel", "4111=29;1?\r", ":0|1:0|:0 (7 ignored)");
        for (const char *noise : {" ", "5", "0", "\xff", "55"})
            QTest::addRow("noise '%s' before a card", noise)
                << noise + kCard << false << kRead + QString(" (%1 ignored)").arg(strlen(noise));
        row("a piece ending at '?', then track 2 framed", "5?%A?;1?\r", "A:0|1:0|:0 (2 ignored)");
        row("cut off by CR", "%A?;123\r+4?", "A:0|123:202|4:0");
        row("letter in track 2", ";12A4?", ":0|12A4:205|:0");
        row("start sentinel inside data", "%A%B?;1;2?", "A%B:205|1;2:205|:0");
        row("track 2 full", ';' + QByteArray(37, '1') + '?', ":0|" + QString(37, '1') + ":0|:0");
        row("track 2 too long", ';' + QByteArray(38, '1') + '?',
            ":0|" + QString(38, '1') + ":205|:0");
        row("track 1 too long", '%' + QByteArray(77, 'A') + '?', QString(77, 'A') + ":205|:0|:0");
        row("track sent twice", "%A?%B?\r", "A:205|:0|:0");
        row("noise after track 3", "%A?;1?+2?XY\r", "A:0|1:0|2:0 (2 ignored)");
        row("LRC good", "%AT3?<;1?5+1?5\r", "AT3:0|1:0|1:0", true);
        row("LRC wrong", "%AT3?=;1?5\r", "AT3:204|1:0|:0", true);
        row("LRC missing", "%AT3?\r", "AT3:204|:0|:0 (no LRC?)", true);
        row("LRC looks like a sentinel", "%!?;;1?5\r", "!:0|1:0|:0", true);
        row("no LRC sent: the next start sentinel opens its track", "%AT3?;1?5+2?\r",
            "AT3:204|1:0|2:204 (no LRC?)", true);
        row("E track with and without LRC", "%E?_;E?;2?6\r", "E:205|E:205|2:0", true);
    }
    void parse()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, lrc);
        QFETCH(QString, tracks);
        const ParsedText p = parseSwipeText(text, TextFormat{lrc});
        QCOMPARE(show({text, p.read, true, p.ignored, p.lrcMissing}), tracks);
    }
    // A view ends where it ends: the right LRC just past it is not the track's.
    void parseStopsAtTheEndOfItsView()
    {
        const QByteArray text("%AT3?<\r");
        QCOMPARE(describe(parseSwipeText(QByteArrayView(text).first(5), TextFormat{true}).read),
                 QStringLiteral("AT3:204|:0|:0"));
    }

    // Steps are separated by '#': bytes, or <gap>, <lost> or <opened>. The
    // swipes that come out are separated by " / ", those of an idle gap marked.
    void assemble_data()
    {
        QTest::addColumn<QByteArray>("steps");
        QTest::addColumn<QString>("swipes");
        const auto row = [](const char *name, QByteArray steps, QString swipes) {
            QTest::addRow("%s", name) << steps << swipes;
        };
        const QByteArray tooLong = '%' + QByteArray(1100, 'A');
        const QString cut = QString(999, 'A') + ":205|:0|:0 / ";
        row("CR after two tracks", "%A?;1?\r\n#<gap>", "A:0|1:0|:0");
        row("one track waits for the gap", ";1?\r#<gap>", "gap :0|1:0|:0");
        row("CR per track", "%A?\r#;1?\r#+2?\r", "A:0|1:0|2:0");
        row("split anywhere", "%A#?;1#?#\r", "A:0|1:0|:0");
        row("ETX ends", "\x02%A?\x10\x02;1?\x10\x03", "A:0|1:0|:0");
        row("two in one read", "%A?;1?\r%B?;2?\r", "A:0|1:0|:0 / B:0|2:0|:0");
        row("lost during a swipe", "%A?;1#<lost>#2?\r", "A:205|12:205|:0");
        row("lost between swipes", "<lost>#<gap>", "gap :205|:205|:205");
        row("lost, then a CR: that swipe, not the next", "<lost>#\r#%A?;1?\r",
            ":205|:205|:205 / A:0|1:0|:0");
        row("the reader gone: a swipe damaged, noise still noise", "%A?;1#<gone>#55#<gone>",
            "gap A:205|1:205|:0 / gap no swipe (2 ignored)");
        row("noise alone is no swipe", "55\r#<gap>#%A?;1?\r",
            "gap no swipe (2 ignored) / A:0|1:0|:0");
        row("noise past the limit is no swipe", QByteArray(1500, '5') + "\r#%A?;1?\r",
            "no swipe (1500 ignored) / A:0|1:0|:0");
        row("half a card, the gap, the rest",
            kCard.first(31) + "#<gap>#" + kCard.sliced(31) + "#<gap>",
            "gap B4111111111111111^TEST/CARD^29:202|:0|:0 / :0|4111111111111111=2912101:0|:0 "
            "(6 ignored)");
        row("cut in track 2", kCard.first(42) + "#<gap>#" + kCard.sliced(42) + "#<gap>",
            "gap B4111111111111111^TEST/CARD^2912101:0|4111:202|:0 / gap "
            ":0|111111111111=2912101:201|:0");
        row("too long, rest dropped", tooLong + "#;1?\r#%B?;2?\r", cut + "B:0|2:0|:0");
        row("too long, ended by the gap", tooLong + "#<gap>#%B?;2?\r", cut + "B:0|2:0|:0");
        row("too long, CR in the same read", tooLong + "\r#%B?;2?\r", cut + "B:0|2:0|:0");
        row("1000 bytes with the CR, kept whole", "%A?" + QByteArray(993, '\x02') + ";1?\r",
            "A:0|1:0|:0");
        row("sign-on line", "<opened>#READER V2.1\r\n#%A?;1?\r", "A:0|1:0|:0");
        row("sign-on without CR", "<opened>#READY#<gap>#%A?;1?\r", "A:0|1:0|:0");
        row("a card right after opening", "<opened>#%A?;1?\r", "A:0|1:0|:0");
    }
    void assemble()
    {
        QFETCH(QByteArray, steps);
        QFETCH(QString, swipes);
        SwipeAssembler assembler;
        QStringList out;
        for (const QByteArray &step : steps.split('#')) {
            if (step == "<lost>")
                assembler.markDamaged();
            else if (step == "<opened>")
                assembler.expectSignOn();
            const bool gap = step == "<gap>" || step == "<gone>"; // <gone>: the reader went away
            for (const TextSwipe &s : gap                    ? assembler.flush(step == "<gone>")
                                      : step.startsWith('<') ? QList<TextSwipe>()
                                                             : assembler.feed(step))
                out << (gap ? "gap " : "") + show(s);
        }
        QCOMPARE(out.join(" / "), swipes);
        QVERIFY(!assembler.pending() || !steps.endsWith("<gap>"));
    }
};

QTEST_APPLESS_MAIN(TestSwipeText)
#include "tst_swipetext.moc"
