// SPDX-License-Identifier: MIT
// The health check's figures and verdict from swipes as the control reports
// them, the same figures read back from its JSON and HTML, and whole checks
// of the virtual reader with msrswipe swiping.
#include "health/healthcheck.h"
#include "health/healthreport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

// msrswipe's test card, and a track 3.
const QString kCard[3] = {"B4111111111111111^TEST/CARD^29121010000000000000",
                          "4111111111111111=29121010000000000000", "014111111111111111=7247"};

// "A" the card's text, "X" other text, "." nothing, a number that error.
health::TrackRead read(int track, const QString &token)
{
    if (token == "A")
        return {0, kCard[track]};
    if (token == "X")
        return {0, kCard[track].left(5) + "9"};
    return {token == "." ? 0 : token.toInt(), {}};
}

// Swipes as "COUNT*T1,T2,T3" words, e.g. "7*A,A,. 3*A,203,.".
QList<health::Swipe> swipes(const QString &words)
{
    QList<health::Swipe> out;
    for (const QString &word : words.split(' ', Qt::SkipEmptyParts)) {
        const QStringList tokens = word.section('*', -1).split(',');
        const int count = word.contains('*') ? word.section('*', 0, 0).toInt() : 1;
        for (int i = 0; i < count; ++i)
            out.append({read(0, tokens[0]), read(1, tokens[1]), read(2, tokens[2])});
    }
    return out;
}

// One track's figures as "good mismatches missing start end parity lrc other".
QString figures(const QList<int> &numbers)
{
    QStringList words;
    for (int n : numbers)
        words << QString::number(n);
    return words.join(' ');
}

} // namespace

class TestHealth : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;

