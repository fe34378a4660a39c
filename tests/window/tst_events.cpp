#include "app/runtimeerror.h"
#include "harness.h"

namespace {

const QStringList kTracks{QString(76, '1'), QString(37, '2'), QString(104, '3')};
const QStringList kLengths{" 76 Byte", " 37 Byte", " 104 Byte"};
const qint32 kGoodStatus = trackWord(76, 37, 104);
constexpr qint32 kExtended = opos::OPOS_E_EXTENDED;
constexpr qint32 kInputData = opos::OPOS_EL_INPUT_DATA;
constexpr qint32 kInput = opos::OPOS_EL_INPUT;

} // namespace

class TestEvents : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup() { h.reset(); }

    void goodSwipes();
    void boxesAreEmptiedAndPaintedBeforeTheNewData();
    void lengthsIgnoreTheTopByte_data();
    void lengthsIgnoreTheTopByte();
    void badSwipeUnderPerTrackReporting();
    void perTrackTexts_data();
    void perTrackTexts();
    void perCardTexts_data();
    void perCardTexts();
    void otherLocusWithNothingPendingIsShownAndCounted();
    void errorWhileAnInputErrorIsPendingChangesNothing();
    void optionButtonsWriteOnlyTheOtherValue_data();
    void optionButtonsWriteOnlyTheOtherValue();
    void typedTextStaysUntilTheLogicWrites();
    void counterWithoutANumberRaises();

private:
    void setTracks(const QStringList &texts)
    {
        for (int i = 0; i < 3; ++i)
            h->reader.tracks[std::size_t(i)] = texts[i];
    }
    std::unique_ptr<Harness> h;
};

void TestEvents::init()
{
    h = std::make_unique<Harness>();
    setTracks(kTracks);
    QVERIFY(h->start());
    h->reader.dataEventEnabled = false; // as the reader leaves it after an event
    h->reader.calls.clear();
}

void TestEvents::goodSwipes()
{
    h->reader.fireDataEvent(kGoodStatus);
    QCOMPARE(h->boxTexts(), kTracks);
    QCOMPARE(h->lengths(), kLengths);
    QCOMPARE(h->counters(), (QStringList{"1", "1", "0", "0"}));
    QCOMPARE(h->reader.calls,
             (QStringList{get(dispid::Track1Data), get(dispid::Track2Data), get(dispid::Track3Data),
                          put(dispid::DataEventEnabled, -1)}));

    setTracks({"1", "", "3"}); // an empty track still gets its length
    h->reader.fireDataEvent(trackWord(1, 0, 1));
    QCOMPARE(h->boxTexts(), (QStringList{"1", "", "3"}));
    QCOMPARE(h->lengths(), (QStringList{" 1 Byte", " 0 Byte", " 1 Byte"}));
    QCOMPARE(h->counters(), (QStringList{"2", "2", "0", "0"}));
}

void TestEvents::boxesAreEmptiedAndPaintedBeforeTheNewData()
{
    h->reader.fireDataEvent(kGoodStatus);
    setTracks({"a", "b", "c"});
    h->reader.calls.clear();

    // Queued now, so only the handler's own pump of the event loop runs it.
    QStringList textsDuringPump{"not run"};
    qsizetype readsBeforePump = -1;
    QMetaObject::invokeMethod(
        this,
        [&] {
            textsDuringPump = h->boxTexts();
            readsBeforePump = h->reader.calls.size();
        },
        Qt::QueuedConnection);
    h->reader.fireDataEvent(trackWord(1, 1, 1));

    QCOMPARE(textsDuringPump, QStringList(3, QString()));
    QCOMPARE(readsBeforePump, 0);
    QCOMPARE(h->boxTexts(), (QStringList{"a", "b", "c"}));
}

void TestEvents::lengthsIgnoreTheTopByte_data()
{
    QTest::addColumn<int>("top");
    for (int top : {0, 1, 127, 128, 200, 255})
        QTest::addRow("%d", top) << top;
}

// Byte 3 is no length, whatever its value; from 128 up the word is a
// negative Long and its track bytes must still read as they are.
void TestEvents::lengthsIgnoreTheTopByte()
{
    QFETCH(int, top);
    h->reader.fireDataEvent(trackWord(76, 37, 104, top));
    QCOMPARE(h->lengths(), kLengths);
    h->reader.fireDataEvent(trackWord(255, 128, 0, top));
    QCOMPARE(h->lengths(), (QStringList{" 255 Byte", " 128 Byte", " 0 Byte"}));
}

