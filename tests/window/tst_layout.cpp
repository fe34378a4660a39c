// SPDX-License-Identifier: MIT
#include "app/icon.h"
#include "app/twips.h"
#include "harness.h"

#include <QAccessible>
#include <QFontInfo>

class TestLayout : public QObject {
    Q_OBJECT
private slots:
    void controlsAt96Dpi_data()
    {
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("rect");
        QTest::addColumn<QString>("caption");
        const auto row = [](const QString &name, QRect rect, const char *caption = "",
                            const char *parent = "frmMSR") {
            QTest::newRow(qPrintable(name)) << parent << rect << caption;
        };
        row("Frame1", {16, 32, 329, 41}, "ErrorReportingType");
        row("Option1_1", {168, 20, 85, 13}, "Track", "Frame1");
        row("Option1_0", {56, 20, 85, 13}, "Card", "Frame1");
        for (int i = 0; i < 3; ++i) {
            const int top = 88 + 72 * i;
            row(QStringLiteral("Label1_%1").arg(i + 1), {8, top, 126, 25},
                qPrintable(QStringLiteral("Track%1Data").arg(i + 1)));
            row(QStringLiteral("lbTrackDataLng_%1").arg(i), {236, top + 8, 109, 21});
            row(QStringLiteral("tbTrack_%1").arg(i), {16, top + 32, 329, 25});
        }
        row("Label2", {12, 312, 125, 25}, "InputCount");
        row("lbCount", {168, 312, 57, 25});
        row("Label3", {12, 352, 125, 25}, "ErrorCount");
        row("lbErrorCount", {168, 352, 57, 25});
    }

    void controlsAt96Dpi()
    {
        QFETCH(QString, parent);
        QFETCH(QRect, rect);
        QFETCH(QString, caption);
        Harness h;
        QCOMPARE(h.form->logicalDpiX(), 96);
        QCOMPARE(h.form->logicalDpiY(), 96);
        auto *widget = h.form->findChild<QWidget *>(QTest::currentDataTag());
        QVERIFY(widget);
        QCOMPARE(widget->parentWidget()->objectName(), parent);
        QCOMPARE(widget->geometry(), rect);
        const QVariant text = widget->property("text");
        QCOMPARE((text.isValid() ? text : widget->property("title")).toString(), caption);
    }

    void fixedSizeNothingMoves()
    {
        Harness h;
        QCOMPARE(h.form->windowTitle(), QStringLiteral("MSR"));
        QVERIFY(!h.form->windowIcon().isNull());
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

    void iconRenderedOnceAtWindowIconSizes()
    {
        Harness h;
        // Every size in the icon goes to the display with each window.
        const QList<QSize> sizes = h.form->windowIcon().availableSizes();
        QVERIFY(!sizes.isEmpty());
        for (const QSize &size : sizes)
            QVERIFY2(size.width() >= 16 && size.width() <= 64,
                     qPrintable(QString::number(size.width())));
        // Drawn, and drawn on a transparent ground.
        const QImage image = h.form->windowIcon().pixmap(QSize(64, 64)).toImage();
        QCOMPARE(image.size(), QSize(64, 64));
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(image.pixel(32, 32)), 255);
        // The application's icon is the window's, not a second rendering.
        QCOMPARE(swipewatch::programIcon().cacheKey(), h.form->windowIcon().cacheKey());
    }

    void twipsAtOtherResolutions()
    {
        using swipewatch::ui::twipsToPixels;
        QCOMPARE(twipsToPixels(5400, 120), 450);
        QCOMPARE(twipsToPixels(6045, 144), 605); // 604.5 rounds up
        QCOMPARE(twipsToPixels(-30, 96), -2);
        // Edges are converted, not widths, so rounding opens no gaps.
        QCOMPARE(swipewatch::ui::toPixels({240, 480, 4935, 615}, 120, 144), QRect(20, 48, 411, 62));
    }

