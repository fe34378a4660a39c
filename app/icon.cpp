#include "app/icon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace swipewatch {

QIcon programIcon()
{
    // Rendered here rather than left to QIcon, so the icon does not depend on
    // an SVG icon-engine plugin being installed beside Qt.
    QSvgRenderer renderer(QStringLiteral(":/icons/swipewatch.svg"));
    QIcon icon;
    if (!renderer.isValid())
        return icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
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

} // namespace swipewatch