// The reader's order for a failed swipe: an error with locus 3, the data it
// could read, then a closing error with another locus.
void TestEvents::badSwipeUnderPerTrackReporting()
{
    const qint32 codes = trackWord(opos::OPOS_EMSR_START, 0, opos::OPOS_EMSR_LRC);
    const QStringList readable{"", kTracks[1], ""};
    setTracks(readable);
    const qint32 response =
        h->reader.fireErrorEvent(kExtended, codes, kInputData, opos::OPOS_ER_CONTINUEINPUT);
    QCOMPARE(response, opos::OPOS_ER_CONTINUEINPUT); // neither read nor written
    QCOMPARE(h->boxTexts(), readable);
    QCOMPARE(h->lengths(), (QStringList{"Start sentinel error", "", "LRC error"}));
    QCOMPARE(h->counters(), (QStringList{"0", "0", "1", "1"}));
    QCOMPARE(h->form->trackErrors(), codes);
    QCOMPARE(h->form->inputDataError(), opos::True);

    h->reader.fireDataEvent(trackWord(0, 37, 0));
    const QStringList shown{"Start sentinel error", " 37 Byte", "LRC error"};
    QCOMPARE(h->lengths(), shown);
    QCOMPARE(h->counters(), (QStringList{"1", "1", "1", "1"}));
    QCOMPARE(h->form->trackErrors(), 0);

    setTracks({"x", "y", "z"});
    h->reader.calls.clear();
    h->reader.fireErrorEvent(kExtended, codes, kInput);
    QVERIFY(h->reader.calls.isEmpty());
    QCOMPARE(h->boxTexts(), readable);
    QCOMPARE(h->lengths(), shown);
    QCOMPARE(h->counters(), (QStringList{"1", "1", "1", "1"}));
    QCOMPARE(h->form->inputDataError(), opos::False);

    h->reader.fireDataEvent(kGoodStatus);
    QCOMPARE(h->lengths(), kLengths);
}

void TestEvents::perTrackTexts_data()
{
    QTest::addColumn<qint32>("code");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("end, parity, LRC")
        << trackWord(202, 203, 204)
        << QStringList{"End sentinel error", "Parity error", "LRC error"};
    QTest::newRow("unknown byte") << trackWord(0, 0, 1) << QStringList{"", "", "Other error"};
    QTest::newRow("top byte 127") << trackWord(201, 0, 204, 127)
                                  << QStringList{"Start sentinel error", "", "LRC error"};
    QTest::newRow("top byte 128") << trackWord(201, 0, 204, 128)
                                  << QStringList{"Start sentinel error", "", "LRC error"};
    QTest::newRow("top byte 255") << trackWord(202, 0, 0, 255)
                                  << QStringList{"End sentinel error", "", ""};
}

void TestEvents::perTrackTexts()
{
    QFETCH(qint32, code);
    QFETCH(QStringList, texts);
    h->reader.fireErrorEvent(kExtended, code, kInputData);
    QCOMPARE(h->lengths(), texts);
    QCOMPARE(h->form->trackErrors(), code); // the whole word, top byte too

    // The data event that follows shows the lengths of the good tracks only.
    h->reader.fireDataEvent(kGoodStatus);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(h->lengths()[i], texts[i].isEmpty() ? kLengths[i] : texts[i]);
}

void TestEvents::perCardTexts_data()
{
    QTest::addColumn<qint32>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("201") << 201 << "Start sentinel error";
    QTest::newRow("202") << 202 << "End sentinel error";
    QTest::newRow("203") << 203 << "Parity error";
    QTest::newRow("204") << 204 << "LRC error";
    QTest::newRow("0") << 0 << "Other error";
    QTest::newRow("999") << 999 << "Other error";
    QTest::newRow("taken whole") << trackWord(201, 1, 0) << "Other error";
}

void TestEvents::perCardTexts()
{
    QFETCH(qint32, code);
    QFETCH(QString, text);
    QTest::mouseClick(h->form->Option1(0), Qt::LeftButton);
    QCOMPARE(h->reader.errorReportingType, opos::MSR_ERT_CARD);

    h->reader.fireErrorEvent(kExtended, code, kInputData);
    QCOMPARE(h->lengths(), QStringList(3, text));
    QCOMPARE(h->counters(), (QStringList{"0", "0", "1", "1"}));
    QCOMPARE(h->form->trackErrors(), 0); // nothing is latched per card
    QCOMPARE(h->form->inputDataError(), opos::True);
}

