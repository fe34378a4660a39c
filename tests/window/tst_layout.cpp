#include "app/icon.h"
#include "app/twips.h"
#include "harness.h"

#include <QAccessible>
#include <QFontInfo>

using swipewatch::ui::OptionButton;

class TestLayout : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void controlsAt96Dpi_data();
    void controlsAt96Dpi();
    void fixedSizeNothingMoves();
    void twipsAtOtherResolutions();
    void fonts_data();
    void fonts();
    void valueLabelsSitOnTheTextBackground();
    void onlyTextBoxesAndOptionsTakeFocusInTabOrder();
    void optionButtonsRaiseClick();
    void longDataStaysOnOneLineShowingItsStart();
    void screenReadersAndToolTipsTellEveryText();
    void programIcon();
};

void TestLayout::initTestCase()
{
    Harness h;
    QCOMPARE(h.form->logicalDpiX(), 96);
    QCOMPARE(h.form->logicalDpiY(), 96);
}

void TestLayout::controlsAt96Dpi_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QString>("caption");
    QTest::newRow("Frame1") << "Frame1"
                            << "frmMSR" << QRect(16, 32, 329, 41) << "ErrorReportingType";
    QTest::newRow("Option1(1)") << "Option1_1"
                                << "Frame1" << QRect(168, 20, 85, 13) << "Track";
    QTest::newRow("Option1(0)") << "Option1_0"
                                << "Frame1" << QRect(56, 20, 85, 13) << "Card";
    for (int i = 0; i < 3; ++i) {
        const int top = 88 + 72 * i;
        QTest::addRow("Label1(%d)", i + 1)
            << QStringLiteral("Label1_%1").arg(i + 1) << "frmMSR" << QRect(8, top, 126, 25)
            << QStringLiteral("Track%1Data").arg(i + 1);
        QTest::addRow("lbTrackDataLng(%d)", i) << QStringLiteral("lbTrackDataLng_%1").arg(i)
                                               << "frmMSR" << QRect(236, top + 8, 109, 21) << "";
        QTest::addRow("tbTrack(%d)", i) << QStringLiteral("tbTrack_%1").arg(i) << "frmMSR"
                                        << QRect(16, top + 32, 329, 25) << "";
    }
    QTest::newRow("Label2") << "Label2"
                            << "frmMSR" << QRect(12, 312, 125, 25) << "InputCount";
    QTest::newRow("lbCount") << "lbCount"
                             << "frmMSR" << QRect(168, 312, 57, 25) << "";
    QTest::newRow("Label3") << "Label3"
                            << "frmMSR" << QRect(12, 352, 125, 25) << "ErrorCount";
    QTest::newRow("lbErrorCount") << "lbErrorCount"
                                  << "frmMSR" << QRect(168, 352, 57, 25) << "";
}

void TestLayout::controlsAt96Dpi()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, rect);
    QFETCH(QString, caption);
    Harness h;
    QCOMPARE(h.form->windowTitle(), QStringLiteral("MSR"));
    auto *widget = h.form->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget()->objectName(), parent);
    QCOMPARE(widget->geometry(), rect);
    QVariant text = widget->property("text");
    if (!text.isValid())
        text = widget->property("title");
    QCOMPARE(text.toString(), caption);
}

void TestLayout::fixedSizeNothingMoves()
{
    Harness h;
    QCOMPARE(h.form->size(), QSize(360, 403));
    QVERIFY(!(h.form->windowFlags() & Qt::WindowMaximizeButtonHint));
    // The designed controls and nothing else: the MSR control draws nothing.
    const QList<QWidget *> widgets = h.form->findChildren<QWidget *>();
    QCOMPARE(widgets.size(), 16);
    QList<QRect> before;
    for (QWidget *w : widgets)
        before << w->geometry();

    h.form->show();
    h.form->resize(800, 600);
    QCoreApplication::processEvents();
    QCOMPARE(h.form->size(), QSize(360, 403));
    for (int i = 0; i < widgets.size(); ++i)
        QCOMPARE(widgets[i]->geometry(), before[i]);
}

