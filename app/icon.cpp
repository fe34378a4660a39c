// SPDX-License-Identifier: MIT
#include "app/icon.h"

#include "iconpixels.h" // rendered from icons/swipewatch.svg at build time

#include <QCoreApplication>
#include <QImage>
#include <QPixmap>

namespace swipewatch {

namespace {

QIcon *sharedIcon = nullptr;

QIcon makeIcon()
{
    QIcon icon;
    for (const iconpixels::Image &image : iconpixels::kImages)
        icon.addPixmap(
            QPixmap::fromImage(QImage(reinterpret_cast<const uchar *>(image.argb), image.size,
                                      image.size, QImage::Format_ARGB32_Premultiplied)));
    return icon;
}

} // namespace

QIcon programIcon()
{
    // The application and its window both ask for it.
    if (!sharedIcon) {
        sharedIcon = new QIcon(makeIcon());
        qAddPostRoutine([] {
            delete sharedIcon;
            sharedIcon = nullptr;
        });
    }
    return *sharedIcon;
}

} // namespace swipewatch
