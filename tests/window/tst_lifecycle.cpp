// SPDX-License-Identifier: MIT
#include "harness.h"

namespace {

const QString kOpen = call(dispid::Open, {"MCRSTUBEX"});
const QString kState = get(dispid::State);

// Start-up against a reader that opens and claims: the click raised by
// selecting "Track" reads the type and writes it when it is 0, then start-up
// writes it again.
QStringList fullStart(bool clickWrites)
{
    QStringList calls{kOpen, kState, get(dispid::ErrorReportingType)};
    if (clickWrites)
        calls << put(dispid::ErrorReportingType, 1);
    return calls << put(dispid::ErrorReportingType, 1) << call(dispid::ClaimDevice, {0})
                 << get(dispid::Claimed) << put(dispid::DeviceEnabled, -1)
                 << put(dispid::DataEventEnabled, -1);
}

const QStringList kFullUnload{kState, put(dispid::DeviceEnabled, 0), get(dispid::Claimed),
                              call(dispid::ReleaseDevice), call(dispid::Close)};
const QStringList kUnclaimedUnload{kState, put(dispid::DeviceEnabled, 0), get(dispid::Claimed),
                                   call(dispid::Close)};

void activate(QWidget *window)
{
    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(window, &activate);
}

} // namespace

class TestLifecycle : public QObject {
    Q_OBJECT
private slots:
    void startAndClose_data()
    {
        QTest::addColumn<QList<qint32>>("results"); // Open, ClaimDevice, ReleaseDevice, Close
        QTest::addColumn<qint32>("initialType");
        QTest::addColumn<QStringList>("startCalls");
        QTest::addColumn<Messages>("startBoxes");
        QTest::addColumn<QString>("count");
        QTest::addColumn<QStringList>("unloadCalls");
        QTest::addColumn<Messages>("unloadBoxes");

        const QList<qint32> ok{0, 0, 0, 0};
        for (qint32 type : {0, 1, 5})
            QTest::addRow("all succeed, type %d", type)
                << ok << type << fullStart(type == 0) << Messages{} << "0" << kFullUnload
                << Messages{};
        QTest::newRow("Open 109") << QList<qint32>{109, 0, 0, 0} << 0 << QStringList{kOpen, kState}
                                  << Messages{{"Open Error", " 109 (OPOS_E_NOEXIST)"}} << ""
                                  << QStringList{kState} << Messages{};
        QTest::newRow("Claim 112") << QList<qint32>{0, 112, 0, 0} << 0 << fullStart(true).mid(0, 7)
                                   << Messages{{"Claim Error", " 112 (OPOS_E_TIMEOUT)"}} << ""
                                   << kUnclaimedUnload << Messages{};
        QTest::newRow("Release 111, Close -5")
            << QList<qint32>{0, 0, 111, -5} << 0 << fullStart(true) << Messages{} << "0"
            << kFullUnload
            << Messages{{"Release Error", " 111 (OPOS_E_FAILURE)"}, {"Close Error", "-5"}};
    }

    void startAndClose()
    {
        QFETCH(QList<qint32>, results);
        QFETCH(qint32, initialType);
        QFETCH(QStringList, startCalls);
        QFETCH(Messages, startBoxes);
        QFETCH(QString, count);
        QFETCH(QStringList, unloadCalls);
        QFETCH(Messages, unloadBoxes);

        Harness h;
        h.reader.openResult = results[0];
        h.reader.claimResult = results[1];
        h.reader.releaseResult = results[2];
        h.reader.closeResult = results[3];
        h.reader.errorReportingType = initialType;
        QVERIFY(h.reader.sink() && h.reader.calls.isEmpty()); // loading calls nothing
        QVERIFY(h.start());

        QCOMPARE(h.reader.calls, startCalls);
        QCOMPARE(h.boxes.shown, startBoxes);
        QCOMPARE(h.counters(), QStringList(4, count));
        const bool opened = results[0] == 0;
        QCOMPARE(h.form->Option1(1)->Value(), opened); // "Track" once open
        QVERIFY(!h.form->Option1(0)->Value());
        QCOMPARE(h.reader.errorReportingType, opened ? 1 : initialType);
        QCOMPARE(h.reader.deviceEnabled, count == "0");

        h.reader.calls.clear();
        h.boxes.shown.clear();
        QVERIFY(h.form->close()); // the window always closes
        QCOMPARE(h.reader.calls, unloadCalls);
        QCOMPARE(h.boxes.shown, unloadBoxes);
    }

    // Start-up and unload run once: not again for an activation inside a
    // start-up box, a close inside an unload box, or a window shown again.
    void startUpAndUnloadRunOnce()
    {
        Harness h;
        h.reader.claimResult = opos::OPOS_E_TIMEOUT;
        h.reader.closeResult = opos::OPOS_E_FAILURE;
        h.boxes.whileOpen = [&h](const ShownMessage &m) {
            m.title == "Claim Error" ? activate(h.form.get()) : void(h.form->close());
        };
        QVERIFY(h.start());
        QVERIFY(h.form->close());
        h.form->show();
        activate(h.form.get());
        QVERIFY(h.form->close());
        QCOMPARE(h.reader.calls, fullStart(true).mid(0, 7) + kUnclaimedUnload);
        QCOMPARE(h.boxes.shown.size(), 2);
    }
};

QTEST_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