void TestLayout::twipsAtOtherResolutions()
{
    using swipewatch::ui::twipsToPixels;
    QCOMPARE(twipsToPixels(5400, 120), 450);
    QCOMPARE(twipsToPixels(6045, 144), 605); // 604.5 rounds up
    QCOMPARE(twipsToPixels(-30, 96), -2);
    // Edges are converted, not widths, so rounding opens no gaps.
    QCOMPARE(swipewatch::ui::toPixels({240, 480, 4935, 615}, 120, 144), QRect(20, 48, 411, 62));
}

void TestLayout::fonts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qreal>("points");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<bool>("fixedPitch");
    for (const char *name : {"Label1_1", "Label1_2", "Label1_3", "Label2", "Label3"})
        QTest::newRow(name) << name << 15.75 << true << false;
    for (const char *name : {"lbCount", "lbErrorCount"})
        QTest::newRow(name) << name << 15.75 << false << false;
    for (int i = 0; i < 3; ++i) {
        const QString length = QStringLiteral("lbTrackDataLng_%1").arg(i);
        const QString box = QStringLiteral("tbTrack_%1").arg(i);
        QTest::newRow(qPrintable(length)) << length << 12.0 << false << false;
        QTest::newRow(qPrintable(box)) << box << 9.0 << false << true;
    }
}

void TestLayout::fonts()
{
    QFETCH(QString, name);
    QFETCH(qreal, points);
    QFETCH(bool, bold);
    QFETCH(bool, fixedPitch);
    Harness h;
    const QFont font = h.form->findChild<QWidget *>(name)->font();
    const QFontInfo face(font);
    QCOMPARE(font.pointSizeF(), points);
    QCOMPARE(face.bold(), bold);
    QCOMPARE(face.fixedPitch(), fixedPitch);
    if (!fixedPitch) // Arial, or a face with its metrics
        QVERIFY2(QStringList({"Arial", "Liberation Sans", "Arimo"}).contains(face.family()),
                 qPrintable(face.family()));
    QVERIFY(!face.italic() && !face.underline() && !face.strikeOut());
    QCOMPARE(h.form->Option1(0)->font(), h.form->font()); // the window's default font
    QCOMPARE(h.form->Frame1()->font(), h.form->font());
}

void TestLayout::valueLabelsSitOnTheTextBackground()
{
    Harness h;
    QPalette palette;
    palette.setColor(QPalette::Base, QColor(0x12, 0x34, 0x56));
    palette.setColor(QPalette::Window, QColor(0xab, 0xcd, 0xef));
    h.form->setPalette(palette);
    for (QWidget *label : {h.form->lbTrackDataLng(0), h.form->lbTrackDataLng(1),
                           h.form->lbTrackDataLng(2), h.form->lbCount(), h.form->lbErrorCount()})
        QCOMPARE(label->grab().toImage().pixelColor(1, 1), QColor(0x12, 0x34, 0x56));
    for (QWidget *label : {h.form->Label1(1), h.form->Label2(), h.form->Label3()})
        QVERIFY(!label->autoFillBackground());
}

void TestLayout::onlyTextBoxesAndOptionsTakeFocusInTabOrder()
{
    Harness h;
    swipewatch::frmMSR &f = *h.form;
    QList<QWidget *> focusable;
    for (QWidget *w = f.nextInFocusChain(); w != &f; w = w->nextInFocusChain()) {
        if (w->focusPolicy() != Qt::NoFocus)
            focusable << w;
    }
    QCOMPARE(focusable, (QList<QWidget *>{f.Option1(1), f.tbTrack(0), f.tbTrack(1), f.tbTrack(2),
                                          f.Option1(0)}));

    // The keyboard follows it, "Track" first. The option buttons are one tab
    // stop, at the place of the one last used; arrow keys move between them.
    QVERIFY(h.start());
    f.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&f));
    QTRY_COMPARE(QApplication::focusWidget(), f.Option1(1));
    const auto tabs = [] {
        QList<QWidget *> visited;
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget();
        }
        return visited;
    };
    QCOMPARE(tabs(), (QList<QWidget *>{f.tbTrack(0), f.tbTrack(1), f.tbTrack(2), f.Option1(1)}));
    QTest::keyClick(f.Option1(1), Qt::Key_Left);
    QVERIFY(f.Option1(0)->Value());
    QCOMPARE(h.reader.errorReportingType, opos::MSR_ERT_CARD);
    QCOMPARE(tabs(), (QList<QWidget *>{f.tbTrack(0), f.tbTrack(1), f.tbTrack(2), f.Option1(0)}));
}

