// The control object's state machine and its event delivery rules, driven
// through the dispatch interface with a service the test feeds by hand.
#include "reader/msrcontrol.h"
#include "reader/opos.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

using namespace msr;
using namespace opos;

namespace {

class HandService : public MsrService {
public:
    std::int32_t claimResult = OPOS_SUCCESS;
    int claims = 0;
    int releases = 0;
    int *releasesAfterDeath = nullptr; // outlives the service
    ~HandService() override
    {
        if (releasesAfterDeath)
            *releasesAfterDeath = releases;
    }
    QList<std::tuple<quint64, bool, QString>> finished;

    std::int32_t claim(std::int32_t) override { return ++claims, claimResult; }
    void release() override { ++releases; }
    void swipeFinished(quint64 id, bool delivered, const QString &reason) override
    {
        finished.append({id, delivered, reason});
    }
    SwipeVerdict swipe(quint64 id, QString t1, QString t2, QString t3, int e1 = 0, int e2 = 0,
                       int e3 = 0)
    {
        SwipeRead read;
        read.tracks = {TrackRead{t1, e1}, TrackRead{t2, e2}, TrackRead{t3, e3}};
        return reportSwipe(id, read);
    }
};

struct Event {
    int id;
    QVariantList args;
    QStringList tracks; // Track1Data..Track3Data as the handler saw them
};

// Behaves like the window: re-arms data events after each data event, and
// can be told to pump the event loop or to answer an error in its own way.
class RecordingSink : public EventSink {
public:
    explicit RecordingSink(MsrControl &c) : control(c) { control.advise(this); }
    ~RecordingSink() override { control.advise(nullptr); }

    MsrControl &control;
    QList<Event> events;
    bool rearm = true;
    bool pump = false;
    int depth = 0;
    int maxDepth = 0;
    std::optional<std::int32_t> errorResponse;

    void invokeEvent(int eventId, QVariantList &args) override
    {
        maxDepth = std::max(maxDepth, ++depth);
        QStringList tracks;
        for (int id : {dispid::Track1Data, dispid::Track2Data, dispid::Track3Data})
            tracks << control.invoke(id, InvokeKind::PropertyGet).toString();
        events.append({eventId, args, tracks});
        if (pump)
            QCoreApplication::processEvents();
        if (eventId == eventid::ErrorEvent && errorResponse)
            args[3] = *errorResponse;
        if (eventId == eventid::DataEvent && rearm)
            control.invoke(dispid::DataEventEnabled, InvokeKind::PropertyPut, {qint16(-1)});
        --depth;
    }
};

qint32 word(int b0, int b1, int b2)
{
    return b0 | b1 << 8 | b2 << 16;
}

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

    static int locus(const Event &e) { return e.args[2].toInt(); }

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
        QCOMPARE(call(dispid::Open, {QStringLiteral("HAND")}), OPOS_E_ILLEGAL);
        QCOMPARE(call(dispid::ReleaseDevice), OPOS_E_ILLEGAL);
        QCOMPARE(get(dispid::Claimed).toInt(), 0);

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

