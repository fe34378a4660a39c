// SPDX-License-Identifier: MIT
// The control object's state machine and its event delivery rules, driven
// through the dispatch interface with a service the test feeds by hand.
#include "reader/msrcontrol.h"
#include "reader/opos.h"

#include <QCoreApplication>
#include <QTest>

using namespace msr;
using namespace opos;

namespace {

class HandService : public MsrService {
public:
    std::int32_t claimResult = OPOS_SUCCESS;
    int releases = 0;
    int *releasesAfterDeath = nullptr; // outlives the service
    QStringList finished;              // "1 delivered", "2 <why it was dropped>"
    QStringList *log = nullptr;        // also gets them, as "F1 delivered"
    ~HandService() override
    {
        if (releasesAfterDeath)
            *releasesAfterDeath = releases;
    }
    std::int32_t claim(std::int32_t) override { return claimResult; }
    void release() override { ++releases; }
    void swipeFinished(quint64 id, bool delivered, const QString &reason) override
    {
        finished << QStringLiteral("%1 %2").arg(id).arg(delivered ? "delivered" : reason);
        if (log)
            *log << 'F' + finished.last();
    }
    // "A|123|" reads as three tracks; "|| 201,0,0" adds each track's error code.
    SwipeVerdict swipe(quint64 id, const QString &description)
    {
        const QStringList texts = description.section(' ', 0, 0).split('|');
        const QStringList codes = description.section(' ', 1).split(',');
        SwipeRead read;
        for (int t = 0; t < 3; ++t)
            read.tracks[std::size_t(t)] = {texts.value(t), codes.value(t).toInt()};
        return reportSwipe(id, read);
    }
};

QString bytes(qint32 word)
{
    const QString text =
        QStringLiteral("%1,%2,%3").arg(word & 0xFF).arg(word >> 8 & 0xFF).arg(word >> 16 & 0xFF);
    return word >> 24 ? text + QStringLiteral(",%1").arg(word >> 24 & 0xFF) : text;
}

// Behaves like the window: re-arms data events after each data event, and can
// be told to pump the event loop or to answer an error in its own way. Logs
// "D <lengths> <tracks>" and "E<locus> <codes> <preset response> <tracks>",
// with the tracks as the handler reads them.
class RecordingSink : public EventSink {
public:
    explicit RecordingSink(MsrControl &c) : control(c) { control.advise(this); }
    ~RecordingSink() override { control.advise(nullptr); }

    MsrControl &control;
    QStringList events;
    bool rearm = true, pump = false;
    int depth = 0, maxDepth = 0;
    std::optional<std::int32_t> errorResponse;

    void invokeEvent(int eventId, QVariantList &args) override
    {
        maxDepth = std::max(maxDepth, ++depth);
        QStringList tracks;
        for (int id : {dispid::Track1Data, dispid::Track2Data, dispid::Track3Data})
            tracks << control.invoke(id, InvokeKind::PropertyGet).toString();
        if (eventId == eventid::DataEvent)
            events << "D " + bytes(args[0].toInt()) + ' ' + tracks.join('|');
        else
            events << QStringLiteral("E%1 %2 %3 %4")
                          .arg(args[2].toInt())
                          .arg(bytes(args[1].toInt()))
                          .arg(args[3].toInt() == OPOS_ER_CLEAR           ? "clear"
                               : args[3].toInt() == OPOS_ER_CONTINUEINPUT ? "continue"
                                                                          : "?")
                          .arg(args[0].toInt() == OPOS_E_EXTENDED ? tracks.join('|') : "?");
        if (eventId == eventid::ErrorEvent && errorResponse)
            args[3] = *errorResponse;
        if (eventId == eventid::DataEvent && rearm)
            control.invoke(dispid::DataEventEnabled, InvokeKind::PropertyPut, {qint16(-1)});
        if (pump) // with the next delivery already scheduled by the re-arm
            QCoreApplication::processEvents();
        --depth;
    }
};

} // namespace

class TestMsrControl : public QObject {
    Q_OBJECT

    HandService *service = nullptr; // owned by the control once opened
    std::unique_ptr<MsrControl> control;

