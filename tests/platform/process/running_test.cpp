#include "platform/process/running.h"

#include <gtest/gtest.h>

namespace {

TEST(RunFlag, StopBeforeAThreadBeginsStaysInForce) {
    g_bRunning = false;
    StopRunning();
    BeginRunning();  // a receiver thread that starts after the exit began
    EXPECT_FALSE(g_bRunning.load());

    // The next set of threads, once this one is over.
    ResumeRunning();
    BeginRunning();
    EXPECT_TRUE(g_bRunning.load());
    StopRunning();
    EXPECT_FALSE(g_bRunning.load());
}

}  // namespace
