// Where a logical device keeps its claim lock and its swipe socket: the
// user's runtime folder, which only the user may enter.
#pragma once

#include <QString>

namespace msr {

// The runtime folder, created if missing and forced to mode 0700. Empty, with
// *error set, when it cannot be made private.
QString runtimeDirectory(QString *error = nullptr);

QString claimLockPath(const QString &logicalName);
QString swipeSocketPath(const QString &logicalName);

} // namespace msr
