#include "app/icon.h"

#include <QCoreApplication>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace swipewatch {

namespace {

QIcon *renderedIcon = nullptr;

QIcon renderIcon()
{
    // Rendered here rather than left to QIcon, so the icon does not depend on
    // an SVG icon-engine plugin being installed beside Qt. Every size given
    // is sent to the display with each window, so only the ones a window
    // manager draws: title bar, task bar, window switcher.
    QSvgRenderer renderer(QStringLiteral(":/icons/swipewatch.svg"));
    QIcon icon;
    if (!renderer.isValid())
        return icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace

QIcon programIcon()
{
    // The application and its window both ask for it.
    if (!renderedIcon) {
        renderedIcon = new QIcon(renderIcon());
        qAddPostRoutine([] {
            delete renderedIcon;
            renderedIcon = nullptr;
        });
    }
    return *renderedIcon;
}

} // namespace swipewatch
