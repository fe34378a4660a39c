// SPDX-License-Identifier: MIT
#include "app/runtimeerror.h"
#include "harness.h"

#include <QAccessible>

namespace {

const QStringList kTracks{QString(76, '1'), QString(37, '2'), QString(104, '3')};
const QStringList kLengths{" 76 Byte", " 37 Byte", " 104 Byte"};
const qint32 kGoodStatus = trackWord(76, 37, 104);
constexpr qint32 kExtended = opos::OPOS_E_EXTENDED;
constexpr qint32 kInputData = opos::OPOS_EL_INPUT_DATA;
constexpr qint32 kInput = opos::OPOS_EL_INPUT;
const QStringList kOneError{"0", "0", "1", "1"}; // counters

} // namespace

class TestEvents : public QObject {
    Q_OBJECT
    std::unique_ptr<Harness> h;

    void setTracks(const QStringList &texts)
    {
        for (int i = 0; i < 3; ++i)
            h->reader.tracks[std::size_t(i)] = texts[i];
    }

private slots:
    void init()
    {
        h = std::make_unique<Harness>();
        setTracks(kTracks);
        QVERIFY(h->start());
        h->reader.dataEventEnabled = false; // as the reader leaves it after an event
        h->reader.calls.clear();
    }
    void cleanup() { h.reset(); }

    void goodSwipes()
    {
        h->reader.fireDataEvent(kGoodStatus);
        QCOMPARE(h->boxTexts(), kTracks);
        QCOMPARE(h->lengths(), kLengths);
        QCOMPARE(h->counters(), (QStringList{"1", "1", "0", "0"}));
        QCOMPARE(h->reader.calls,
                 (QStringList{get(dispid::Track1Data), get(dispid::Track2Data),
                              get(dispid::Track3Data), put(dispid::DataEventEnabled, -1)}));

        setTracks({"1", "", "3"}); // an empty track still gets its length
        h->reader.fireDataEvent(trackWord(1, 0, 1));
        QCOMPARE(h->boxTexts(), (QStringList{"1", "", "3"}));
        QCOMPARE(h->lengths(), (QStringList{" 1 Byte", " 0 Byte", " 1 Byte"}));
        QCOMPARE(h->counters(), (QStringList{"2", "2", "0", "0"}));
    }

    void boxesAreEmptiedAndPaintedBeforeTheNewData()
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

    // Byte 3 is no length, whatever its value; from 128 up the word is a
    // negative Long and its track bytes must still read as they are.
    void lengthsIgnoreTheTopByte_data()
    {
        QTest::addColumn<int>("top");
        for (int top : {0, 1, 127, 128, 255})
            QTest::addRow("%d", top) << top;
    }
    void lengthsIgnoreTheTopByte()
    {
        QFETCH(int, top);
        h->reader.fireDataEvent(trackWord(76, 37, 104, top));
        QCOMPARE(h->lengths(), kLengths);
        h->reader.fireDataEvent(trackWord(255, 128, 0, top));
        QCOMPARE(h->lengths(), (QStringList{" 255 Byte", " 128 Byte", " 0 Byte"}));
    }

    // The reader's order for a failed swipe: an error with locus 3, the data it
    // could read, then a closing error with another locus.
    void badSwipeUnderPerTrackReporting()
    {
        const qint32 codes = trackWord(opos::OPOS_EMSR_START, 0, opos::OPOS_EMSR_LRC);
        const QStringList readable{"", kTracks[1], ""};
        setTracks(readable);
        const qint32 response =
            h->reader.fireErrorEvent(kExtended, codes, kInputData, opos::OPOS_ER_CONTINUEINPUT);
        QCOMPARE(response, opos::OPOS_ER_CONTINUEINPUT); // neither read nor written
        QCOMPARE(h->boxTexts(), readable);
        QCOMPARE(h->lengths(), (QStringList{"Start sentinel error", "", "LRC error"}));
        QCOMPARE(h->counters(), kOneError);

        h->reader.fireDataEvent(trackWord(0, 37, 0));
        const QStringList shown{"Start sentinel error", " 37 Byte", "LRC error"};
        QCOMPARE(h->lengths(), shown);
        QCOMPARE(h->counters(), QStringList(4, "1"));

        setTracks({"x", "y", "z"});
        h->reader.calls.clear();
        h->reader.fireErrorEvent(kExtended, codes, kInput);
        QVERIFY(h->reader.calls.isEmpty());
        QCOMPARE(h->boxTexts(), readable);
        QCOMPARE(h->lengths(), shown);
        QCOMPARE(h->counters(), QStringList(4, "1"));

        h->reader.fireDataEvent(kGoodStatus);
        QCOMPARE(h->lengths(), kLengths);
    }

    void perTrackTexts_data()
    {
        QTest::addColumn<qint32>("code");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("end, parity, LRC")
            << trackWord(202, 203, 204)
            << QStringList{"End sentinel error", "Parity error", "LRC error"};
        QTest::newRow("unknown byte") << trackWord(0, 0, 1) << QStringList{"", "", "Other error"};
        QTest::newRow("top byte 255")
            << trackWord(202, 0, 201, 255)
            << QStringList{"End sentinel error", "", "Start sentinel error"};
    }
    void perTrackTexts()
    {
        QFETCH(qint32, code);
        QFETCH(QStringList, texts);
        h->reader.fireErrorEvent(kExtended, code, kInputData);
        QCOMPARE(h->lengths(), texts);
        // The data event that follows shows the lengths of the good tracks only.
        h->reader.fireDataEvent(kGoodStatus);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(h->lengths()[i], texts[i].isEmpty() ? kLengths[i] : texts[i]);
    }

