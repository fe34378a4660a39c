// SPDX-License-Identifier: MIT
#include "cardfields/cardfields.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace cardfields;

namespace {

const QString kTrack1 = QStringLiteral("B4556737586899855^DOE/JOHN^2912201000000123");
const QString kTrack2 = QStringLiteral("4556737586899855=29122010000000");
const QDate kToday(2025, 6, 15);

} // namespace

class TestCardFields : public QObject {
    Q_OBJECT

private slots:
    void fields_data()
    {
        QTest::addColumn<QString>("track1");
        QTest::addColumn<QString>("track2");
        QTest::addColumn<QDate>("today");
        // The keys to check; null: the key must be absent. A "name" shows the data
        // (the name is always kept, so that a hidden one is seen to stay hidden).
        QTest::addColumn<QString>("expect");
        QTest::addColumn<QString>("line"); // if not empty
        const auto row = [](const char *name, const QString &t1, const QString &t2,
                            const char *expect, QDate today = kToday, const char *line = "") {
            QTest::newRow(name) << t1 << t2 << today << QString::fromUtf8(expect) << line;
        };
        const QString t2 = QStringLiteral("4111111111111111=");
        const char *no = R"({"layout":"not a financial card layout","pan":null})";
        row("both tracks", kTrack1, kTrack2,
            R"({"layout":"financial","tracks":[1,2],"pan":"455673******9855","pan_length":16,
                "luhn":true,"expiry":"2029-12","expired":false,"service_code":"201","chip":true,
                "name_length":8,"name":null,"tracks_agree":true,"disagree":null})",
            kToday,
            "    number 455673******9855 (16 digits, Luhn ok); expiry 2029-12 valid; service code "
            "201 (international, chip / normal authorisation / no restrictions); chip card: ask "
            "for the chip; name 8 characters; tracks 1 and 2 agree");
        row("data shown", "B4111111111111111^DOE/JOHN^", "4556737586899855=2913",
            R"({"name":"DOE/JOHN","pan":"4556737586899855"})", kToday,
            "    number 4556737586899855 (16 digits, Luhn ok); expiry 2913 is not a month; no "
            "service code; name \"DOE/JOHN\" (8 characters); tracks 1 and 2 disagree on number, "
            "expiry");
        row("track 1 only", kTrack1, "", R"({"tracks":[1],"tracks_agree":null})");
        row("track 2 only", "", kTrack2, R"({"tracks":[2],"name_length":null})");
        row("format A beside track 2", "A4556737586899855^DOE/JOHN^2912", kTrack2,
            R"({"tracks":[2],"tracks_agree":false,"disagree":["layout"]})");
        row("no separator", "", "4111111111111111", no, kToday, "    not a financial card layout");
        row("11 digits", "", "40000000006=", no);
        row("20 digits", "", "40000000000000000006=", no);
        row("expiry cut short", "", "4111111111111111=29", no);
        row("control character in name", "B4111111111111111^DOE\tJ^", "", no);
        row("27-character name", "B4111111111111111^" + QString(27, 'X') + '^', "", no);
        row("numbers disagree", "B4111111111111111^DOE/J^2912201", kTrack2,
            R"({"pan":"455673******9855","tracks_agree":false,"disagree":["pan"]})");
        row("expiry disagrees", "B4556737586899855^DOE/J^2911201", kTrack2,
            R"({"expiry":"2029-12","disagree":["expiry"]})");
        row("expiry skipped on track 1", "B4556737586899855^DOE/J^^201", kTrack2,
            R"({"disagree":["expiry"]})");
        row("service code skipped on one", "B4556737586899855^DOE/J^2912^", kTrack2,
            R"({"tracks_agree":true})");
        row("service codes disagree", "B4556737586899855^DOE/J^2912101", kTrack2,
            R"({"service_code":"201","disagree":["service_code"]})");
        row("cut after the name", "B4111 1111 1111 1111^DOE/J^", "",
            R"({"pan":"411111******1111","expiry":null,"service_code":null,"chip":null})");
        row("one digit off", "", "4111111111111112=", R"({"luhn":false})");
        row("12 digits", "", "500000000009=", R"({"pan":"500000**0009","luhn":true})");
        row("19 digits", "",
            "6000000000000000004=", R"({"pan":"600000*********0004","luhn":true})");
        row("month 00", "", t2 + "2900", R"({"bad_expiry":"2900","expiry":null,"expired":null})");
        row("month 13", "", t2 + "2913", R"({"bad_expiry":"2913","expired":null})");
        row("expires this month", "", t2 + "2912", R"({"expired":false})", QDate(2029, 12, 31));
        row("expired last month", "", t2 + "2912", R"({"expired":true})", QDate(2030, 1, 1));
        row("last century", "", t2 + "9912", R"({"expiry":"1999-12","expired":true})",
            QDate(2000, 1, 1));
        row("next century", "", t2 + "0001", R"({"expiry":"2100-01","expired":false})",
            QDate(2099, 12, 31));
        row("101", "", t2 + "2912101",
            R"({"service":["international","normal authorisation","no restrictions"],
                "chip":false})");
        row("601", "", t2 + "2912601",
            R"({"service":["national only, chip","normal authorisation","no restrictions"],
                "chip":true})");
        row("7xx", "", t2 + "2912727", R"({"service":["private","online by issuer",
                "goods and services only, PIN where feasible"],"chip":false})");
        row("unknown digits", "", t2 + "2912389",
            R"({"service":["reserved","reserved","reserved"],"chip":false})");
    }

    void fields()
    {
        QFETCH(QString, track1);
        QFETCH(QString, track2);
        QFETCH(QDate, today);
        QFETCH(QString, expect);
        QFETCH(QString, line);
        const QJsonObject want = QJsonDocument::fromJson(expect.toUtf8()).object();
        QVERIFY(!want.isEmpty());
        const bool show = want.value("name").isString();
        const CardFields card = parseCard({track1, track2, {}}, today, true);
        const QJsonObject got = fieldsJson(card, show);
        if (!line.isEmpty())
            QCOMPARE(fieldsLine(card, show), line);
        // Kept only when asked for.
        QVERIFY(parseCard({track1, track2, {}}, today).name.isEmpty());
        const auto json = [](const QJsonValue &value) {
            return QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        };
        for (auto it = want.begin(); it != want.end(); ++it)
            QCOMPARE(it.key().toUtf8() + json(got.value(it.key())),
                     it.key().toUtf8() + json(it.value()));
    }
};

QTEST_APPLESS_MAIN(TestCardFields)
#include "tst_cardfields.moc"
