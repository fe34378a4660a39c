// SPDX-License-Identifier: MIT
#include "reporting/messageboxes.h"

#include <QMessageBox>
#include <QPointer>

namespace reporting {

Q_LOGGING_CATEGORY(lcMessages, "swipewatch.message", QtInfoMsg)

void ModalMessageBoxes::showMessage(QWidget *parent, const QString &title, const QString &text)
{
    qCInfo(lcMessages).noquote() << title + QLatin1String(": ") + text;

    // A guarded pointer: the parent may go away while the box's loop runs.
    QPointer<QMessageBox> box =
        new QMessageBox(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(Qt::ApplicationModal);
    box->exec();
    delete box.data();
}

} // namespace reporting
