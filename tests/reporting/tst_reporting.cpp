#include "reporting/messageboxes.h"
#include "reporting/resultcode.h"
#include "tests/support/recordingmessageboxes.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QtTest>

using Messages = QList<testsupport::ShownMessage>;

class TestReporting : public QObject {
    Q_OBJECT
private slots:
    void resultCodeText_data();
    void resultCodeText();
    void showResultCode_data();
    void showResultCode();
    void modalBoxShowsTheMessageAndWaitsForOk();
};

void TestReporting::resultCodeText_data()
{
    QTest::addColumn<qint32>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("success") << 0 << " 0";
    const char *names[] = {"CLOSED",  "CLAIMED",    "NOTCLAIMED", "NOSERVICE", "DISABLED",
                           "ILLEGAL", "NOHARDWARE", "OFFLINE",    "NOEXIST",   "EXISTS",
                           "FAILURE", "TIMEOUT",    "BUSY",       "EXTENDED"};
    for (int i = 0; i < 14; ++i)
        QTest::addRow("%d", 101 + i)
            << 101 + i << QStringLiteral(" %1 (OPOS_E_%2)").arg(101 + i).arg(names[i]);
    QTest::newRow("below the table") << 100 << " 100";
    QTest::newRow("above the table") << 115 << " 115";
    QTest::newRow("negative") << -5 << "-5";
    QTest::newRow("most negative") << qint32(INT32_MIN) << "-2147483648";
}

void TestReporting::resultCodeText()
{
    QFETCH(qint32, code);
    QFETCH(QString, text);
    QCOMPARE(reporting::resultCodeText(code), text);
}

void TestReporting::showResultCode_data()
{
    QTest::addColumn<qint32>("code");
    QTest::addColumn<Messages>("expected");
    QTest::newRow("success is silent") << 0 << Messages{};
    QTest::newRow("named") << 111 << Messages{{"Close Error", " 111 (OPOS_E_FAILURE)"}};
    QTest::newRow("unnamed") << 115 << Messages{{"Close Error", " 115"}};
    QTest::newRow("negative") << -5 << Messages{{"Close Error", "-5"}};
}

void TestReporting::showResultCode()
{
    QFETCH(qint32, code);
    QFETCH(Messages, expected);
    testsupport::RecordingMessageBoxes boxes;
    reporting::ShowResultCode(QStringLiteral("Close Error"), code, boxes);
    QCOMPARE(boxes.shown, expected);
}

// The production seam: a real application-modal box that returns only once
// OK is pressed.
void TestReporting::modalBoxShowsTheMessageAndWaitsForOk()
{
    QPointer<QMessageBox> seen;
    QStringList found;
    // Runs inside the box's own event loop, polling until the box is up.
    QTimer poll;
    poll.setInterval(10);
    connect(&poll, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || seen)
            return;
        seen = box;
        found << box->windowTitle() << box->text() << QString::number(box->buttons().size())
              << QString::number(box->icon()) << QString::number(box->windowModality());
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    poll.start();

    reporting::ModalMessageBoxes boxes;
    QTest::ignoreMessage(QtInfoMsg, "Open Error:  109 (OPOS_E_NOEXIST)");
    reporting::ShowResultCode(QStringLiteral("Open Error"), 109, boxes);

    QCOMPARE(found, (QStringList{"Open Error", " 109 (OPOS_E_NOEXIST)", "1",
                                 QString::number(QMessageBox::NoIcon),
                                 QString::number(Qt::ApplicationModal)}));
    QVERIFY(!seen); // gone once the call returns
}

QTEST_MAIN(TestReporting)
#include "tst_reporting.moc"
