// SPDX-License-Identifier: MIT
// The moment a user first sees a window: its first paint finished, children
// included, and handed to the display. The reference windows and the bench
// host print the same marker line at that moment, so all are timed alike.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>

#include <cstdio>

namespace bench {

class FirstFrameMarker : public QObject {
public:
    FirstFrameMarker() { QCoreApplication::instance()->installEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && watched->isWidgetType()) {
            QCoreApplication::instance()->removeEventFilter(this);
            // The first paint event starts a repaint of the whole window that
            // ends with the flush to the display; a zero timer runs after it.
            QTimer::singleShot(0, [] {
                std::fputs("first-frame\n", stdout);
                std::fflush(stdout);
            });
        }
        return false;
    }
};

} // namespace bench