        QCOMPARE(call(dispid::Close), OPOS_SUCCESS);
        QCOMPARE(get(dispid::State).toInt(), OPOS_S_CLOSED);
        QCOMPARE(get(dispid::Claimed).toInt(), 0);
        QCOMPARE(get(dispid::DeviceEnabled).toInt(), 0);
    }

    void closeReleasesTheClaim()
    {
        startReader(MSR_ERT_TRACK);
        int releases = -1;
        service->releasesAfterDeath = &releases;
        QCOMPARE(call(dispid::Close), OPOS_SUCCESS);
        QCOMPARE(releases, 1);
    }

    void destructorReleasesTheClaim()
    {
        startReader(MSR_ERT_TRACK);
        int releases = -1;
        service->releasesAfterDeath = &releases;
        control.reset();
        QCOMPARE(releases, 1);
    }

    void raisedErrorsForCallsThatCannotBeDispatched()
    {
        QVERIFY_THROWS_EXCEPTION(DispatchError, get(99));
        QVERIFY_THROWS_EXCEPTION(DispatchError, put(dispid::State, 2));
        QVERIFY_THROWS_EXCEPTION(DispatchError, call(dispid::Open, {42}));
        QVERIFY_THROWS_EXCEPTION(DispatchError, call(dispid::ClaimDevice, {QStringLiteral("x")}));
    }

    void reportingTypeTakesOnlyCardOrTrack()
    {
        QCOMPARE(call(dispid::Open, {QStringLiteral("HAND")}), OPOS_SUCCESS);
        put(dispid::ErrorReportingType, 1);
        QCOMPARE(get(dispid::ErrorReportingType).toInt(), 1);
        put(dispid::ErrorReportingType, 5);
        QCOMPARE(get(dispid::ErrorReportingType).toInt(), 1);
    }

    void goodSwipeIsOneDataEventThatDisarms()
    {
        RecordingSink sink(*control);
        sink.rearm = false;
        startReader(MSR_ERT_TRACK);
        QVERIFY(service->swipe(1, QString(76, 'A'), QString(37, '1'), QString()).accepted);
        QVERIFY(service->swipe(2, "B", "2", "3").accepted);
        QTRY_COMPARE(sink.events.size(), 1);
        const Event &e = sink.events[0];
        QCOMPARE(e.id, eventid::DataEvent);
        QCOMPARE(e.args[0].toInt(), word(76, 37, 0));
        QCOMPARE(e.tracks, QStringList({QString(76, 'A'), QString(37, '1'), QString()}));
        QCOMPARE(get(dispid::DataEventEnabled).toInt(), 0);
        QCOMPARE(service->finished.size(), 1);
        QCOMPARE(service->finished[0], std::make_tuple(quint64(1), true, QString()));

        // The second swipe waits for the application to re-arm.
        QCoreApplication::processEvents();
        QCOMPARE(sink.events.size(), 1);
        put(dispid::DataEventEnabled, qint16(-1));
        QTRY_COMPARE(sink.events.size(), 2);
        QCOMPARE(sink.events[1].tracks, QStringList({"B", "2", "3"}));
    }

    void perTrackPartialSwipeIsErrorDataError()
    {
        RecordingSink sink(*control);
        startReader(MSR_ERT_TRACK);
        QVERIFY(service->swipe(7, "", "123", "", 201, 0, 204).accepted);
        QTRY_COMPARE(sink.events.size(), 3);
        QCOMPARE(sink.events[0].id, eventid::ErrorEvent);
        QCOMPARE(locus(sink.events[0]), OPOS_EL_INPUT_DATA);
        QCOMPARE(sink.events[0].args[0].toInt(), OPOS_E_EXTENDED);
        QCOMPARE(sink.events[0].args[1].toInt(), word(201, 0, 204));
        QCOMPARE(sink.events[0].args[3].toInt(), OPOS_ER_CONTINUEINPUT);
        QCOMPARE(sink.events[0].tracks, QStringList({"", "123", ""})); // shown with the error
        QCOMPARE(sink.events[1].id, eventid::DataEvent);
        QCOMPARE(sink.events[1].args[0].toInt(), word(0, 3, 0));
        QCOMPARE(sink.events[2].id, eventid::ErrorEvent);
        QCOMPARE(locus(sink.events[2]), OPOS_EL_INPUT);
        QCOMPARE(sink.events[2].args[3].toInt(), OPOS_ER_CLEAR);
        QCOMPARE(service->finished.size(), 1);
        QCOMPARE(std::get<1>(service->finished[0]), true);
    }

    void perTrackWithNoGoodDataIsOneError()
    {
        RecordingSink sink(*control);
        startReader(MSR_ERT_TRACK);
        QVERIFY(service->swipe(1, "A", "1", "1").accepted);
        QTRY_COMPARE(sink.events.size(), 1);
        QVERIFY(service->swipe(2, "", "", "", 203, 0, 0).accepted);
        QTRY_COMPARE(sink.events.size(), 2);
        QCoreApplication::processEvents();
        QCOMPARE(sink.events.size(), 2);
        QCOMPARE(locus(sink.events[1]), OPOS_EL_INPUT);
        QCOMPARE(sink.events[1].args[1].toInt(), word(203, 0, 0));
        QCOMPARE(sink.events[1].tracks, QStringList({"", "", ""}));
    }

    void perCardErrorCarriesFirstCodeAndNoData()
    {
        RecordingSink sink(*control);
        startReader(MSR_ERT_CARD);
        QVERIFY(service->swipe(1, "GOOD", "1", "").accepted);
        QTRY_COMPARE(sink.events.size(), 1);
        QVERIFY(service->swipe(2, "X", "", "9", 0, 202, 203).accepted);
        QTRY_COMPARE(sink.events.size(), 2);
        QCoreApplication::processEvents();
        QCOMPARE(sink.events.size(), 2);
        QCOMPARE(sink.events[1].id, eventid::ErrorEvent);
        QCOMPARE(locus(sink.events[1]), OPOS_EL_INPUT);
        QCOMPARE(sink.events[1].args[1].toInt(), 202);
        // The track properties still hold the last good card.
        QCOMPARE(sink.events[1].tracks, QStringList({"GOOD", "1", ""}));
    }

    void errorBehindQueuedDataIsToldFirstAndAgainAfter()
    {
        RecordingSink sink(*control);
        startReader(MSR_ERT_CARD);
        put(dispid::DataEventEnabled, qint16(0)); // let three swipes queue up
        QVERIFY(service->swipe(1, "A", "", "").accepted);
        QVERIFY(service->swipe(2, "B", "", "").accepted);
        QVERIFY(service->swipe(3, "C", "", "", 203).accepted);
        put(dispid::DataEventEnabled, qint16(-1));
        QTRY_COMPARE(sink.events.size(), 4);
        QCOMPARE(sink.events[0].id, eventid::ErrorEvent);
        QCOMPARE(locus(sink.events[0]), OPOS_EL_INPUT_DATA);
        QCOMPARE(sink.events[1].tracks[0], "A");
        QCOMPARE(sink.events[2].tracks[0], "B");
        QCOMPARE(sink.events[3].id, eventid::ErrorEvent);
        QCOMPARE(locus(sink.events[3]), OPOS_EL_INPUT);
        QCOMPARE(sink.events[3].args[1].toInt(), 203);
        QCOMPARE(service->finished.size(), 3);
    }

    void clearResponseEmptiesTheQueue()
    {
        RecordingSink sink(*control);
        startReader(MSR_ERT_CARD);
        put(dispid::DataEventEnabled, qint16(0));
        QVERIFY(service->swipe(1, "", "", "", 201).accepted);
        QVERIFY(service->swipe(2, "A", "", "").accepted);
        put(dispid::DataEventEnabled, qint16(-1));
        QTRY_COMPARE(service->finished.size(), 2);
        QCoreApplication::processEvents();
        QCOMPARE(sink.events.size(), 1); // the error; its preset response clears
        QCOMPARE(service->finished[0], std::make_tuple(quint64(1), true, QString()));
        QCOMPARE(service->finished[1],
                 std::make_tuple(quint64(2), false, QString("input cleared after a read error")));
        QCOMPARE(control->pendingSwipes(), 0);

        // A handler that asks to continue keeps what is queued.
        sink.errorResponse = OPOS_ER_CONTINUEINPUT;
        put(dispid::DataEventEnabled, qint16(0));
        QVERIFY(service->swipe(3, "", "", "", 201).accepted);
        QVERIFY(service->swipe(4, "D", "", "").accepted);
        put(dispid::DataEventEnabled, qint16(-1));
        QTRY_COMPARE(sink.events.size(), 3);
        QCOMPARE(sink.events[2].tracks[0], "D");
    }

    void noSecondEventWhileAHandlerPumps()
    {
        RecordingSink sink(*control);
        sink.pump = true;
        startReader(MSR_ERT_TRACK);
        for (quint64 i = 1; i <= 5; ++i)
            QVERIFY(service->swipe(i, "A", "", "", 0, i % 2 ? 0 : 203, 0).accepted);
        QTRY_COMPARE(service->finished.size(), 5);
        QCOMPARE(sink.maxDepth, 1);
    }

    void disabledOrReleasedReaderTakesNoSwipes()
    {
        RecordingSink sink(*control);
        startReader(MSR_ERT_TRACK);
        put(dispid::DeviceEnabled, qint16(0));
        const SwipeVerdict refused = service->swipe(1, "A", "", "");
        QVERIFY(!refused.accepted);
        QCOMPARE(refused.reason, "reader is disabled");

        put(dispid::DeviceEnabled, qint16(-1));
        put(dispid::DataEventEnabled, qint16(0));
        QVERIFY(service->swipe(2, "A", "", "").accepted);
        QCOMPARE(call(dispid::ReleaseDevice), OPOS_SUCCESS);
        QCOMPARE(service->finished.size(), 1);
        QCOMPARE(service->finished[0],
                 std::make_tuple(quint64(2), false, QString("reader was released")));
        QCOMPARE(service->releases, 1);
        QVERIFY(!service->swipe(3, "A", "", "").accepted);
        put(dispid::DataEventEnabled, qint16(-1));
        QCoreApplication::processEvents();
        QVERIFY(sink.events.isEmpty());
    }

    void queueIsBoundedAndSaysSo()
    {
        startReader(MSR_ERT_TRACK);
        put(dispid::DataEventEnabled, qint16(0));
        for (int i = 0; i < MsrControl::kMaxPendingSwipes; ++i)
            QVERIFY(service->swipe(i, "A", "", "").accepted);
        const SwipeVerdict full = service->swipe(100000, "A", "", "");
        QVERIFY(!full.accepted);
        QCOMPARE(full.reason, "queue full");
        QCOMPARE(control->pendingSwipes(), MsrControl::kMaxPendingSwipes);
    }
};

QTEST_GUILESS_MAIN(TestMsrControl)
#include "tst_msrcontrol.moc"
