// SPDX-License-Identifier: MIT
// How the program puts a message in front of the user. The window and the
// application talk to this seam only, so tests can answer a message at once.
#pragma once

#include <QLoggingCategory>
#include <QString>

class QWidget;

namespace reporting {

Q_DECLARE_LOGGING_CATEGORY(lcMessages)

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Returns once the user has dismissed the message.
    virtual void showMessage(QWidget *parent, const QString &title, const QString &text) = 0;
};

// A modal box with one OK button and no icon. It runs its own event loop, so
// the caller's window keeps processing events until the user closes it. Each
// message also goes to the log, so a till engineer finds it in the journal
// after the box has gone.
class ModalMessageBoxes : public MessageBoxes {
public:
    void showMessage(QWidget *parent, const QString &title, const QString &text) override;
};

} // namespace reporting