// Click comes with every selection, by the user or by code, and also for a
// user's click on the button already selected; never for a clearing.
void TestLayout::optionButtonsRaiseClick()
{
    Harness h;
    OptionButton *card = h.form->Option1(0);
    OptionButton *track = h.form->Option1(1);
    QList<qint16> clicks;
    for (OptionButton *button : {card, track})
        connect(button, &OptionButton::Click, this, [&clicks](qint16 i) { clicks << i; });

    track->setValue(true);
    track->setValue(true); // already selected
    QTest::mouseClick(track, Qt::LeftButton);
    QTest::keyClick(card, Qt::Key_Space);
    QVERIFY(card->Value() && !track->Value());
    card->setValue(false);
    QVERIFY(!card->Value() && !track->Value());
    QCOMPARE(clicks, (QList<qint16>{1, 1, 0}));
}

void TestLayout::longDataStaysOnOneLineShowingItsStart()
{
    Harness h;
    h.reader.tracks[0] = QString(100000, 'x');
    QVERIFY(h.start());
    swipewatch::ui::TextBox *box = h.form->tbTrack(0);
    const int height = box->height();
    h.reader.fireDataEvent(255);

    QCOMPARE(box->Text().size(), 100000);
    QCOMPARE(box->height(), height);
    QCOMPARE(box->cursorPosition(), 0);
    box->grab(); // scrolls the text as painting does
    const QRect cursor = box->inputMethodQuery(Qt::ImCursorRectangle).toRect();
    QVERIFY(cursor.center().x() >= 0 && cursor.center().x() < box->width() / 4);
}

void TestLayout::screenReadersAndToolTipsTellEveryText()
{
    Harness h;
    h.reader.tracks[1] = QStringLiteral("123");
    QVERIFY(h.start());
    h.reader.fireErrorEvent(0, trackWord(201, 0, 204), opos::OPOS_EL_INPUT_DATA);

    const auto text = [](QWidget *w, QAccessible::Text t) {
        return QAccessible::queryAccessibleInterface(w)->text(t);
    };
    QCOMPARE(text(h.form->tbTrack(1), QAccessible::Name), QStringLiteral("Track2Data"));
    QCOMPARE(text(h.form->tbTrack(1), QAccessible::Value), QStringLiteral("123"));
    QCOMPARE(text(h.form->lbErrorCount(), QAccessible::Name), QStringLiteral("1"));
    QCOMPARE(text(h.form->lbErrorCount(), QAccessible::Description), QStringLiteral("ErrorCount"));
    QCOMPARE(text(h.form->lbTrackDataLng(0), QAccessible::Name),
             QStringLiteral("Start sentinel error"));
    // A status cut at the label's edge is told in full by its tool tip.
    QCOMPARE(h.form->lbTrackDataLng(0)->toolTip(), QStringLiteral("Start sentinel error"));
    QCOMPARE(h.form->lbTrackDataLng(2)->toolTip(), QString()); // "LRC error" fits
}

void TestLayout::programIcon()
{
    const QImage image = swipewatch::programIcon().pixmap(32, 32).toImage();
    QCOMPARE(image.size(), QSize(32, 32));
    QCOMPARE(image.pixelColor(0, 0).alpha(), 0);     // a transparent corner
    QCOMPARE(image.pixelColor(16, 14).alpha(), 255); // the card across the middle
    Harness h;
    QVERIFY(!h.form->windowIcon().isNull());
}

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
