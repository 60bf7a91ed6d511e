#pragma once

// The terminal program's tests run it through the tests' child-process helper.

#include <chrono>

#include "tests/support/child_process.h"

namespace ctltest {

using namespace std::chrono_literals;

inline constexpr auto kBound = kChildBound;
using Process = ChildProcess;
using ::LineReader;

}  // namespace ctltest
