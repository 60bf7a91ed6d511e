#pragma once

// What each key of the kit is, in words, for a technician reading a terminal: the IR
// remote's keys by what is printed on them or where they sit, the game controller's
// by direction and button.

#include <string_view>

#include "receiver/types.h"

// "" for a key id no table gives.
std::string_view KeyName(KeyId key);