    QVariant get(int id) { return control->invoke(id, InvokeKind::PropertyGet); }
    void put(int id, QVariant v) { control->invoke(id, InvokeKind::PropertyPut, {v}); }
    qint32 call(int id, QVariantList args = {})
    {
        return control->invoke(id, InvokeKind::Method, args).toInt();
    }
    // Opened, claimed, enabled, data events armed, with the given reporting type.
    void startReader(int reportingType)
    {
        QCOMPARE(call(dispid::Open, {QStringLiteral("HAND")}), OPOS_SUCCESS);
        QCOMPARE(call(dispid::ClaimDevice, {0}), OPOS_SUCCESS);
        put(dispid::ErrorReportingType, reportingType);
        put(dispid::DeviceEnabled, qint16(-1));
        put(dispid::DataEventEnabled, qint16(-1));
    }

private slots:
    void init()
    {
        DeviceRegistry registry;
        registry.addKind("hand", [this](const QString &) {
            auto s = std::make_unique<HandService>();
            service = s.get();
            return s;
        });
        registry.addDevice("HAND", "hand");
        control = std::make_unique<MsrControl>(std::move(registry));
    }
    void cleanup() { control.reset(); }

    void resultCodesFollowTheDeviceState()
    {
        QCOMPARE(get(dispid::State).toInt(), OPOS_S_CLOSED);
        QCOMPARE(call(dispid::ClaimDevice, {0}), OPOS_E_CLOSED);
        QCOMPARE(call(dispid::ReleaseDevice), OPOS_E_CLOSED);
        QCOMPARE(call(dispid::Close), OPOS_E_CLOSED);
        QCOMPARE(call(dispid::Open, {QStringLiteral("NOSUCH")}), OPOS_E_NOEXIST);
        QCOMPARE(get(dispid::State).toInt(), OPOS_S_CLOSED);

        QCOMPARE(call(dispid::Open, {QStringLiteral("HAND")}), OPOS_SUCCESS);
        QCOMPARE(get(dispid::State).toInt(), OPOS_S_IDLE);
        QCOMPARE(get(dispid::ErrorReportingType).toInt(), MSR_ERT_CARD);
        put(dispid::ErrorReportingType, MSR_ERT_TRACK);
        put(dispid::ErrorReportingType, 5); // neither card nor track: ignored
        QCOMPARE(get(dispid::ErrorReportingType).toInt(), MSR_ERT_TRACK);
        QCOMPARE(call(dispid::Open, {QStringLiteral("HAND")}), OPOS_E_ILLEGAL);
        QCOMPARE(call(dispid::ReleaseDevice), OPOS_E_ILLEGAL);

        service->claimResult = OPOS_E_TIMEOUT;
        QCOMPARE(call(dispid::ClaimDevice, {0}), OPOS_E_TIMEOUT);
        QCOMPARE(get(dispid::Claimed).toInt(), 0);
        put(dispid::DeviceEnabled, qint16(-1)); // ignored while unclaimed
        QCOMPARE(get(dispid::DeviceEnabled).toInt(), 0);

        service->claimResult = OPOS_SUCCESS;
        QCOMPARE(call(dispid::ClaimDevice, {0}), OPOS_SUCCESS);
        QCOMPARE(get(dispid::Claimed).toInt(), -1);
        put(dispid::DeviceEnabled, qint16(-1));
        QCOMPARE(get(dispid::DeviceEnabled).toInt(), -1);

        int releases = -1;
        service->releasesAfterDeath = &releases;
        QCOMPARE(call(dispid::Close), OPOS_SUCCESS);
        QCOMPARE(releases, 1);
        QCOMPARE(get(dispid::State).toInt(), OPOS_S_CLOSED);
        QCOMPARE(get(dispid::Claimed).toInt(), 0);
        QCOMPARE(get(dispid::DeviceEnabled).toInt(), 0);

        // A new Open starts afresh; a negative time-out other than "forever" claims nothing.
        QCOMPARE(call(dispid::Open, {QStringLiteral("HAND")}), OPOS_SUCCESS);
        QCOMPARE(get(dispid::ErrorReportingType).toInt(), MSR_ERT_CARD);
        for (int timeout : {-2, INT32_MIN})
            QCOMPARE(call(dispid::ClaimDevice, {timeout}), OPOS_E_ILLEGAL);
        QCOMPARE(get(dispid::Claimed).toInt(), 0);
        QCOMPARE(call(dispid::ClaimDevice, {OPOS_FOREVER}), OPOS_SUCCESS);

        QVERIFY_THROWS_EXCEPTION(DispatchError, get(99));
        QVERIFY_THROWS_EXCEPTION(DispatchError, put(dispid::State, 2));
        QVERIFY_THROWS_EXCEPTION(DispatchError, call(dispid::Open, {42}));
        QVERIFY_THROWS_EXCEPTION(DispatchError, call(dispid::ClaimDevice, {QStringLiteral("x")}));

        // Closing by destruction releases the claim too.
        service->releasesAfterDeath = &releases;
        control.reset();
        QCOMPARE(releases, 1);
    }

