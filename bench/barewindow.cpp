// SPDX-License-Identifier: MIT
// The references for the window's start-up time and memory: a plain Qt
// Widgets window of the same size with nothing in it, and, with --label, the
// same window showing one label in the window's fonts, so the price every
// window with text pays (font configuration, FreeType, HarfBuzz) is on both
// sides. It prints a marker line on its first frame, which is the moment a
// user first sees it, and then waits to be killed so its memory can be read.
#include "bench/firstframe.h"

#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QWidget>

#include <cstring>

namespace {

// The faces swipewatch asks for: its captions and counts in Arial or a face
// with Arial's metrics, its track text in a fixed-pitch face.
QFont sansFont(qreal points, QFont::Weight weight)
{
    QFont font;
    font.setFamilies(
        {QStringLiteral("Arial"), QStringLiteral("Liberation Sans"), QStringLiteral("Arimo")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setWeight(weight);
    return font;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const bench::FirstFrameMarker marker;
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare"));
    // swipewatch's client area at 96 dpi: 5400 x 6045 twips.
    window.setFixedSize(360, 403);
    if (argc > 1 && std::strcmp(argv[1], "--label") == 0) {
        window.setFont(sansFont(8, QFont::Normal));
        auto *label = new QLabel(QStringLiteral("InputCount"), &window);
        label->setFont(sansFont(15.75, QFont::Bold));
        label->setGeometry(12, 312, 125, 25);
    }
    window.show();
    return app.exec();
}