    void fonts_data()
    {
        QTest::addColumn<qreal>("points");
        QTest::addColumn<bool>("bold");
        QTest::addColumn<bool>("fixedPitch");
        for (const char *name : {"Label1_1", "Label1_2", "Label1_3", "Label2", "Label3"})
            QTest::newRow(name) << 15.75 << true << false;
        for (const char *name : {"lbCount", "lbErrorCount"})
            QTest::newRow(name) << 15.75 << false << false;
        for (int i = 0; i < 3; ++i) {
            QTest::addRow("lbTrackDataLng_%d", i) << 12.0 << false << false;
            QTest::addRow("tbTrack_%d", i) << 9.0 << false << true;
        }
    }

    void fonts()
    {
        QFETCH(qreal, points);
        QFETCH(bool, bold);
        QFETCH(bool, fixedPitch);
        Harness h;
        const QFont font = h.form->findChild<QWidget *>(QTest::currentDataTag())->font();
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

    // A count shows every digit, in the designed font while it fits.
    void countsShowEveryDigit_data()
    {
        QTest::addColumn<qint64>("before");
        QTest::newRow("1") << qint64(0);
        QTest::newRow("100,001") << qint64(100000);
    }
    void countsShowEveryDigit()
    {
        QFETCH(qint64, before);
        Harness h;
        QVERIFY(h.start());
        swipewatch::ui::Label *count = h.form->lbCount();
        count->setTag(QString::number(before));
        h.reader.fireDataEvent(0);
        QCOMPARE(count->Caption(), QString::number(before + 1));
        QVERIFY(count->fontMetrics().horizontalAdvance(count->Caption()) <= count->width());
        QCOMPARE(count->font().pointSizeF() == 15.75, before == 0);
    }

    void valueLabelsSitOnTheTextBackground()
    {
        Harness h;
        QPalette palette;
        palette.setColor(QPalette::Base, QColor(0x12, 0x34, 0x56));
        h.form->setPalette(palette);
        for (QWidget *label :
             {h.form->lbTrackDataLng(0), h.form->lbTrackDataLng(1), h.form->lbTrackDataLng(2),
              h.form->lbCount(), h.form->lbErrorCount()})
            QCOMPARE(label->grab().toImage().pixelColor(1, 1), QColor(0x12, 0x34, 0x56));
        for (QWidget *label : {h.form->Label1(1), h.form->Label2(), h.form->Label3()})
            QVERIFY(!label->autoFillBackground());
    }

    void onlyTextBoxesAndOptionsTakeFocusInTabOrder()
    {
        Harness h;
        swipewatch::frmMSR &f = *h.form;
        QList<QWidget *> focusable;
        for (QWidget *w = f.nextInFocusChain(); w != &f; w = w->nextInFocusChain()) {
            if (w->focusPolicy() != Qt::NoFocus)
                focusable << w;
        }
        QCOMPARE(focusable, (QList<QWidget *>{f.Option1(1), f.tbTrack(0), f.tbTrack(1),
                                              f.tbTrack(2), f.Option1(0)}));

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
        QCOMPARE(tabs(),
                 (QList<QWidget *>{f.tbTrack(0), f.tbTrack(1), f.tbTrack(2), f.Option1(1)}));
        QTest::keyClick(f.Option1(1), Qt::Key_Left);
        QVERIFY(f.Option1(0)->Value());
        QCOMPARE(h.reader.errorReportingType, opos::MSR_ERT_CARD);
        QCOMPARE(tabs(),
                 (QList<QWidget *>{f.tbTrack(0), f.tbTrack(1), f.tbTrack(2), f.Option1(0)}));
    }

    void longDataStaysOnOneLineShowingItsStart()
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

    void screenReadersAndTheScreenTellEveryText()
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
        QCOMPARE(text(h.form->lbErrorCount(), QAccessible::Description),
                 QStringLiteral("ErrorCount"));
        // Every status shows in full: a long one in a smaller size, a short one as designed.
        for (swipewatch::ui::Label *status : {h.form->lbTrackDataLng(0), h.form->lbTrackDataLng(2)})
            QVERIFY(status->fontMetrics().horizontalAdvance(status->text()) <=
                    status->contentsRect().width());
        QCOMPARE(h.form->lbTrackDataLng(2)->font().pointSizeF(), 12.0);
        QVERIFY(h.form->lbTrackDataLng(0)->font().pointSizeF() < 12.0);
    }
};

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
