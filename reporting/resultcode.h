// SPDX-License-Identifier: MIT
// Turning an OPOS result code into the text and the message box the user sees.
#pragma once

#include <QString>
#include <QtGlobal>

class QWidget;

namespace reporting {

class MessageBoxes;

// A number with a sign position: one leading blank when zero or more, a minus
// sign in that place otherwise (" 76", "-5").
QString signPositionText(qint64 number);

// " 109 (OPOS_E_NOEXIST)" for the fourteen standard error codes, the bare
// number with its sign position for any other code.
QString resultCodeText(qint32 code);

// The words for an extended MSR code of one track, or of the whole card:
// 201 to 204 name the failed check, any other code is "Other error".
QString trackErrorText(qint32 code);

// Success is silent; any other code shows exactly one message titled with the
// operation, and returns when the user has dismissed it.
void ShowResultCode(const QString &Title, qint32 Code, MessageBoxes &boxes,
                    QWidget *parent = nullptr);

} // namespace reporting
