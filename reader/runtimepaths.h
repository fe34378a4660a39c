// SPDX-License-Identifier: MIT
// Where a logical device keeps its claim lock and its swipe socket: the
// user's runtime folder, which only the user may enter.
#pragma once

#include <QString>
#include <QStringView>

namespace msr {

// The runtime folder: XDG_RUNTIME_DIR when it is an absolute path, otherwise
// runtime-USER in the temporary folder; created if missing and forced to mode
// 0700. Empty, with *error set (naming the folder), when it cannot be made,
// is not a folder owned by this user, or cannot be made private.
QString runtimeDirectory(QString *error = nullptr);

QString claimLockPath(const QString &logicalName);
QString swipeSocketPath(const QString &logicalName);

// Empty when a local socket can live at path; otherwise a sentence saying it
// is longer than the kernel takes (107 bytes on Linux).
QString socketPathProblem(const QString &path);

// A logical device name: 1 to 64 letters, digits, '_', '-' or '.'. It
// becomes part of a file name, so nothing else passes.
bool isValidDeviceName(QStringView name);

// Text from outside (a reader's answer, a device list) made safe to print on
// a terminal: control characters, C1 ones and DEL included, become \xHH.
QString printable(QStringView text);

// The running program's name for its messages: the application name each
// main sets, else the name it was started by.
QString programName();

// One line on standard error from code the programs share (device lists,
// readers): "PROGRAM: text", the text made printable.
void sayOnStderr(const QString &text);

} // namespace msr
