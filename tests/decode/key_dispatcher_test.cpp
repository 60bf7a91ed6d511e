#include "decode/key_dispatcher.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/process/running.h"
#include "tests/support/recording_dialog.h"

namespace {

using namespace std::chrono_literals;
using Calls = std::vector<DialogCall>;

constexpr IrScanCode kToggle = 0x8000;

// How late a time-out may end: loose enough for sanitizer builds on a busy machine,
// tight enough to tell 251 ms from the idle take's 1000 ms.
constexpr auto kLate = 250ms;

std::uint8_t Nibble(char c) {
    return static_cast<std::uint8_t>(c - '0');
}

// The 14 codes of one token press: the token key, then 13 token codes whose toggle
// bits alternate. `unused` fills codes 6 to 8.
std::vector<IrScanCode> TokenFrame(std::string_view serial, std::string_view password,
                                   bool toggle = false, std::array<std::uint8_t, 3> unused = {}) {
    std::array<std::uint8_t, 13> data{};
    data[0] = 12;
    for (std::size_t i = 0; i < 4; ++i)
        data[1 + i] =
            static_cast<std::uint8_t>(Nibble(serial[2 * i]) << 4 | Nibble(serial[2 * i + 1]));
    data[5] = static_cast<std::uint8_t>(Nibble(serial[8]) << 4);
    for (std::size_t i = 0; i < 3; ++i)
        data[6 + i] = unused[i];
    for (std::size_t i = 0; i < 4; ++i)
        data[9 + i] =
            static_cast<std::uint8_t>(Nibble(password[2 * i]) << 4 | Nibble(password[2 * i + 1]));

    std::vector<IrScanCode> codes;
    codes.push_back(static_cast<IrScanCode>(0x7F97 | (toggle ? kToggle : 0)));
    for (auto d : data) {
        toggle = !toggle;
        codes.push_back(static_cast<IrScanCode>(0x7F00 | d | (toggle ? kToggle : 0)));
    }
    return codes;
}

Calls Expect(std::initializer_list<DialogCall> calls) {
    return Calls(calls);
}

class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_bRunning = true;
        monitor.m_pDialog = &dialog;
        dispatcher.m_pMonitor = &monitor;
    }
    void TearDown() override { Stop(); }

    void StartIr() {
        threads.emplace_back([this] { dispatcher.DispatchIrKeys(); });
    }
    void StartGame() {
        threads.emplace_back([this] { dispatcher.DispatchGameKeys(); });
    }
    void Stop() {
        StopRunning();
        for (auto& t : threads)
            t.join();
        threads.clear();
    }
    void PushIr(const std::vector<IrScanCode>& codes) {
        for (auto c : codes)
            queue.PushIrKey(c);
    }
    // Waits for `n` calls, then a little past the held-key time-out to catch extras.
    Calls WaitCalls(std::size_t n) {
        EXPECT_TRUE(dialog.WaitForCount(n)) << Describe(dialog.Calls());
        dialog.WaitForCount(n + 1, 400ms);
        return dialog.Calls();
    }

    HidManager manager;
    KeyQueue queue;
    KeyDispatcher dispatcher{&queue, &manager};
    ReceiverMonitor monitor;
    RecordingDialog dialog;
    std::vector<std::thread> threads;
};

TEST_F(DispatcherTest, WholeFrameGivesSerialAndPassword) {
    StartIr();
    PushIr(TokenFrame("123456789", "87654321"));
    EXPECT_EQ(WaitCalls(4), Expect({HighlightCall(244), ResultCall(0), ClearCall(),
                                    TakenCall("12345678987654321")}))
        << Describe(dialog.Calls());
}

TEST_F(DispatcherTest, FrameDataRules) {
    StartIr();
    // Codes 6-8 carry data that never shows; nibbles above 9 pass as ':'..'?';
    // code 5 keeps only its high nibble. Toggle starts set this time.
    auto frame = TokenFrame("000000009", "00000000", true, {0x12, 0x34, 0x56});
    frame[2] = static_cast<IrScanCode>((frame[2] & 0xFF00) | 0xA1);    // code 1
    frame[6] = static_cast<IrScanCode>((frame[6] & 0xFF00) | 0x9F);    // code 5
    frame[13] = static_cast<IrScanCode>((frame[13] & 0xFF00) | 0xFC);  // code 12
    PushIr(frame);
    Calls calls = WaitCalls(4);
    ASSERT_EQ(calls.size(), 4u) << Describe(calls);
    EXPECT_EQ(calls[3], TakenCall(":10000009000000?<"));
}

TEST_F(DispatcherTest, TokenKeyAloneTimesOut) {
    StartIr();
    PushIr({0x7F97});
    Calls calls = WaitCalls(3);
    EXPECT_EQ(calls, Expect({HighlightCall(244), ClearCall(), ResultCall(1)})) << Describe(calls);
    // The frame's 251 ms per code, not the idle take's 1000 ms.
    EXPECT_GE(calls[1].at - calls[0].at, 251ms);
    EXPECT_LT(calls[1].at - calls[0].at, 251ms + kLate);
}