private slots:
    void verdict_data()
    {
        QTest::addColumn<QString>("swipes");
        QTest::addColumn<QString>("expect"); // tracks of the test card, "" without --expect
        QTest::addColumn<double>("minRate");
        QTest::addColumn<QString>("settings"); // the reader's kind, then its lrc= value
        QTest::addColumn<QStringList>("tracks");
        QTest::addColumn<QString>("reason"); // "" for a pass
        const QString all = "10 0 0 0 0 0 0 0";
        QTest::addRow("a worn head")
            << "7*A,A,. 3*A,203,."
            << "" << 0.9 << "virtual" << QStringList{all, "7 0 0 0 0 3 0 0", "-"}
            << "track 2 read 7 of 10 swipes (3 parity errors): dirty or "
               "worn head on track 2; clean the head with a cleaning card "
               "and check again; if it stays below 9 of 10, replace the "
               "reader";
        QTest::addRow("at the rate")
            << "9*A,A,. A,203,."
            << "" << 0.9 << "virtual" << QStringList{all, "9 0 0 0 0 1 0 0", "-"} << "";
        // 0.28 * 25 is a hair over 7 in floating point.
        QTest::addRow("0.28 of 25 is 7")
            << "7*A,A,. 18*A,201,."
            << "" << 0.28 << "virtual" << QStringList{"25 0 0 0 0 0 0 0", "7 0 0 18 0 0 0 0", "-"}
            << "";
        QTest::addRow("just under the rate")
            << "6*A,A,. 4*A,202,."
            << "" << 0.7 << "virtual" << QStringList{all, "6 0 0 0 4 0 0 0", "-"}
            << "track 2 read 6 of 10 swipes (4 end sentinel errors): uneven swipes";
        QTest::addRow("good but not the card")
            << "9*A,A,. A,X,."
            << "A,A,." << 0.9 << "virtual" << QStringList{all, "9 1 0 0 0 0 0 0", "-"}
            << "track 2 read differently from the test card in 1 of 10 swipes although it passed "
               "every check";
        // Swipe 1 lacks track 1, so swipe 2 is the reference, wrong as it is.
        QTest::addRow("reference from the first full read")
            << "205,A,. X,A,. 8*A,A,."
            << "" << 0.9 << "virtual" << QStringList{"1 8 0 0 0 0 0 1", "10 0 0 0 0 0 0 0", "-"}
            << "track 1 read differently from the first full read (swipe 2) in 8 of 10 swipes";
        QTest::addRow("empty reads fail")
            << "8*A,A,. 2*A,.,."
            << "A,A,." << 0.9 << "keyboard" << QStringList{all, "8 0 2 0 0 0 0 0", "-"}
            << "track 2 read 8 of 10 swipes (2 empty reads): the reader sent nothing for track 2";
        QTest::addRow("a track that never reads")
            << "10*A,A,."
            << "A,A,A" << 0.9 << "serial" << QStringList{all, all, "0 0 10 0 0 0 0 0"}
            << "track 3 never read in 10 swipes: the reader may be set not to send track 3, or "
               "the card has none";
        QTest::addRow("every track LRC")
            << "10*204,204,."
            << "" << 0.9 << "hid" << QStringList{"0 0 0 0 0 0 10 0", "0 0 0 0 0 0 10 0", "-"}
            << "every track failed (track 1: 10 LRC errors; track 2: 10 LRC errors): the reader's "
               "LRC setting does not match (lrc=);";
        // Track 1's sentinel taken for its LRC leaves track 2 without one.
        QTest::addRow("an LRC expected, none sent")
            << "9*204,201,. A,A,."
            << "" << 0.9 << "serial yes" << QStringList{"1 0 0 0 0 0 9 0", "1 0 0 9 0 0 0 0", "-"}
            << "every track failed (track 1: 9 LRC errors; track 2: 9 start sentinel errors): the "
               "reader's LRC setting does not match (lrc=yes in the device list); set lrc=no";
        QTest::addRow("noise where the card has nothing")
            << "9*A,A,. A,A,205"
            << "A,A,." << 0.9 << "hid" << QStringList{all, all, "9 0 0 0 0 0 0 1"}
            << "track 3 reported 1 other error though the card has nothing on it";
    }
    void verdict()
    {
        QFETCH(QString, swipes);
        QFETCH(QString, expect);
        QFETCH(double, minRate);
        QFETCH(QString, settings);
        QFETCH(QStringList, tracks);
        QFETCH(QString, reason);
        health::Input input;
        input.swipes = ::swipes(swipes);
        input.asked = int(input.swipes.size());
        if (!expect.isEmpty()) {
            const health::Swipe card = ::swipes(expect).constFirst();
            input.expected.emplace();
            for (int t = 0; t < 3; ++t)
                if (!card[t].text.isEmpty())
                    (*input.expected)[t] = card[t].text;
        }
        input.minRate = minRate;
        input.reader = {"FRONT", settings.section(' ', 0, 0), {}, {}, {}};
        if (settings.contains(' '))
            input.reader.settings.insert("lrc", settings.section(' ', 1));
        const health::Result result =
            evaluate(input, [](int track, const QString &) { return QString("<%1>").arg(track); });

        QStringList got;
        for (const health::TrackFigures &f : result.tracks)
            got << (f.carried || f.failed() || f.mismatches
                        ? figures({f.good, f.mismatches, f.missing, f.errors[0], f.errors[1],
                                   f.errors[2], f.errors[3], f.errors[4]})
                        : QString("-"));
        QCOMPARE(got, tracks);
        QCOMPARE(result.pass, reason.isEmpty());
        if (!reason.isEmpty())
            QVERIFY2(result.reasons.value(0).startsWith(reason),
                     qPrintable(result.reasons.join('\n')));

        // The reports carry the same figures, and never the card's text.
        const QByteArray json = health::jsonReport(input, result);
        const QByteArray page = health::htmlReport(input, result);
        const QString text = health::terminalReport(input, result);
        for (const QString &shown : {QString::fromUtf8(json), QString::fromUtf8(page), text})
            QVERIFY2(!shown.contains("41111111") && !shown.contains("TEST/CARD"),
                     qPrintable(shown));
        const QJsonObject root = QJsonDocument::fromJson(json).object();
        QCOMPARE(root["verdict"].toString(), reason.isEmpty() ? "pass" : "fail");
        QCOMPARE(root["reasons"].toArray().toVariantList().value(0).toString(),
                 result.reasons.value(0));
        QStringList fromJson, fromPage;
        const QJsonArray jsonTracks = root["tracks"].toArray();
        for (const QJsonValue &value : jsonTracks) {
            const QJsonObject t = value.toObject(), e = t["errors"].toObject();
            fromJson << figures({t["good"].toInt(), t["mismatches"].toInt(), t["missing"].toInt(),
                                 e["start"].toInt(), e["end"].toInt(), e["parity"].toInt(),
                                 e["lrc"].toInt(), e["other"].toInt()});
        }
        // Columns: track good rate start end parity LRC other empty mismatch chars.
        static const QRegularExpression row("<tr data-track=\"\\d\">(.*?)</tr>"),
            cell("<td[^>]*>([^<]*)</td>");
        for (auto r = row.globalMatch(QString::fromUtf8(page)); r.hasNext();) {
            QList<int> n;
            for (auto c = cell.globalMatch(r.next().captured(1)); c.hasNext();)
                n << c.next().captured(1).toInt();
            fromPage << (n.size() < 11 ? QString("-")
                                       : figures({n[1], n[9], n[8], n[3], n[4], n[5], n[6], n[7]}));
        }
        // A track the card lacks is in the page only when something came on it.
        for (int t = 0; t < 3; ++t)
            if (tracks[t] == "-")
                fromJson[t] = fromPage[t] = "-";
        QCOMPARE(fromJson, tracks);
        QCOMPARE(fromPage, tracks);
    }

    // msrprobe check on a virtual reader while msrswipe swipes into it: the
    // figures match what msrswipe says it sent.
    void checksTheVirtualReader_data()
    {
        QTest::addColumn<QString>("swipe"); // msrswipe's arguments, "" for no swipe
        QTest::addColumn<QString>("check"); // msrprobe check's options
        QTest::addColumn<int>("status");
        QTest::addRow("a worn head") << "--card test -n 20 --damage-rate 2:parity:0.3 --seed 1"
                                     << "--swipes 20" << 1;
        QTest::addRow("the test card, expected")
            << "--card test -n 5 --damage-rate 2:parity:0.2 --seed 4"
            << "--swipes 5 --min-rate 0.8 --expect " + m_dir.filePath("card") << 0;
        // The last swipe's events end with an error after its data: the
        // check takes all of them before it lets the reader go.
        QTest::addRow("every swipe damaged, one at a time")
            << "--card test -n 2 -w --damage-rate 2:parity:1 --seed 1"
            << "--swipes 2" << 1;
        QTest::addRow("nobody swipes") << ""
                                       << "--timeout 0.2" << 3;
    }
    void checksTheVirtualReader()
    {
        QFETCH(QString, swipe);
        QFETCH(QString, check);
        QFETCH(int, status);
        qputenv("XDG_RUNTIME_DIR", m_dir.filePath("run").toLocal8Bit());
        qputenv("SWIPEWATCH_DEVICES", m_dir.filePath("devices").toLocal8Bit());
        QFile list(m_dir.filePath("devices")), card(m_dir.filePath("card"));
        QVERIFY(list.open(QIODevice::WriteOnly) && list.write("VIRT = virtual\n") > 0);
        QVERIFY(card.open(QIODevice::WriteOnly) &&
                card.write("%" + kCard[0].toLatin1() + "?;" + kCard[1].toLatin1() + "?\n") > 0);
        list.close();
        card.close();
        const QString json = m_dir.filePath("check.json"), page = m_dir.filePath("check.html");
        QFile::remove(json);
        QProcess probe;
        probe.start(MSRPROBE_BINARY,
                    QStringList{"check", "VIRT", "--json", json, "--report", page} +
                        check.split(' '));
        QByteArray said;
        QTRY_VERIFY2_WITH_TIMEOUT((said += probe.readAllStandardError()).contains("1 of"),
                                  said.constData(), 30000);
        int damaged = 0;
        if (!swipe.isEmpty()) {
            QProcess msrswipe;
            msrswipe.start(MSRSWIPE_BINARY, QStringList{"-D", "VIRT"} + swipe.split(' '));
            QVERIFY(msrswipe.waitForFinished(30000));
            const QString sent = QString::fromUtf8(msrswipe.readAllStandardOutput());
            QCOMPARE(msrswipe.exitCode(), 0);
            const auto counted = QRegularExpression("(\\d+) of the (\\d+) swipes").match(sent);
            QVERIFY2(counted.hasMatch(), qPrintable(sent));
            damaged = counted.captured(1).toInt();
            QCOMPARE(sent.count("; sent track 2 parity"), damaged);
        }
        QVERIFY(probe.waitForFinished(30000));
        QCOMPARE(probe.exitCode(), status);
        QFile written(json);
        QCOMPARE(written.open(QIODevice::ReadOnly), status != 3);
        if (status == 3)
            return;
        const QJsonObject root = QJsonDocument::fromJson(written.readAll()).object();
        const QJsonObject track2 = root["tracks"].toArray()[1].toObject();
        const int swipes = root["swipes"].toInt();
        QCOMPARE(swipes, root["asked"].toInt());
        QCOMPARE(track2["errors"].toObject()["parity"].toInt(), damaged);
        QCOMPARE(track2["good"].toInt(), swipes - damaged);
        QCOMPARE(root["tracks"].toArray()[0].toObject()["good"].toInt(), swipes);
        QCOMPARE(root["verdict"].toString(), status ? "fail" : "pass");
        QFile html(page);
        QVERIFY(html.open(QIODevice::ReadOnly));
        QVERIFY(html.readAll().contains(
            QString("<tr data-track=\"2\"><td>2</td><td>%1</td>").arg(swipes - damaged).toUtf8()));
    }
};

QTEST_GUILESS_MAIN(TestHealth)
#include "tst_health.moc"