    void perCardTexts_data()
    {
        QTest::addColumn<qint32>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("203") << 203 << "Parity error";
        QTest::newRow("0") << 0 << "Other error";
        QTest::newRow("999") << 999 << "Other error";
        QTest::newRow("taken whole") << trackWord(201, 1, 0) << "Other error";
    }
    void perCardTexts()
    {
        QFETCH(qint32, code);
        QFETCH(QString, text);
        QTest::mouseClick(h->form->Option1(0), Qt::LeftButton);
        QCOMPARE(h->reader.errorReportingType, opos::MSR_ERT_CARD);
        h->reader.fireErrorEvent(kExtended, code, kInputData);
        QCOMPARE(h->lengths(), QStringList(3, text));
        QCOMPARE(h->counters(), kOneError);
        // Nothing is latched per card: the next data event shows all lengths.
        h->reader.fireDataEvent(kGoodStatus);
        QCOMPARE(h->lengths(), kLengths);
    }

    // Locus 2 with nothing pending is shown and counted; a second error while
    // one with locus 3 is pending changes nothing and leaves it pending.
    void errorsWithAndWithoutOnePending()
    {
        h->reader.fireErrorEvent(kExtended, trackWord(0, 203, 0), kInput);
        QCOMPARE(h->lengths(), (QStringList{"", "Parity error", ""}));
        QCOMPARE(h->counters(), kOneError);
        h->reader.fireErrorEvent(kExtended, trackWord(201, 0, 0), kInputData);
        QCOMPARE(h->lengths(), (QStringList{"Start sentinel error", "", ""}));
        QCOMPARE(h->counters(), (QStringList{"0", "0", "2", "2"}));
        h->reader.calls.clear();
        for (qint32 locus : {kInputData, kInput}) {
            h->reader.fireErrorEvent(kExtended, trackWord(0, 0, 204), locus);
            QVERIFY(h->reader.calls.isEmpty());
            QCOMPARE(h->lengths(), (QStringList{"Start sentinel error", "", ""}));
            QCOMPARE(h->counters(), (QStringList{"0", "0", "2", "2"}));
        }
        h->reader.fireDataEvent(kGoodStatus); // the ignored errors dropped the latch
        QCOMPARE(h->lengths(), kLengths);
        h->reader.fireErrorEvent(kExtended, trackWord(0, 203, 0), kInput); // no longer pending
        QCOMPARE(h->counters(), (QStringList{"1", "1", "3", "3"}));
    }

    // The reader hears once of a selection, by a click or by a screen reader.
    void optionButtonsWriteOnlyTheOtherValue_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<qint32>("before");
        QTest::addColumn<qint32>("after");
        QTest::addColumn<QString>("action"); // accessible action, or a mouse click
        QTest::newRow("Card, track") << 0 << 1 << 0 << "";
        QTest::newRow("Card, card") << 0 << 0 << 0 << "";
        QTest::newRow("Card, 5") << 0 << 5 << 5 << "";
        QTest::newRow("selected Track, track") << 1 << 1 << 1 << "";
        QTest::newRow("selected Track, card") << 1 << 0 << 1 << "";
        QTest::newRow("selected Track, 5") << 1 << 5 << 5 << "";
        for (const QString &action : {QAccessibleActionInterface::toggleAction(),
                                      QAccessibleActionInterface::pressAction()})
            QTest::addRow("Card, track, %s", qPrintable(action)) << 0 << 1 << 0 << action;
    }
    void optionButtonsWriteOnlyTheOtherValue()
    {
        QFETCH(int, button);
        QFETCH(qint32, before);
        QFETCH(qint32, after);
        QFETCH(QString, action);
        h->reader.errorReportingType = before;
        if (action.isEmpty())
            QTest::mouseClick(h->form->Option1(button), Qt::LeftButton);
        else
            QAccessible::queryAccessibleInterface(h->form->Option1(button))
                ->actionInterface()
                ->doAction(action);
        QStringList expected{get(dispid::ErrorReportingType)};
        if (after != before)
            expected << put(dispid::ErrorReportingType, after);
        QTRY_COMPARE(h->reader.calls, expected);
        QVERIFY(h->form->Option1(button)->Value() && !h->form->Option1(1 - button)->Value());
    }

    void userMayTypeUntilTheLogicWrites()
    {
        h->form->tbTrack(1)->setFocus();
        QTest::keyClicks(h->form->tbTrack(1), "typed");
        QCOMPARE(h->form->tbTrack(1)->Text(), QStringLiteral("typed"));
        h->reader.fireDataEvent(0);
        QCOMPARE(h->form->tbTrack(1)->Text(), kTracks[1]);
    }

    // After a failed claim the counters hold no number; the first handler that
    // counts raises rather than make one up.
    void counterWithoutANumberRaises()
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
};

QTEST_MAIN(TestEvents)
#include "tst_events.moc"
