// SPDX-License-Identifier: MIT
#include "app/runtimeerror.h"
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
    // The reader's calls from start-up to unload, "close" marking the window's
    // close, and a box for each failing result.
    void startAndClose_data()
    {
        QTest::addColumn<QList<qint32>>("results"); // Open, ClaimDevice, ReleaseDevice, Close
        QTest::addColumn<qint32>("initialType");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<Messages>("boxes");
        QTest::addColumn<QString>("count");

        for (qint32 type : {0, 1, 5})
            QTest::addRow("all succeed, type %d", type)
                << QList<qint32>{0, 0, 0, 0} << type
                << (fullStart(type == 0) << "close" << kFullUnload) << Messages{} << "0";
        QTest::newRow("Open 109") << QList<qint32>{109, 0, 0, 0} << 0
                                  << QStringList{kOpen, kState, "close", kState}
                                  << Messages{{"Open Error", " 109 (OPOS_E_NOEXIST)"}} << "";
        QTest::newRow("Release 111, Close -5")
            << QList<qint32>{0, 0, 111, -5} << 0 << (fullStart(true) << "close" << kFullUnload)
            << Messages{{"Release Error", " 111 (OPOS_E_FAILURE)"}, {"Close Error", "-5"}} << "0";
    }

    void startAndClose()
    {
        QFETCH(QList<qint32>, results);
        QFETCH(qint32, initialType);
        QFETCH(QStringList, calls);
        QFETCH(Messages, boxes);
        QFETCH(QString, count);

        Harness h;
        h.reader.openResult = results[0];
        h.reader.claimResult = results[1];
        h.reader.releaseResult = results[2];
        h.reader.closeResult = results[3];
        h.reader.errorReportingType = initialType;
        QVERIFY(h.start());
        swipewatch::ui::Label *inputs = h.form->lbCount(), *errors = h.form->lbErrorCount();
        QCOMPARE((QStringList{inputs->Tag(), inputs->Caption(), errors->Tag(), errors->Caption()}),
                 QStringList(4, count));
        h.reader.calls << "close";
        QVERIFY(h.form->close()); // the window always closes
        QCOMPARE(h.reader.calls, calls);
        QCOMPARE(h.boxes.shown, boxes);
        // With no number to count from, the first handler that counts raises
        // rather than make one up.
        if (count.isEmpty())
            QVERIFY_THROWS_EXCEPTION(swipewatch::RuntimeError, h.reader.fireDataEvent(1));
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
        QCOMPARE(h.boxes.shown, (Messages{{"Claim Error", " 112 (OPOS_E_TIMEOUT)"},
                                          {"Close Error", " 111 (OPOS_E_FAILURE)"}}));
    }
};

QTEST_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
