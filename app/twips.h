// SPDX-License-Identifier: MIT
// Layout units: the window is designed in twips (1/1440 inch).
#pragma once

#include <QRect>
#include <QSize>

namespace swipewatch::ui {

constexpr int kTwipsPerInch = 1440;

// Rounded to the nearest pixel; at 96 dpi 15 twips make one pixel.
constexpr int twipsToPixels(int twips, int dpi)
{
    const long long scaled = static_cast<long long>(twips) * dpi;
    const long long half = kTwipsPerInch / 2;
    return static_cast<int>(scaled >= 0 ? (scaled + half) / kTwipsPerInch
                                        : -((-scaled + half) / kTwipsPerInch));
}

struct TwipsRect {
    int left;
    int top;
    int width;
    int height;
};

inline QRect toPixels(const TwipsRect &r, int dpiX, int dpiY)
{
    // Convert the edges, not the extents, so neighbouring controls that touch
    // in twips still touch in pixels at any resolution.
    const int x = twipsToPixels(r.left, dpiX);
    const int y = twipsToPixels(r.top, dpiY);
    return QRect(x, y, twipsToPixels(r.left + r.width, dpiX) - x,
                 twipsToPixels(r.top + r.height, dpiY) - y);
}

} // namespace swipewatch::ui
