// SPDX-License-Identifier: MIT
// A message seam that answers at once, as a user clicking OK straight away
// would, and records what it was asked to show.
#pragma once

#include "reporting/messageboxes.h"

#include <QList>
#include <QTest>

#include <functional>

namespace testsupport {

struct ShownMessage {
    QString title;
    QString text;
    bool operator==(const ShownMessage &) const = default;
};

// QCOMPARE prints both sides when it can turn them into text.
inline char *toString(const ShownMessage &m)
{
    return QTest::toString(QStringLiteral("[%1] \"%2\"").arg(m.title, m.text));
}

class RecordingMessageBoxes : public reporting::MessageBoxes {
public:
    void showMessage(QWidget *, const QString &title, const QString &text) override
    {
        const ShownMessage message{title, text};
        shown.append(message);
        if (whileOpen) // where a real box's event loop lets other notifications in
            whileOpen(message);
    }
    QList<ShownMessage> shown;
    std::function<void(const ShownMessage &)> whileOpen;
};

} // namespace testsupport
