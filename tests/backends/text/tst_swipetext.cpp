// The text of keyboard-type and serial readers: framings and faults of one
// swipe, and where the assembler ends a swipe.
#include "backends/text/swipetext.h"

#include <QTest>

using namespace msr;

namespace {

// "text:code|text:code|text:code"
QString describe(const SwipeRead &read)
{
    QStringList tracks;
    for (const TrackRead &t : read.tracks)
        tracks << QStringLiteral("%1:%2").arg(t.text).arg(t.error);
    return tracks.join('|');
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
        row("track 2 only", ";4111=2912?\r", ":0|4111=2912:0|:0");
        row("STX ESC .. CR ETX", "\x02\x1b%A?;1?\r\x03", "A:0|1:0|:0");
        row("CR LF per track, ';' for track 3", "%A?\r\n;1?\r\n;2?\r\n", "A:0|1:0|2:0");
        row("STX .. DLE per track, ETX last", "\x02%A?\x10\x02;1?\x10\x03", "A:0|1:0|:0");
        row("nothing but framing", "\r\n\x02\x03", ":0|:0|:0");
        row("E tracks", "%E?;1?+E?\r", "E:205|1:0|E:205");
        row("E cut off", "%E", "E:202|:0|:0");
        row("no start sentinel, after track 1", "%A?1234?\r", "A:0|1234:201|:0");
        row("no start sentinel, letter first", "B12?;1?\r", "B12:201|1:0|:0");
        row("no start sentinel, digits first", "4111=29?\r", ":0|4111=29:201|:0");
        row("no sentinels at all", "4111=29\r", ":0|4111=29:201|:0");
        row("cut off by CR", "%A?;123\r+4?", "A:0|123:202|4:0");
        row("cut off by the end", "%A?;12", "A:0|12:202|:0");
        row("letter in track 2", ";12A4?", ":0|12A4:205|:0");
        row("lower case in track 1", "%ab?", "ab:205|:0|:0");
        row("start sentinel inside data", "%A%B?;1;2?", "A%B:205|1;2:205|:0");
        row("track 2 full", ';' + QByteArray(37, '1') + '?', ":0|" + QString(37, '1') + ":0|:0");
        row("track 2 too long", ';' + QByteArray(38, '1') + '?',
            ":0|" + QString(38, '1') + ":205|:0");
        row("track 1 too long", '%' + QByteArray(77, 'A') + '?', QString(77, 'A') + ":205|:0|:0");
        row("track sent twice", "%A?%B?\r", "A:205|:0|:0");
        row("noise after track 3", "%A?;1?+2?XY\r", "A:0|1:0|2:205");
        row("LRC good", "%AT3?<;1?5+1?5\r", "AT3:0|1:0|1:0", true);
        row("LRC wrong", "%AT3?=;1?5\r", "AT3:204|1:0|:0", true);
        row("LRC missing", "%AT3?\r", "AT3:204|:0|:0", true);
        row("LRC looks like a sentinel", "%!?;;1?5\r", "!:0|1:0|:0", true);
        row("E track with and without LRC", "%E?_;E?;2?6\r", "E:205|E:205|2:0", true);
    }
    void parse()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, lrc);
        QFETCH(QString, tracks);
        QCOMPARE(describe(parseSwipeText(text, TextFormat{lrc}).read), tracks);
    }

    // Each step is bytes, or <gap>, <lost> or <opened>; swipes that come out
    // of an idle gap are marked "gap".
    void assemble_data()
    {
        QTest::addColumn<QByteArrayList>("steps");
        QTest::addColumn<QStringList>("swipes");
        const QByteArray longTrack = '%' + QByteArray(1100, 'A');
        const QString cut = QString(999, 'A') + ":205|:0|:0";
        QTest::addRow("CR after three tracks")
            << QByteArrayList{"%A?;1?+2?\r"} << QStringList{"A:0|1:0|2:0"};
        QTest::addRow("CR after two tracks")
            << QByteArrayList{"%A?;1?\r\n", "<gap>"} << QStringList{"A:0|1:0|:0"};
        QTest::addRow("one track waits for the gap")
            << QByteArrayList{";1?\r", "<gap>"} << QStringList{"gap :0|1:0|:0"};
        QTest::addRow("CR per track")
            << QByteArrayList{"%A?\r", ";1?\r", "+2?\r"} << QStringList{"A:0|1:0|2:0"};
        QTest::addRow("split anywhere")
            << QByteArrayList{"%A", "?;1", "?", "\r"} << QStringList{"A:0|1:0|:0"};
        QTest::addRow("ETX ends") << QByteArrayList{"\x02%A?\x10\x02;1?\x10\x03"}
                                  << QStringList{"A:0|1:0|:0"};
        QTest::addRow("no CR at all")
            << QByteArrayList{"%A?;1?", "<gap>"} << QStringList{"gap A:0|1:0|:0"};
        QTest::addRow("two in one read")
            << QByteArrayList{"%A?;1?\r%B?;2?\r"} << QStringList{"A:0|1:0|:0", "B:0|2:0|:0"};
        QTest::addRow("lost during a swipe")
            << QByteArrayList{"%A?;1", "<lost>", "2?\r"} << QStringList{"A:205|12:205|:0"};
        QTest::addRow("lost between swipes")
            << QByteArrayList{"<lost>", "<gap>"} << QStringList{"gap :205|:205|:205"};
        QTest::addRow("too long, rest dropped")
            << QByteArrayList{longTrack, ";1?\r", "%B?;2?\r"} << QStringList{cut, "B:0|2:0|:0"};
        QTest::addRow("too long, ended by the gap")
            << QByteArrayList{longTrack, "<gap>", "%B?;2?\r"} << QStringList{cut, "B:0|2:0|:0"};
        QTest::addRow("sign-on line") << QByteArrayList{"<opened>", "READER V2.1\r\n", "%A?;1?\r"}
                                      << QStringList{"A:0|1:0|:0"};
        QTest::addRow("sign-on without CR")
            << QByteArrayList{"<opened>", "READY", "<gap>", "%A?;1?\r"}
            << QStringList{"A:0|1:0|:0"};
        QTest::addRow("a card right after opening")
            << QByteArrayList{"<opened>", "%A?;1?\r"} << QStringList{"A:0|1:0|:0"};
    }
    void assemble()
    {
        QFETCH(QByteArrayList, steps);
        QFETCH(QStringList, swipes);
        SwipeAssembler assembler;
        QStringList out;
        for (const QByteArray &step : steps) {
            if (step == "<lost>")
                assembler.markDamaged();
            else if (step == "<opened>")
                assembler.expectSignOn();
            else if (step == "<gap>")
                for (const TextSwipe &s : assembler.flush())
                    out << "gap " + describe(s.read);
            else
                for (const TextSwipe &s : assembler.feed(step))
                    out << describe(s.read);
        }
        QCOMPARE(out, swipes);
        QVERIFY(!assembler.pending() || steps.last() != "<gap>");
    }
};

QTEST_APPLESS_MAIN(TestSwipeText)
#include "tst_swipetext.moc"
