// SPDX-License-Identifier: MIT
// The device registry with every kind of reader the program can drive.
#pragma once

#include "reader/deviceregistry.h"

namespace msr {

// DeviceRegistry::fromEnvironment() with the kinds virtual, keyboard, serial,
// hid and replay.
DeviceRegistry standardRegistry();

} // namespace msr
