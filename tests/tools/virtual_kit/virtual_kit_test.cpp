// The virtual kit under the real receiver threads, read loops and decoder: what the
// remote sends must come out of the decoder as the remote meant it.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>
#include <vector>

#include "decode/key_dispatcher.h"
#include "platform/process/running.h"
#include "platform/process/worker_thread.h"
#include "receiver/receiver_monitor.h"
#include "tests/support/recording_dialog.h"
#include "tools/virtual_kit/virtual_kit.h"
#include "tools/virtual_kit/virtual_remote.h"

namespace {

using namespace std::chrono_literals;
using Calls = std::vector<DialogCall>;

// 1111111109 s is an RFC 6238 test time; one step later the SHA-1 token shows
// 14050471.
constexpr std::int64_t kTestTime = 1111111109;

bool Has(const Calls& calls, const DialogCall& call) {
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

std::size_t CountOf(const Calls& calls, const DialogCall& call) {
    return static_cast<std::size_t>(std::count(calls.begin(), calls.end(), call));
}

class VirtualKitTest : public ::testing::Test {
protected:
    void SetUp() override {
        remote.SetSentHook([this](const VirtualRemote::Sent& s) {
            if (s.delivered)
                ++delivered;
        });
        kit.PlugIr();
        kit.PlugGame();
        // Set directly: an earlier test's stop stays in force against BeginRunning.
        g_bRunning = true;
        ASSERT_TRUE(irThread.Start([this] { RunIrReceiverThread(&monitor, &dialog); }));
        ASSERT_TRUE(gameThread.Start([this] { RunGameReceiverThread(&monitor, &dialog); }));
        ASSERT_TRUE(dialog.WaitUntil([](const Calls& c) {
            return Has(c, IrStatusCall(RECEIVER_READING)) &&
                   Has(c, GameStatusCall(RECEIVER_READING));
        })) << Describe(dialog.Calls());
        dialog.Clear();
    }
    void TearDown() override {
        StopRunning();
        irThread.Join();
        gameThread.Join();
    }

    bool WaitDelivered(int n) {
        const auto end = std::chrono::steady_clock::now() + 5s;
        while (delivered.load() < n) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    VirtualKit kit;
    ReceiverMonitor monitor{kit.Hid()};
    RecordingDialog dialog;
    std::atomic<std::int64_t> clock{kTestTime};
    VirtualRemote remote{kit, DemoToken(), [this] { return clock.load(); }};
    std::atomic<int> delivered{0};
    WorkerThread irThread;
    WorkerThread gameThread;
};

TEST_F(VirtualKitTest, TokenFrameDecodesToSerialAndDriftedPassword) {
    remote.SetDriftSteps(1);
    EXPECT_EQ(remote.Password(), "14050471");
    remote.PressTokenKey();
    ASSERT_TRUE(dialog.WaitUntil([](const Calls& c) {
        return !c.empty() && c.back().kind == DialogCall::TokenTaken;
    })) << Describe(dialog.Calls());
    EXPECT_EQ(dialog.Calls(), (Calls{HighlightCall(TOKEN_KEY_ID), ResultCall(TOKEN_OK), ClearCall(),
                                     TakenCall("12345678914050471")}))
        << Describe(dialog.Calls());
    EXPECT_EQ(remote.LastSentPassword(), "14050471");

    // A second press flips the toggle bit again and decodes just as well.
    dialog.Clear();
    remote.SetDriftSteps(0);
    remote.PressTokenKey();
    ASSERT_TRUE(dialog.WaitUntil([](const Calls& c) {
        return Has(c, TakenCall("12345678907081804"));
    })) << Describe(dialog.Calls());
    EXPECT_EQ(CountOf(dialog.Calls(), ResultCall(TOKEN_OK)), 1u);
}

TEST_F(VirtualKitTest, HeldKeyStaysHighlightedUntilLetGoAndANewPressCountsAgain) {
    ASSERT_TRUE(remote.HoldKey(49));
    // Six reports span more than two of the decoder's 251 ms hold windows.
    ASSERT_TRUE(WaitDelivered(6));
    remote.Release();
    ASSERT_TRUE(dialog.WaitUntil([](const Calls& c) { return Has(c, ClearCall()); }));
    Calls calls = dialog.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.front(), HighlightCall(49));
    // One clear only, at the end: the repeats kept the key highlighted.
    EXPECT_EQ(CountOf(calls, ClearCall()), 1u) << Describe(calls);
    EXPECT_EQ(calls.back(), ClearCall());

    // The same key pressed twice in a row: the toggle bit makes them two presses.
    dialog.Clear();
    ASSERT_TRUE(remote.PressKey(50));
    ASSERT_TRUE(remote.PressKey(50));
    ASSERT_TRUE(dialog.WaitUntil([](const Calls& c) { return CountOf(c, ClearCall()) >= 2; }));
    EXPECT_EQ(dialog.Calls(),
              (Calls{HighlightCall(50), ClearCall(), HighlightCall(50), ClearCall()}))
        << Describe(dialog.Calls());
}

TEST_F(VirtualKitTest, GamePadKeyIsHighlightedWhileHeldAndClearedWhenLetGo) {
    ASSERT_TRUE(remote.HoldGameKey(4101));
    ASSERT_TRUE(WaitDelivered(4));
    remote.Release();
    ASSERT_TRUE(dialog.WaitUntil([](const Calls& c) { return Has(c, ClearCall()); }));
    // Each repeat highlights the key again; the idle report clears it.
    const Calls calls = dialog.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.back(), ClearCall());
    EXPECT_EQ(CountOf(calls, HighlightCall(4101)), calls.size() - 1) << Describe(calls);
    // Every game-pad key of the picture has a code the receiver's table knows.
    for (KeyId k = FIRST_GAME_KEY_ID; k <= LAST_GAME_KEY_ID; ++k)
        EXPECT_TRUE(GameCodeForKey(k).has_value()) << k;
}

TEST_F(VirtualKitTest, UnpluggedReceiverEndsAndIsFoundAgainWhenPluggedBackIn) {
    const int opens = kit.IrOpens();
    kit.UnplugIr();
    ASSERT_TRUE(dialog.WaitUntil([](const Calls& c) {
        return Has(c, IrStatusCall(RECEIVER_WAITING));
    })) << Describe(dialog.Calls());
    EXPECT_EQ(dialog.Calls().front(), IrStatusCall(RECEIVER_ENDED));
    // Keys pressed meanwhile go nowhere.
    EXPECT_FALSE(kit.SendIr(0x2601));

    dialog.Clear();
    kit.PlugIr();
    // The wait between searches is 45 s; only the arrival of the node ends it this soon.
    ASSERT_TRUE(dialog.WaitUntil([](const Calls& c) {
        return Has(c, IrStatusCall(RECEIVER_READING));
    })) << Describe(dialog.Calls());
    EXPECT_EQ(kit.IrOpens(), opens + 1);
    // The game-pad receiver was never disturbed.
    for (const DialogCall& c : dialog.Calls())
        EXPECT_NE(c.kind, DialogCall::GameStatus) << Describe(c);
}

TEST(TokenFrameCodesTest, CarriesLengthDigitsAndAlternatingToggleBits) {
    const auto codes = TokenFrameCodes("123456789", "87654321", true);
    ASSERT_EQ(codes.size(), 14u);
    EXPECT_EQ(codes[0], 0xFF97);
    EXPECT_EQ(codes[1], 0x7F0C);
    EXPECT_EQ(codes[2], 0xFF12);
    EXPECT_EQ(codes[5], 0x7F78);
    EXPECT_EQ(codes[6], 0xFF90);
    EXPECT_EQ(codes[10], 0xFF87);
    EXPECT_EQ(codes[13], 0x7F21);
    EXPECT_THROW(TokenFrameCodes("12345678", "87654321", false), std::invalid_argument);
    EXPECT_THROW(TokenFrameCodes("123456789", "8765432x", false), std::invalid_argument);
}

TEST(VirtualReportsTest, CarryTheValidityBitsAndTheCodeBigEndian) {
    EXPECT_EQ(IrReport(0xA605), (Bytes{0x03, 0x01, 0x22, 0xB0, 0xA6, 0x05}));
    EXPECT_EQ(GameReport(0x40400002), (Bytes{0x05, 0x40, 0x40, 0x00, 0x02}));
    EXPECT_EQ(IrCodeForKey(TOKEN_KEY_ID), kTokenKeyCode);
    EXPECT_EQ(IrCodeForKey(49), 0x2601);
    EXPECT_FALSE(IrCodeForKey(4101).has_value());
    EXPECT_FALSE(GameCodeForKey(49).has_value());
}

// Each receiver's descriptor, as a reader finds it in sysfs, decoded by our parser:
// it must describe the very bytes the receiver sends, report ID first, or a HID
// decoder reads the game pad's "button 3" as X 5, Y 64 and two other buttons.
TEST(VirtualReceiversTest, DescriptorsDescribeTheReportsTheySend) {
    VirtualKit kit;
    kit.PlugIr();
    kit.PlugGame();
    auto layoutOf = [&](int node, std::uint16_t page, std::uint16_t usage) {
        HidDeviceInfo info;
        EXPECT_EQ(kit.Hid()->OpenHidDevice(kit.Bus().NodePath(node).c_str(), false, false, false,
                                           false, true, &info),
                  HID_OPEN_OK);
        EXPECT_EQ(info.caps.usagePage, page);  // what the receiver search asks for
        EXPECT_EQ(info.caps.usage, usage);
        auto layout = ParseReportLayout(info.preparsedData);
        EXPECT_TRUE(layout.has_value());
        return layout.value_or(HidReportLayout{});
    };

    const HidReportLayout ir = layoutOf(VirtualKit::kIrNode, 0xFF00, 0);
    ASSERT_TRUE(ir.numbered);
    for (IrScanCode code : {IrScanCode{0x7F97}, IrScanCode{0xA605}}) {
        const Bytes report = IrReport(code);
        EXPECT_EQ(ir.ReportBytes(HidReportType::Input, report[0]), report.size());
    }

    const HidReportLayout pad = layoutOf(VirtualKit::kGameNode, 0x0001, 0x0005);
    ASSERT_TRUE(pad.numbered);
    const std::uint8_t id = GameReport(kGamePadIdle)[0];
    EXPECT_EQ(pad.ReportBytes(HidReportType::Input, id), GameReport(kGamePadIdle).size());
    std::uint32_t xIndex = 0, yIndex = 0;
    const HidField* x = pad.FindUsage(HidReportType::Input, id, 0x00010030, &xIndex);
    const HidField* y = pad.FindUsage(HidReportType::Input, id, 0x00010031, &yIndex);
    ASSERT_NE(x, nullptr);
    ASSERT_NE(y, nullptr);
    // The buttons pressed in a report, by button number.
    auto buttons = [&](const Bytes& report) {
        std::vector<std::uint32_t> down;
        for (std::uint32_t b = 1; b <= 32; ++b) {
            std::uint32_t index = 0;
            const HidField* f = pad.FindUsage(HidReportType::Input, id, 0x00090000 | b, &index);
            if (f != nullptr && HidFieldValue(report, pad, *f, index).value_or(0) != 0)
                down.push_back(b);
        }
        return down;
    };
    EXPECT_EQ(HidFieldValue(GameReport(kGamePadIdle), pad, *x, xIndex), 0x40u);
    EXPECT_EQ(HidFieldValue(GameReport(kGamePadIdle), pad, *y, yIndex), 0x40u);
    EXPECT_TRUE(buttons(GameReport(kGamePadIdle)).empty());
    std::vector<std::uint32_t> seen;
    for (KeyId key = FIRST_GAME_KEY_ID; key <= LAST_GAME_KEY_ID; ++key) {
        const auto code = GameCodeForKey(key);
        ASSERT_TRUE(code.has_value()) << key;
        const Bytes report = GameReport(*code);
        for (const auto& [field, index] : {std::pair{x, xIndex}, std::pair{y, yIndex}}) {
            const auto value = HidFieldValue(report, pad, *field, index);
            ASSERT_TRUE(value.has_value());
            EXPECT_GE(std::int64_t{*value}, field->logicalMinimum) << key;
            EXPECT_LE(std::int64_t{*value}, field->logicalMaximum) << key;
        }
        const auto down = buttons(report);
        if (key < FIRST_GAME_KEY_ID + 4) {  // the stick's directions
            EXPECT_TRUE(down.empty()) << key;
            continue;
        }
        // A button key: the stick centred and exactly one button, each its own.
        EXPECT_EQ(HidFieldValue(report, pad, *x, xIndex), 0x40u) << key;
        EXPECT_EQ(HidFieldValue(report, pad, *y, yIndex), 0x40u) << key;
        ASSERT_EQ(down.size(), 1u) << key;
        EXPECT_EQ(std::count(seen.begin(), seen.end(), down[0]), 0) << key;
        seen.push_back(down[0]);
    }
    // "game pad button 3", as the decoder saw it: 05 40 40 10 00.
    EXPECT_EQ(buttons({0x05, 0x40, 0x40, 0x10, 0x00}), std::vector<std::uint32_t>{5});
}

}  // namespace

