#include "station/eol_run.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = EndOfLineRun::Clock;

std::vector<ExaminedReceiver> Working() {
    return {{{"ir", "working", "/dev/hidraw0", "usb-1-1/input0", 0x0471, 0x0606}, ""},
            {{"game", "working", "/dev/hidraw1", "usb-1-1/input1", 0x0471, 0x0606}, ""}};
}

// A run on a clock the test moves.
struct Bench {
    explicit Bench(std::vector<KeyId> keys = {48, 49}, std::string label = "") {
        EolSettings settings;
        settings.station = "bench-1";
        settings.labelSerial = std::move(label);
        settings.keys = std::move(keys);
        settings.keyTimeout = 10s;
        settings.timeout = 60s;
        run = std::make_unique<EndOfLineRun>(
            settings, [this] { ++changes; }, [this] { return now; });
    }
    void Press(KeyId key, std::chrono::milliseconds length) {
        run->HighlightKey(key);
        now += length;
        run->ClearHighlight();
        now += 300ms;
    }
    Clock::time_point now = Clock::time_point() + 1h;
    std::atomic<int> changes{0};
    std::unique_ptr<EndOfLineRun> run;
};

TEST(EndOfLineRun, ReceiverThatDoesNotWorkEndsTheRunWithItsStatus) {
    Bench bench;
    auto receivers = Working();
    receivers[1].record.state = "denied";
    receivers[1].why = "no read access";
    EXPECT_FALSE(bench.run->TakeReceivers(receivers));
    const RunRecord record = bench.run->Record();
    EXPECT_EQ(record.outcome, RunOutcome::Fail);
    EXPECT_EQ(record.failedStep, "receivers");
    EXPECT_EQ(record.exitStatus, kEolDenied);
    EXPECT_EQ(record.why, "game-pad receiver denied: no read access");
    EXPECT_EQ(record.receivers.size(), 2u);
    EXPECT_GT(bench.changes.load(), 0);
}

TEST(EndOfLineRun, EveryKeyPressedLeadsToTheTokenAndAMismatchedSerialFails) {
    Bench bench({48, 49}, "123456789");
    ASSERT_TRUE(bench.run->TakeReceivers(Working()));
    EXPECT_EQ(bench.run->Snapshot().missing, (std::vector<KeyId>{48, 49}));
    bench.Press(48, 100ms);
    auto view = bench.run->Snapshot();
    EXPECT_EQ(view.step, EolStep::Keys);
    EXPECT_EQ(view.missing, (std::vector<KeyId>{49}));
    EXPECT_EQ(view.pressed, (std::vector<KeyId>{48}));
    EXPECT_EQ(view.left, 10s - 400ms);
    // A token frame before its step is not this run's.
    bench.run->OnTokenTaken("12345678912345678");
    bench.Press(49, 100ms);
    view = bench.run->Snapshot();
    EXPECT_EQ(view.step, EolStep::Token);
    EXPECT_EQ(view.tokenSerial, "");

    // The serial is compared before anything is sent to the service.
    bench.run->OnTokenTaken("99999999912345678");
    ASSERT_TRUE(bench.run->Finished());
    const RunRecord record = bench.run->Record();
    EXPECT_EQ(record.outcome, RunOutcome::Fail);
    EXPECT_EQ(record.failedStep, "token");
    EXPECT_EQ(record.why, "token serial 999999999 is not the label's 123456789");
    EXPECT_EQ(record.exitStatus, kEolNotPassed);
    EXPECT_TRUE(record.serviceCalls.empty());
    EXPECT_TRUE(record.passwords.empty());  // not kept unless asked
    ASSERT_EQ(record.steps.size(), 3u);
    EXPECT_EQ(record.steps[0].outcome, StepOutcome::Pass);
    EXPECT_EQ(record.steps[1].outcome, StepOutcome::Pass);
    EXPECT_EQ(record.steps[2].outcome, StepOutcome::Fail);
    ASSERT_EQ(record.keys.size(), 2u);
    EXPECT_EQ(record.keys[1].firstPressMs, 400);
}

TEST(EndOfLineRun, KeysNotPressedInTimeFailByName) {
    Bench bench({48, 53, 54});
    ASSERT_TRUE(bench.run->TakeReceivers(Working()));
    bench.Press(48, 100ms);
    bench.now += 9s;
    bench.run->Tick();
    EXPECT_FALSE(bench.run->Finished());
    bench.now += 1s;
    bench.run->Tick();
    ASSERT_TRUE(bench.run->Finished());
    const RunRecord record = bench.run->Record();
    EXPECT_EQ(record.outcome, RunOutcome::Fail);
    EXPECT_EQ(record.failedStep, "keys");
    EXPECT_EQ(record.why, "keys 5, 6 not pressed");
    EXPECT_EQ(record.exitStatus, kEolKeysFailed);
    EXPECT_EQ(bench.run->Snapshot().missing, (std::vector<KeyId>{53, 54}));
}

