#pragma once

// The receiver tests run on the virtual kit's HID bus.
#include "tools/virtual_kit/virtual_hid_bus.h"

using FakeHidBus = VirtualHidBus;
