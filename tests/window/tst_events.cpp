// SPDX-License-Identifier: MIT
#include "harness.h"

#include <QAccessible>

namespace {

const QStringList kTracks{QString(76, '1'), QString(37, '2'), QString(104, '3')};
const qint32 kGoodStatus = trackWord(76, 37, 104);
constexpr qint32 kInputData = opos::OPOS_EL_INPUT_DATA;
constexpr qint32 kInput = opos::OPOS_EL_INPUT;

// A data event's status with locus 0, or an error's extended code and locus.
using Step = std::pair<qint32, qint32>;
using Steps = QList<Step>;
const auto data = [](qint32 status) { return Step{status, 0}; };
const auto error = [](qint32 code, qint32 locus = kInputData) { return Step{code, locus}; };

} // namespace

class TestEvents : public QObject {
    Q_OBJECT
    std::unique_ptr<Harness> h;

private slots:
    void init()
    {
        h = std::make_unique<Harness>();
        h->reader.tracks = {kTracks[0], kTracks[1], kTracks[2]};
        QVERIFY(h->start());
        h->reader.calls.clear();
    }
    void cleanup() { h.reset(); }

    // Lengths or error texts, then the input and error counts, after a
    // sequence of events.
    void eventsShowLengthsErrorsAndCounts_data()
    {
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("perCard");
        const auto row = [](const QByteArray &name, const Steps &steps, const QString &shown,
                            bool perCard = false) {
            QTest::newRow(name.constData()) << steps << shown << perCard;
        };
        const QString good = " 76 Byte| 37 Byte| 104 Byte";
        // Byte 3 is no length, whatever its value; from 128 up the word is a
        // negative Long and its track bytes must still read as they are.
        for (int top : {0, 1, 127, 128, 255})
            row("top byte " + QByteArray::number(top), {data(trackWord(255, 128, 0, top))},
                " 255 Byte| 128 Byte| 0 Byte|1|0");

        // The reader's order for a failed swipe: an error with locus 3, then the
        // data it could read.
        const Step failed = error(trackWord(202, 0, 204)), readable = data(trackWord(0, 37, 0));
        row("its readable part", {failed, readable}, "End sentinel error| 37 Byte|LRC error|1|1");
        row("the next swipe", {failed, readable, data(kGoodStatus)}, good + "|2|1");

        // Per card: one text for the whole card, taken whole, and nothing latched.
        row("per card, taken whole", {error(trackWord(201, 1, 0))},
            "Other error|Other error|Other error|0|1", true);
        row("per card, then data", {error(203), data(kGoodStatus)}, good + "|1|1", true);

        // Locus 2 with nothing pending is shown and counted. Errors while one
        // with locus 3 is pending change nothing, drop its latch, and one with
        // locus 2 ends the wait.
        const Step parity = error(trackWord(0, 203, 0), kInput), start = error(201);
        row("locus 2, then 3", {parity, start}, "Start sentinel error|||0|2");
        row("while pending", {start, error(204), error(204, kInput), parity}, "|Parity error||0|2");
        row("latch dropped", {start, error(204), data(kGoodStatus)}, good + "|1|1");
    }
    void eventsShowLengthsErrorsAndCounts()
    {
        QFETCH(Steps, steps);
        QFETCH(QString, shown);
        QFETCH(bool, perCard);
        if (perCard)
            h->reader.errorReportingType = opos::MSR_ERT_CARD;
        for (const auto &[code, locus] : steps) {
            if (locus == 0) {
                h->reader.fireDataEvent(code);
            } else { // the reader's response stands
                const qint32 retry = opos::OPOS_ER_RETRY;
                QCOMPARE(h->reader.fireErrorEvent(opos::OPOS_E_EXTENDED, code, locus, retry),
                         retry);
            }
        }
        QCOMPARE(h->lengths() << h->form->lbCount()->Caption()
                              << h->form->lbErrorCount()->Caption(),
                 shown.split('|'));
    }

    // An error while another is pending reads nothing. The user may type until
    // a data event empties the boxes, has them painted, and only then reads the
    // new data.
    void boxesShowEachEventsData()
    {
        h->reader.fireErrorEvent(0, trackWord(201, 0, 0), kInputData);
        h->form->tbTrack(1)->setFocus();
        QTest::keyClicks(h->form->tbTrack(1), "typed");
        QCOMPARE(h->form->tbTrack(1)->Text(), "typed" + kTracks[1]);
        h->reader.tracks = {"a", "b", "c"};
        h->reader.calls.clear();
        h->reader.fireErrorEvent(0, 204, kInput);
        QVERIFY(h->reader.calls.isEmpty());

        // Queued now, so only the handler's own pump of the event loop runs it.
        QStringList duringPump{"not run"}; // the boxes, then the reads so far
        QMetaObject::invokeMethod(
            this, [&] { duringPump = h->boxTexts() << QString::number(h->reader.calls.size()); },
            Qt::QueuedConnection);
        h->reader.fireDataEvent(trackWord(1, 1, 1));
        QCOMPARE(duringPump, (QStringList{"", "", "", "0"}));
        QCOMPARE(h->boxTexts(), (QStringList{"a", "b", "c"}));
        QCOMPARE(h->reader.calls,
                 (QStringList{get(dispid::Track1Data), get(dispid::Track2Data),
                              get(dispid::Track3Data), put(dispid::DataEventEnabled, -1)}));
    }

    // The reader hears once of a selection, by a click or by a screen reader.
    void optionButtonsWriteOnlyTheOtherValue_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<qint32>("before");
        QTest::addColumn<qint32>("after");
        QTest::addColumn<QString>("action"); // accessible action, or a mouse click
        QTest::newRow("Card, track") << 0 << 1 << 0 << "";
        QTest::newRow("Card, 5") << 0 << 5 << 5 << "";
        // The one action a radio button offers a screen reader; it selects
        // without a click.
        QTest::newRow("Card, track, toggled by a screen reader")
            << 0 << 1 << 0 << QAccessibleActionInterface::toggleAction();
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
};

QTEST_MAIN(TestEvents)
#include "tst_events.moc"
