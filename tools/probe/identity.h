// SPDX-License-Identifier: MIT
// Which reader a device-list name stands for, as the reports and the watch's
// header name it.
#pragma once

#include "health/healthcheck.h"

#include <QString>

namespace probe {

// The reader as the device list has it, with USB ids where udev knows them.
// A name the list does not hold gives the name alone.
health::Reader identify(const QString &name);

} // namespace probe