TEST_F(DispatcherTest, FailedFramesLeaveTheEndingCodePending) {
    struct Case {
        std::vector<IrScanCode> codes;
        Calls expected;
    };
    const Case cases[] = {
        // An ordinary key interrupts, then is followed as a held key.
        {{0x7F97, 0x2601},
         {HighlightCall(244), ClearCall(), ResultCall(2), HighlightCall(49), ClearCall()}},
        // Same toggle as the token key: illegal; the pending token code is then ignored.
        {{0x7F97, 0x7F0C}, {HighlightCall(244), ClearCall(), ResultCall(3)}},
        // Wrong length code.
        {{0x7F97, 0xFF0B}, {HighlightCall(244), ClearCall(), ResultCall(4)}},
        // A held token key: each repeat ends the frame before it and starts a new one.
        {{0x7F97, 0x7F97, 0x7F97},
         {HighlightCall(244), ClearCall(), ResultCall(3), HighlightCall(244), ClearCall(),
          ResultCall(3), HighlightCall(244), ClearCall(), ResultCall(1)}},
        // The wrong toggle late in the frame.
        {{0x7F97, 0xFF0C, 0x7F12, 0x7F34}, {HighlightCall(244), ClearCall(), ResultCall(3)}},
    };
    StartIr();
    for (const auto& c : cases) {
        dialog.Clear();
        PushIr(c.codes);
        Calls calls = WaitCalls(c.expected.size());
        EXPECT_EQ(calls, c.expected) << Describe(calls);
    }
}

TEST_F(DispatcherTest, FailedFrameThenTokenKeyStartsANewFrame) {
    StartIr();
    PushIr({0x7F97, 0x2601});  // interrupted by digit 1
    PushIr(TokenFrame("111111111", "22222222"));
    Calls calls = WaitCalls(9);
    EXPECT_EQ(calls, Expect({HighlightCall(244), ClearCall(), ResultCall(2), HighlightCall(49),
                             ClearCall(), HighlightCall(244), ResultCall(0), ClearCall(),
                             TakenCall("11111111122222222")}))
        << Describe(calls);
}

TEST_F(DispatcherTest, HeldAndRepressedIrKeys) {
    StartIr();
    // A stray token code outside a frame is ignored: the first call is the digit.
    PushIr({0x7F30, 0x2605, 0x2605, 0x2605});
    Calls calls = WaitCalls(4);
    EXPECT_EQ(calls, Expect({HighlightCall(53), HighlightCall(53), HighlightCall(53), ClearCall()}))
        << Describe(calls);

    // The toggle bit flips between presses: two presses, not one held key. Unknown
    // codes (key id 0) are followed like any other key.
    dialog.Clear();
    PushIr({0x2605, 0xA605, 0x2612});
    calls = WaitCalls(6);
    EXPECT_EQ(calls, Expect({HighlightCall(53), ClearCall(), HighlightCall(53), ClearCall(),
                             HighlightCall(0), ClearCall()}))
        << Describe(calls);
}

TEST_F(DispatcherTest, HeldGameKeyAndUnknownGameCodes) {
    StartGame();
    queue.PushGameKey(0x40400003);  // no entry: ignored
    queue.PushGameKey(0x40400000);  // the rest pattern: ignored
    for (int i = 0; i < 3; ++i)
        queue.PushGameKey(0x40400002);
    queue.PushGameKey(0x40400001);
    Calls calls = WaitCalls(6);
    EXPECT_EQ(calls, Expect({HighlightCall(4101), HighlightCall(4101), HighlightCall(4101),
                             ClearCall(), HighlightCall(4102), ClearCall()}))
        << Describe(calls);
    EXPECT_GE(calls[5].at - calls[4].at, 251ms);
    EXPECT_LT(calls[5].at - calls[4].at, 251ms + kLate);
}

TEST_F(DispatcherTest, KeyHeldByRepeatsStaysHighlighted) {
    StartGame();
    // Repeats every 100 ms keep the key highlighted; the highlight goes ~251 ms
    // after the last one.
    for (int i = 0; i < 5; ++i) {
        queue.PushGameKey(0x40400002);
        ASSERT_TRUE(dialog.WaitForCount(static_cast<std::size_t>(i + 1)));
        std::this_thread::sleep_for(100ms);  // the repeat interval is the behaviour under test
    }
    Calls calls = WaitCalls(6);
    ASSERT_EQ(calls.size(), 6u) << Describe(calls);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(calls[static_cast<std::size_t>(i)], HighlightCall(4101));
    EXPECT_EQ(calls[5], ClearCall());
}

TEST_F(DispatcherTest, StopEndsEveryLoopPromptly) {
    StartIr();
    StartGame();
    PushIr({0x2601});  // one loop follows a held key, the other idles
    ASSERT_TRUE(dialog.WaitForCount(1));
    auto start = std::chrono::steady_clock::now();
    Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 600ms);
}

TEST(DispatcherThreads, EntriesRunTheSingleDispatcher) {
    RecordingDialog dialog;
    ReceiverMonitor monitor;
    monitor.m_pDialog = &dialog;
    g_bRunning = true;
    std::thread ir(DispatcherThread, &monitor);
    std::thread game(DispatcherThreadForGameController, &monitor);
    for (auto c : TokenFrame("987654321", "13572468"))
        GetKeyQueue()->PushIrKey(c);
    GetKeyQueue()->PushGameKey(0x40408000);
    EXPECT_TRUE(dialog.WaitUntil([](const Calls& calls) {
        bool sawToken = false, sawGame = false;
        for (const auto& c : calls) {
            sawToken |= c == TakenCall("98765432113572468");
            sawGame |= c == HighlightCall(4108);
        }
        return sawToken && sawGame;
    })) << Describe(dialog.Calls());
    StopRunning();
    ir.join();
    game.join();
    EXPECT_EQ(GetKeyDispatcher()->m_pMonitor.load(), &monitor);
}

}  // namespace