    void deliverySequences_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("queued");           // all swipes wait for data events to be armed
        QTest::addColumn<std::int32_t>("response"); // the error handler's, 0: the preset
        QTest::addColumn<QStringList>("swipes");
        QTest::addColumn<QStringList>("events");
        // Each swipe is finished only after its last event.
        QTest::newRow("track, partial swipe: error, data, error")
            << MSR_ERT_TRACK << false << 0 << QStringList{"|123| 201,0,204"}
            << QStringList{"E3 201,0,204 continue |123|", "D 0,3,0 |123|",
                           "E2 201,0,204 clear |123|", "F1 delivered"};
        QTest::newRow("track, no good data: one error")
            << MSR_ERT_TRACK << false << 0 << QStringList{"A|1|1", "|| 203,0,0"}
            << QStringList{"D 1,1,1 A|1|1", "F1 delivered", "E2 203,0,0 clear ||", "F2 delivered"};
        QTest::newRow("card: first code, no data, no earlier card's tracks")
            << MSR_ERT_CARD << false << 0 << QStringList{"GOOD|1|", "X||9 0,202,203"}
            << QStringList{"D 4,1,0 GOOD|1|", "F1 delivered", "E2 202,0,0 clear ||",
                           "F2 delivered"};
        // A partial swipe's error comes right before its own data, never
        // before a card queued ahead of it.
        QTest::newRow("track, queued: good, partial, good")
            << MSR_ERT_TRACK << true << OPOS_ER_CONTINUEINPUT
            << QStringList{"A|1|", "B|| 0,203,0", "C||"}
            << QStringList{"D 1,1,0 A|1|", "F1 delivered",         "E3 0,203,0 continue B||",
                           "D 1,0,0 B||",  "E2 0,203,0 clear B||", "F2 delivered",
                           "D 1,0,0 C||",  "F3 delivered"};
        QTest::newRow("card, queued: each swipe in turn")
            << MSR_ERT_CARD << true << 0 << QStringList{"A||", "B||", "C|| 203,0,0"}
            << QStringList{"D 1,0,0 A||",  "F1 delivered",        "D 1,0,0 B||",
                           "F2 delivered", "E2 203,0,0 clear ||", "F3 delivered"};
        QTest::newRow("clear empties the queue")
            << MSR_ERT_CARD << true << 0 << QStringList{"|| 201,0,0", "A||"}
            << QStringList{"E2 201,0,0 clear ||", "F1 delivered",
                           "F2 input cleared after a read error"};
        QTest::newRow("continue keeps the queue")
            << MSR_ERT_CARD << true << OPOS_ER_CONTINUEINPUT << QStringList{"|| 201,0,0", "A||"}
            << QStringList{"E2 201,0,0 clear ||", "F1 delivered", "D 1,0,0 A||", "F2 delivered"};
    }
    void deliverySequences()
    {
        QFETCH(int, type);
        QFETCH(bool, queued);
        QFETCH(std::int32_t, response);
        QFETCH(QStringList, swipes);
        QFETCH(QStringList, events);
        RecordingSink sink(*control);
        if (response)
            sink.errorResponse = response;
        startReader(type);
        service->log = &sink.events;
        put(dispid::DataEventEnabled, qint16(queued ? 0 : -1));
        for (int i = 0; i < swipes.size(); ++i) {
            QVERIFY(service->swipe(quint64(i + 1), swipes[i]).accepted);
            if (!queued) // each swipe's events before the next swipe
                QTRY_COMPARE(service->finished.size(), i + 1);
        }
        put(dispid::DataEventEnabled, qint16(-1));
        QTRY_COMPARE(service->finished.size(), events.filter(QRegularExpression("^F")).size());
        QCoreApplication::processEvents();
        QCOMPARE(sink.events, events);
        QCOMPARE(control->pendingSwipes(), 0);
    }

    void dataEventDisarmsUntilTheApplicationRearms()
    {
        RecordingSink sink(*control);
        sink.rearm = false;
        startReader(MSR_ERT_TRACK);
        QVERIFY(service->swipe(1, QString(76, 'A') + '|' + QString(37, '1') + '|').accepted);
        QVERIFY(service->swipe(2, "B|2|3").accepted);
        QTRY_COMPARE(sink.events.size(), 1);
        QCOMPARE(sink.events[0].section(' ', 0, 1), QStringLiteral("D 76,37,0"));
        QCOMPARE(get(dispid::DataEventEnabled).toInt(), 0);
        QCoreApplication::processEvents();
        QCOMPARE(sink.events.size(), 1);
        put(dispid::DataEventEnabled, qint16(-1));
        QTRY_COMPARE(sink.events.size(), 2);
        QCOMPARE(sink.events[1], QStringLiteral("D 1,1,1 B|2|3"));
    }

    // Each delivery is its own pass of the event loop, so a handler's disable
    // or close lands before the next event.
    void queuedSwipesGoOutOneAPass()
    {
        RecordingSink sink(*control);
        startReader(MSR_ERT_TRACK);
        put(dispid::DataEventEnabled, qint16(0));
        for (quint64 i = 1; i <= 3; ++i)
            QVERIFY(service->swipe(i, "A||").accepted);
        QCoreApplication::processEvents();
        put(dispid::DataEventEnabled, qint16(-1));
        QCoreApplication::processEvents();
        QCOMPARE(sink.events.size(), 1);
        QTRY_COMPARE(sink.events.size(), 3);
    }

    void noSecondEventWhileAHandlerPumps()
    {
        RecordingSink sink(*control);
        sink.pump = true;
        startReader(MSR_ERT_TRACK);
        for (quint64 i = 1; i <= 5; ++i)
            QVERIFY(service->swipe(i, i % 2 ? "A||" : "A|| 0,203,0").accepted);
        QTRY_COMPARE(service->finished.size(), 5);
        QCOMPARE(sink.maxDepth, 1);
    }

    void disabledOrReleasedReaderTakesNoSwipes()
    {
        RecordingSink sink(*control);
        startReader(MSR_ERT_TRACK);
        put(dispid::DeviceEnabled, qint16(0));
        const SwipeVerdict refused = service->swipe(1, "A||");
        QVERIFY(!refused.accepted);
        QCOMPARE(refused.reason, "reader is disabled");

        put(dispid::DeviceEnabled, qint16(-1));
        put(dispid::DataEventEnabled, qint16(0));
        QVERIFY(service->swipe(2, "A||").accepted);
        QCOMPARE(call(dispid::ReleaseDevice), OPOS_SUCCESS);
        QCOMPARE(service->finished, QStringList{"2 reader was released"});
        QCOMPARE(service->releases, 1);
        QVERIFY(!service->swipe(3, "A||").accepted);
        put(dispid::DataEventEnabled, qint16(-1));
        QCoreApplication::processEvents();
        QVERIFY(sink.events.isEmpty());
    }

    void queueIsBoundedAndSaysSo()
    {
        startReader(MSR_ERT_TRACK);
        put(dispid::DataEventEnabled, qint16(0));
        for (int i = 0; i < MsrControl::kMaxPendingSwipes; ++i)
            QVERIFY(service->swipe(i, "A||").accepted);
        const SwipeVerdict full = service->swipe(100000, "A||");
        QVERIFY(!full.accepted);
        QCOMPARE(full.reason, "queue full");
        QCOMPARE(control->pendingSwipes(), MsrControl::kMaxPendingSwipes);
    }
};

QTEST_GUILESS_MAIN(TestMsrControl)
#include "tst_msrcontrol.moc"
