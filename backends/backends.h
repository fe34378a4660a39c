// SPDX-License-Identifier: MIT
// The device registry with every kind of reader the program can drive.
#pragma once

#include "reader/deviceregistry.h"

namespace msr {

// DeviceRegistry::fromEnvironment() with the kinds virtual, keyboard, serial
// and hid.
DeviceRegistry standardRegistry();

} // namespace msr
