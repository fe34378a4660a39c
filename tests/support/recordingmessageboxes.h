// A message seam that answers at once, as a user clicking OK straight away
// would, and records what it was asked to show.
#pragma once

#include "reporting/messageboxes.h"

#include <QList>
#include <QString>

#include <functional>

namespace testsupport {

struct ShownMessage {
    QString title;
    QString text;
    bool operator==(const ShownMessage &) const = default;
};

// QCOMPARE prints both sides when it can turn them into text.
char *toString(const ShownMessage &message);

class RecordingMessageBoxes : public reporting::MessageBoxes {
public:
    void showMessage(QWidget *, const QString &title, const QString &text) override
    {
        const ShownMessage message{title, text};
        shown.append(message);
        if (whileOpen)
            whileOpen(message);
    }

    QList<ShownMessage> shown;
    // Runs while the "box" is open, where a real box's event loop would let
    // other notifications through.
    std::function<void(const ShownMessage &)> whileOpen;
};

} // namespace testsupport