void TestEvents::otherLocusWithNothingPendingIsShownAndCounted()
{
    h->reader.fireErrorEvent(kExtended, trackWord(0, 203, 0), kInput);
    QCOMPARE(h->lengths(), (QStringList{"", "Parity error", ""}));
    QCOMPARE(h->counters(), (QStringList{"0", "0", "1", "1"}));
    QCOMPARE(h->form->trackErrors(), 0);
    QCOMPARE(h->form->inputDataError(), opos::False);
}

void TestEvents::errorWhileAnInputErrorIsPendingChangesNothing()
{
    h->reader.fireErrorEvent(kExtended, trackWord(201, 0, 0), kInputData);
    h->reader.calls.clear();
    h->reader.fireErrorEvent(kExtended, trackWord(0, 0, 204), kInputData);
    QVERIFY(h->reader.calls.isEmpty());
    QCOMPARE(h->lengths(), (QStringList{"Start sentinel error", "", ""}));
    QCOMPARE(h->counters(), (QStringList{"0", "0", "1", "1"}));
    QCOMPARE(h->form->trackErrors(), 0);
    QCOMPARE(h->form->inputDataError(), opos::True); // this one had locus 3 as well
}

void TestEvents::optionButtonsWriteOnlyTheOtherValue_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<qint32>("before");
    QTest::addColumn<qint32>("after");
    QTest::newRow("Card, track") << 0 << 1 << 0;
    QTest::newRow("Card, card") << 0 << 0 << 0;
    QTest::newRow("Card, 5") << 0 << 5 << 5;
    QTest::newRow("selected Track, track") << 1 << 1 << 1;
    QTest::newRow("selected Track, card") << 1 << 0 << 1;
    QTest::newRow("selected Track, 5") << 1 << 5 << 5;
}

void TestEvents::optionButtonsWriteOnlyTheOtherValue()
{
    QFETCH(int, button);
    QFETCH(qint32, before);
    QFETCH(qint32, after);
    h->reader.errorReportingType = before;
    QTest::mouseClick(h->form->Option1(button), Qt::LeftButton);

    QStringList expected{get(dispid::ErrorReportingType)};
    if (after != before)
        expected << put(dispid::ErrorReportingType, after);
    QCOMPARE(h->reader.calls, expected);
    QVERIFY(h->form->Option1(button)->Value() && !h->form->Option1(1 - button)->Value());
}

void TestEvents::typedTextStaysUntilTheLogicWrites()
{
    swipewatch::ui::TextBox *box = h->form->tbTrack(1);
    box->setFocus();
    QTest::keyClicks(box, "typed");
    QTest::mouseClick(h->form->Option1(0), Qt::LeftButton);
    QCOMPARE(box->Text(), QStringLiteral("typed"));

    h->reader.fireErrorEvent(0, 201, kInputData);
    QCOMPARE(box->Text(), kTracks[1]);
    QTest::keyClicks(box, "!"); // the logic left the cursor at the start
    h->reader.tracks[1] = "next";
    h->reader.fireErrorEvent(0, 201, kInput); // pending: writes nothing
    QCOMPARE(box->Text(), "!" + kTracks[1]);
    h->reader.fireDataEvent(0);
    QCOMPARE(box->Text(), QStringLiteral("next"));
}

// After a failed claim the counters hold no number; the first handler that
// counts raises rather than make one up.
void TestEvents::counterWithoutANumberRaises()
{
    Harness failed;
    failed.reader.claimResult = opos::OPOS_E_CLAIMED;
    failed.reader.tracks = {"x", "y", "z"};
    QVERIFY(failed.start());

    QVERIFY_THROWS_EXCEPTION(swipewatch::RuntimeError, failed.reader.fireDataEvent(1));
    QCOMPARE(failed.boxTexts(), (QStringList{"x", "y", "z"})); // the steps before it ran
    QVERIFY_THROWS_EXCEPTION(swipewatch::RuntimeError,
                             failed.reader.fireErrorEvent(0, 201, kInputData));
    QCOMPARE(failed.counters(), QStringList(4, QString()));
}

QTEST_MAIN(TestEvents)
#include "tst_events.moc"