// Served, the receivers open through the layer's plain open path, as they do for
// another process pointed at the kit's tree: one report per read, and an unplug ends
// the open.
TEST(ServedKit, ReceiversOpenReadAndUnplugThroughThePlainLayer) {
    VirtualKit kit(KitNodes::Served);
    kit.PlugIr();
    HidSystem layer(kit.Bus().SysRoot(), kit.Bus().DevRoot());
    const std::string path = kit.Bus().NodePath(VirtualKit::kIrNode);
    HidDeviceInfo info;
    ASSERT_EQ(layer.OpenHidDevice(path.c_str(), true, true, true, true, true, &info), HID_OPEN_OK)
        << std::strerror(errno);
    EXPECT_EQ(info.caps.usagePage, 0xFF00);
    ASSERT_TRUE(kit.WaitForIrOpens(1, 5s));

    ASSERT_TRUE(kit.SendIr(0x7F97));
    ASSERT_TRUE(kit.SendIr(0x0A11));
    std::uint8_t buffer[64];
    for (int low : {0x97, 0x11}) {
        const HidReadResult r = ReadHidReport(info.handle.Get(), -1, buffer, 1000);
        ASSERT_EQ(r.status, HidReadStatus::Report);
        ASSERT_EQ(r.size, 6u);
        EXPECT_EQ(buffer[5], low);
    }
    kit.UnplugIr();
    EXPECT_EQ(ReadHidReport(info.handle.Get(), -1, buffer, 1000).status, HidReadStatus::Failed);
    EXPECT_FALSE(std::filesystem::exists(path));

    if (geteuid() != 0) {  // root opens whatever the mode says
        kit.Bus().PlugReceiver(5, kIrReceiverDescriptor, /*denied=*/true);
        HidDeviceInfo denied;
        const std::string deniedPath = kit.Bus().NodePath(5);
        EXPECT_EQ(layer.OpenHidDevice(deniedPath.c_str(), true, true, true, true, false, &denied),
                  HID_OPEN_FAILED);
        EXPECT_EQ(errno, EACCES);
    }
}