TEST(EndOfLineRun, DoubleAndStuckKeysFailTheKeysStep) {
    {
        Bench bench({48});
        ASSERT_TRUE(bench.run->TakeReceivers(Working()));
        bench.run->HighlightKey(48);
        bench.now += 6s;
        bench.run->Tick();  // flagged while still held
        EXPECT_EQ(bench.run->Snapshot().flagged, (std::vector<KeyId>{48}));
        bench.run->ClearHighlight();
        ASSERT_TRUE(bench.run->Finished());
        EXPECT_EQ(bench.run->Record().why, "key 0 stuck");
    }
    {
        Bench bench({48, 49});
        ASSERT_TRUE(bench.run->TakeReceivers(Working()));
        bench.run->HighlightKey(48);
        bench.now += 100ms;
        bench.run->ClearHighlight();
        bench.now += 20ms;
        bench.Press(48, 100ms);
        bench.Press(49, 100ms);
        ASSERT_TRUE(bench.run->Finished());
        EXPECT_EQ(bench.run->Record().why, "key 0 registered twice for one press");
        EXPECT_EQ(bench.run->Record().exitStatus, kEolKeysFailed);
    }
}

TEST(EndOfLineRun, TwoSourcesHoldKeysIndependently) {
    Bench bench({48, FIRST_GAME_KEY_ID});
    ASSERT_TRUE(bench.run->TakeReceivers(Working()));
    bench.run->HighlightKey(48);  // the remote's key, held on this thread
    std::thread pad([&] {
        bench.run->HighlightKey(FIRST_GAME_KEY_ID);
        bench.run->ClearHighlight();
    });
    pad.join();
    // The pad's release did not end the remote's press.
    EXPECT_EQ(bench.run->Snapshot().missing, (std::vector<KeyId>{48}));
    EXPECT_EQ(bench.run->Snapshot().held, KeyId{48});
    bench.run->ClearHighlight();
    EXPECT_EQ(bench.run->Snapshot().step, EolStep::Token);
}

TEST(EndOfLineRun, LostReceiverUndecodedFrameAbortAndTimeLimit) {
    {
        Bench bench;
        ASSERT_TRUE(bench.run->TakeReceivers(Working()));
        bench.run->ShowIrStatus(RECEIVER_READING);
        EXPECT_FALSE(bench.run->Finished());
        bench.run->ShowGameStatus(RECEIVER_ENDED);
        const RunRecord record = bench.run->Record();
        EXPECT_EQ(record.outcome, RunOutcome::Error);
        EXPECT_EQ(record.why, "the game-pad receiver was lost");
        EXPECT_EQ(record.exitStatus, kEolAbsent);
        EXPECT_EQ(record.failedStep, "keys");
    }
    {
        Bench bench(std::vector<KeyId>{});
        ASSERT_TRUE(bench.run->TakeReceivers(Working()));
        EXPECT_EQ(bench.run->Snapshot().step, EolStep::Token);  // no keys selected
        bench.run->ShowTokenResult(TOKEN_ILLEGAL);
        const RunRecord record = bench.run->Record();
        EXPECT_EQ(record.outcome, RunOutcome::Fail);
        EXPECT_EQ(record.decodeResult, TOKEN_ILLEGAL);
        EXPECT_EQ(record.why, "token frame not decoded (result 3)");
    }
    {
        Bench bench;
        ASSERT_TRUE(bench.run->TakeReceivers(Working()));
        bench.run->Abort("stopped by signal 2");
        bench.run->Abort("again");  // the first reason stays
        const RunRecord record = bench.run->Record();
        EXPECT_EQ(record.outcome, RunOutcome::Aborted);
        EXPECT_EQ(record.why, "stopped by signal 2");
        EXPECT_EQ(record.exitStatus, kEolAborted);
        EXPECT_EQ(record.steps.back().outcome, StepOutcome::Aborted);
        EXPECT_NE(record.ended, 0);
    }
    {
        Bench bench(std::vector<KeyId>{});
        ASSERT_TRUE(bench.run->TakeReceivers(Working()));
        bench.now += 60s;
        bench.run->Tick();
        EXPECT_EQ(bench.run->Record().outcome, RunOutcome::Aborted);
        EXPECT_EQ(bench.run->Record().why, "the run's time limit passed");
    }
}

}  // namespace
