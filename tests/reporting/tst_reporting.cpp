// SPDX-License-Identifier: MIT
#include "reporting/messageboxes.h"
#include "reporting/resultcode.h"
#include "tests/support/recordingmessageboxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QtTest>

using Messages = QList<testsupport::ShownMessage>;

class TestReporting : public QObject {
    Q_OBJECT
private slots:
    void resultCodeText_data()
    {
        QTest::addColumn<qint32>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("first named") << 101 << " 101 (OPOS_E_CLOSED)";
        QTest::newRow("last named") << 114 << " 114 (OPOS_E_EXTENDED)";
        QTest::newRow("below the table") << 100 << " 100";
        QTest::newRow("above the table") << 115 << " 115";
        QTest::newRow("most negative") << qint32(INT32_MIN) << "-2147483648";
    }

    // Every code once as text, and as a box titled by the caller (a 0 shows
    // none: tst_lifecycle's successful starts).
    void resultCodeText()
    {
        QFETCH(qint32, code);
        QFETCH(QString, text);
        QCOMPARE(reporting::resultCodeText(code), text);
        testsupport::RecordingMessageBoxes boxes;
        reporting::ShowResultCode(QStringLiteral("Close Error"), code, boxes);
        QCOMPARE(boxes.shown, Messages({{"Close Error", text}}));
    }

    // The production seam: a real application-modal box that returns only once
    // OK is pressed.
    void modalBoxShowsTheMessageAndWaitsForOk()
    {
        QPointer<QMessageBox> seen;
        QStringList found;
        QTimer poll; // runs inside the box's own event loop until the box is up
        poll.callOnTimeout(this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || seen)
                return;
            seen = box;
            found << box->windowTitle() << box->text() << QString::number(box->buttons().size())
                  << QString::number(box->icon()) << QString::number(box->windowModality());
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        });
        poll.start(10);

        reporting::ModalMessageBoxes boxes;
        QTest::ignoreMessage(QtInfoMsg, "Open Error:  109 (OPOS_E_NOEXIST)");
        reporting::ShowResultCode(QStringLiteral("Open Error"), 109, boxes);
        QCOMPARE(found, (QStringList{"Open Error", " 109 (OPOS_E_NOEXIST)", "1",
                                     QString::number(QMessageBox::NoIcon),
                                     QString::number(Qt::ApplicationModal)}));
        QVERIFY(!seen); // gone once the call returns
    }
};

QTEST_MAIN(TestReporting)
#include "tst_reporting.moc"
