// SPDX-License-Identifier: MIT
#include "app/icon.h"
#include "app/twips.h"
#include "harness.h"

#include <QAccessible>
#include <QFontInfo>

class TestLayout : public QObject {
    Q_OBJECT
private slots:
    // Every control in creation order, with its parent, place at 96 dpi, font,
    // the name/description a screen reader tells, and whether it sits on the
    // colour behind a text box: the designed controls and nothing else, as the
    // reader control draws nothing. Nothing moves on a resize.
    void controlsAsDesigned()
    {
        Harness h;
        QPalette palette;
        palette.setColor(QPalette::Base, Qt::darkCyan);
        h.form->setPalette(palette);
        QCOMPARE(QSize(h.form->logicalDpiX(), h.form->logicalDpiY()), QSize(96, 96));
        QVERIFY(h.start());
        h.form->resize(800, 600);
        QCoreApplication::processEvents();
        QCOMPARE(h.form->size(), QSize(360, 403));
        QCOMPARE(h.form->windowTitle(), QStringLiteral("MSR"));
        QVERIFY(!(h.form->windowFlags() & Qt::WindowMaximizeButtonHint));
        // The application's icon is the window's, not a second rendering; every
        // size in it goes to the display with each window.
        const QIcon icon = h.form->windowIcon();
        QCOMPARE(swipewatch::programIcon().cacheKey(), icon.cacheKey());
        for (const QSize &size : icon.availableSizes())
            QVERIFY2(size.width() >= 16 && size.width() <= 64,
                     qPrintable(QString::number(size.width())));
        // Drawn, and drawn on a transparent ground.
        const QImage image = icon.pixmap(QSize(64, 64)).toImage();
        QVERIFY(qAlpha(image.pixel(0, 0)) == 0 && qAlpha(image.pixel(32, 32)) == 255);
        QStringList shown;
        for (QWidget *w : h.form->findChildren<QWidget *>()) {
            const QRect r = w->geometry();
            const QFontInfo face(w->font());
            QAccessibleInterface *told = QAccessible::queryAccessibleInterface(w);
            shown << QString::asprintf(
                "%s in %s: %d %d %d %d %g%s%s %s/%s%s", qPrintable(w->objectName()),
                qPrintable(w->parentWidget()->objectName()), r.x(), r.y(), r.width(), r.height(),
                w->font().pointSizeF(), face.bold() ? " bold" : "",
                face.fixedPitch() ? " fixed" : "", qPrintable(told->text(QAccessible::Name)),
                qPrintable(told->text(QAccessible::Description)),
                w->grab().toImage().pixelColor(1, 1) == Qt::darkCyan ? " on base" : "");
            if (!face.fixedPitch()) // Arial, or a face with its metrics
                QVERIFY2(QStringList({"Arial", "Liberation Sans", "Arimo"}).contains(face.family()),
                         qPrintable(face.family()));
        }
        QCOMPARE(
            shown,
            (QStringList{
                "Frame1 in frmMSR: 16 32 329 41 8 ErrorReportingType/",
                "Option1_1 in Frame1: 168 20 85 13 8 Track/",
                "Option1_0 in Frame1: 56 20 85 13 8 Card/",
                "Label1_1 in frmMSR: 8 88 126 25 15.75 bold Track1Data/",
                "lbTrackDataLng_0 in frmMSR: 236 96 109 21 12 /Track 1 length or error on base",
                "tbTrack_0 in frmMSR: 16 120 329 25 9 fixed Track1Data/",
                "Label1_2 in frmMSR: 8 160 126 25 15.75 bold Track2Data/",
                "lbTrackDataLng_1 in frmMSR: 236 168 109 21 12 /Track 2 length or error on base",
                "tbTrack_1 in frmMSR: 16 192 329 25 9 fixed Track2Data/",
                "Label1_3 in frmMSR: 8 232 126 25 15.75 bold Track3Data/",
                "lbTrackDataLng_2 in frmMSR: 236 240 109 21 12 /Track 3 length or error on base",
                "tbTrack_2 in frmMSR: 16 264 329 25 9 fixed Track3Data/",
                "Label2 in frmMSR: 12 312 125 25 15.75 bold InputCount/",
                "lbCount in frmMSR: 168 312 57 25 15.75 0/InputCount on base",
                "Label3 in frmMSR: 12 352 125 25 15.75 bold ErrorCount/",
                "lbErrorCount in frmMSR: 168 352 57 25 15.75 0/ErrorCount on base"}));

        // Counts and statuses show in full: in a smaller size where they must,
        // as designed where they fit.
        h.form->lbCount()->setTag(QStringLiteral("100000"));
        h.reader.fireErrorEvent(0, trackWord(201, 0, 204), opos::OPOS_EL_INPUT_DATA);
        h.reader.fireDataEvent(0);
        QList<qreal> points;
        for (QLabel *label : {h.form->lbTrackDataLng(0), h.form->lbTrackDataLng(2),
                              h.form->lbCount(), h.form->lbErrorCount()}) {
            QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <=
                    label->contentsRect().width());
            points << label->font().pointSizeF();
        }
        QVERIFY(points[0] < 12 && points[2] < 15.75);
        QCOMPARE(points[1], 12.0);
        QCOMPARE(points[3], 15.75);
    }

    void twipsAtOtherResolutions()
    {
        QCOMPARE(swipewatch::ui::twipsToPixels(-30, 96), -2);
        // Edges are converted, not widths, so rounding opens no gaps: the
        // left edge is 21.25, the right 432.5 and the bottom 109.5 (both round up).
        QCOMPARE(swipewatch::ui::toPixels({255, 480, 4935, 615}, 120, 144), QRect(21, 48, 412, 62));
    }

    void onlyTextBoxesAndOptionsTakeFocusInTabOrder()
    {
        Harness h;
        swipewatch::frmMSR &f = *h.form;
        // The keyboard starts on "Track", and the option buttons are one tab
        // stop; arrow keys move between them.
        QVERIFY(h.start());
        f.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        QTRY_COMPARE(QApplication::focusWidget(), f.Option1(1));
        QList<QWidget *> visited;
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget();
        }
        QCOMPARE(visited,
                 (QList<QWidget *>{f.tbTrack(0), f.tbTrack(1), f.tbTrack(2), f.Option1(1)}));
        QTest::keyClick(f.Option1(1), Qt::Key_Left);
        QVERIFY(f.Option1(0)->Value());
        QCOMPARE(h.reader.errorReportingType, opos::MSR_ERT_CARD);
    }

    // Text no stripe carries, as another kind of reader could hand it over,
    // and more of it than any stripe holds.
    void oddTrackDataStaysOnOneLineFromItsStart_data()
    {
        QTest::addColumn<QString>("text");
        QString controls = QString::fromUtf16(u"\uFFFD\u0007\t\n\r\u0085\u2028 B41^CARD");
        controls.insert(3, QChar(0));
        const QString rtl = QString::fromUtf16(u"\u05DB\u05E8\u05D8\u05D9\u05E1 \u0628\u0637"
                                               u"\u0627\u0642\u0629 \u202E4111\u202C");
        const QString astral =
            QString::fromUtf16(u"\U0001F4B3\U00010348\U0001D11E\U000E0041\u0301");
        QTest::newRow("right to left") << rtl;
        QTest::newRow("lone surrogates") << QChar(0xDC00) + QStringLiteral("x") + QChar(0xD800);
        // Starts as the control characters do; far past QLineEdit's default limit.
        QTest::newRow("200,000 characters of all of it")
            << (controls + rtl + astral).repeated(200000 / 40).left(200000);
    }
    void oddTrackDataStaysOnOneLineFromItsStart()
    {
        QFETCH(QString, text);
        Harness h;
        h.reader.tracks[0] = text;
        QVERIFY(h.start());
        swipewatch::ui::TextBox *box = h.form->tbTrack(0);
        h.reader.fireDataEvent(trackWord(255, 0, 0));
        QCOMPARE(box->Text(), text);
        QCOMPARE(box->cursorPosition(), 0);
        box->grab(); // lays out and scrolls the text as painting does
        const QRect start = box->inputMethodQuery(Qt::ImCursorRectangle).toRect();
        QVERIFY2(box->rect().contains(start.center()), qPrintable(QString::number(start.x())));
    }
};

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
