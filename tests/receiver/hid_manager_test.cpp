// The scan-code tables, and the search that decides which node is which receiver.
#include "receiver/hid_manager.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/process/trace.h"
#include "tests/support/fake_hid_bus.h"

namespace {

TEST(ScanCodeTables, IrLookupIgnoresToggleBit) {
    HidManager m;
    EXPECT_EQ(m.IrTableSize(), 38u);
    const std::pair<IrScanCode, KeyId> cases[] = {
        {0x7F97, 244}, {0xFF97, 244}, {0x2634, 8},  {0x269E, 8},   {0xA69E, 8},
        {0x2601, 49},  {0xA601, 49},  {0x2600, 48}, {0x2678, 235}, {0x2633, 243},
        {0x7F30, 0},   {0x2612, 0},   {0x0000, 0},  {0x8000, 0},   {0xFFFF, 0},
    };
    for (auto [code, key] : cases)
        EXPECT_EQ(m.LookupIrKey(code), key) << std::hex << code;
}

TEST(ScanCodeTables, GameLookupIsExact) {
    HidManager m;
    EXPECT_EQ(m.GameTableSize(), 12u);
    const std::pair<GameScanCode, KeyId> cases[] = {
        {0x40000000, 4097}, {0x407F0000, 4098}, {0x00400000, 4099}, {0x7F400000, 4100},
        {0x40400002, 4101}, {0x40400001, 4102}, {0x40401000, 4103}, {0x40400100, 4104},
        {0x40400800, 4105}, {0x40400200, 4106}, {0x40404000, 4107}, {0x40408000, 4108},
        {0x40400000, 0},    {0x40400003, 0},    {0xC0400002, 0},    {0x00000000, 0},
    };
    for (auto [code, key] : cases)
        EXPECT_EQ(m.LookupGameKey(code), key) << std::hex << code;
}

TEST(ScanCodeTables, ReportValidityTestsBitsNotEquality) {
    using R6 = std::array<std::uint8_t, 6>;
    EXPECT_TRUE(HidManager::IsValidIrReport(R6{0x03, 0x01, 0x22, 0xB0, 0x26, 0x01}));
    EXPECT_TRUE(HidManager::IsValidIrReport(R6{0x07, 0xFF, 0xFF, 0xF0, 0x00, 0x00}));
    EXPECT_FALSE(HidManager::IsValidIrReport(R6{0x03, 0x01, 0x22, 0xA0, 0x26, 0x01}));
    EXPECT_FALSE(HidManager::IsValidIrReport(R6{0x02, 0x01, 0x22, 0xB0, 0x26, 0x01}));
    EXPECT_FALSE(HidManager::IsValidIrReport(R6{0x03, 0x00, 0x22, 0xB0, 0x26, 0x01}));
    EXPECT_FALSE(HidManager::IsValidIrReport(R6{0x03, 0x01, 0x20, 0xB0, 0x26, 0x01}));
    const std::uint8_t shortIr[] = {0x03, 0x01, 0x22, 0xB0, 0x26};
    EXPECT_FALSE(HidManager::IsValidIrReport(shortIr));

    using R5 = std::array<std::uint8_t, 5>;
    EXPECT_TRUE(HidManager::IsValidGameReport(R5{0x05, 0x40, 0x40, 0x00, 0x01}));
    EXPECT_TRUE(HidManager::IsValidGameReport(R5{0x0D, 0x40, 0x40, 0x00, 0x01}));
    EXPECT_FALSE(HidManager::IsValidGameReport(R5{0x04, 0x40, 0x40, 0x00, 0x01}));
    EXPECT_FALSE(HidManager::IsValidGameReport(R5{0x01, 0x40, 0x40, 0x00, 0x01}));
}

TEST(ScanCodeTables, TokenCodeIgnoresToggleBit) {
    EXPECT_TRUE(HidManager::IsTokenCode(0x7F97));
    EXPECT_TRUE(HidManager::IsTokenCode(0xFF0C));
    EXPECT_TRUE(HidManager::IsTokenCode(0x7F00));
    EXPECT_FALSE(HidManager::IsTokenCode(0x7E97));
    EXPECT_FALSE(HidManager::IsTokenCode(0x2601));
}

TEST(Singletons, CreatedOnceUnderRace) {
    std::vector<std::thread> threads;
    std::vector<const void*> seen(8);
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&, i] { seen[i] = GetHidManager(); });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(std::set<const void*>(seen.begin(), seen.end()).size(), 1u);
    EXPECT_EQ(seen[0], GetHidManager());
}

}  // namespace

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

const char kNotFound[] = "[KEYWARDEN] Device not found Error 259.";

std::string Found(const std::string& path) {
    return "[KEYWARDEN] Device found: " + path + ".";
}

class SearchTest : public ::testing::Test {
protected:
    FakeHidBus bus;
    HidManager manager;
    TraceCapture trace;
    char path[kHidPathSize] = {};
};

TEST_F(SearchTest, EachReceiverFoundWhateverTheOrder) {
    struct Layout {
        int ir, game, keyboard;
    } layouts[] = {{0, 1, 2}, {2, 1, 0}, {5, 3, 4}};
    for (const Layout& l : layouts) {
        FakeHidBus tree;
        tree.AddDevice(l.ir, OrvaneUevent(), kIrReceiverDescriptor);
        tree.AddDevice(l.game, OrvaneUevent(), kGamePadDescriptor);
        tree.AddDevice(l.keyboard, Uevent(0x046D, 0xC31C), kKeyboardDescriptor);
        trace.Clear();

        ASSERT_TRUE(manager.FindIrReceiver(tree, path));
        EXPECT_EQ(std::string(path), tree.NodePath(l.ir));
        ASSERT_TRUE(manager.FindGameReceiver(tree, path));
        EXPECT_EQ(std::string(path), tree.NodePath(l.game));
        EXPECT_EQ(trace.Lines(), (Lines{Found(tree.NodePath(l.ir)), Found(tree.NodePath(l.game))}));
    }
}

TEST_F(SearchTest, OtherUsagesAndIdsAreNotTaken) {
    bus.AddDevice(0, OrvaneUevent(), kVendorUsage1Descriptor);
    bus.AddDevice(1, Uevent(0x0471, 0x0607), kIrReceiverDescriptor);
    bus.AddDevice(2, Uevent(0x0472, 0x0606), kGamePadDescriptor);
    bus.AddDevice(3, OrvaneUevent(), kKeyboardDescriptor);
    EXPECT_FALSE(manager.FindIrReceiver(bus, path));
    EXPECT_FALSE(manager.FindGameReceiver(bus, path));
    EXPECT_EQ(trace.Lines(), (Lines{kNotFound, kNotFound}));
}

TEST_F(SearchTest, UnreadableOrMalformedInterfacesAreSkippedQuietly) {
    const std::string uevent = OrvaneUevent();
    const Bytes truncated(kIrReceiverDescriptor.begin(), kIrReceiverDescriptor.end() - 2);
    bus.AddInterface(0, &uevent, nullptr);
    bus.AddInterface(1, &uevent, &truncated);
    bus.AddInterface(2, nullptr, &kIrReceiverDescriptor);
    std::filesystem::create_directories(bus.SysRoot() + "/class/hidraw/hidraw3");  // no device
    bus.AddDevice(4, OrvaneUevent(), kIrReceiverDescriptor);

    ASSERT_TRUE(manager.FindIrReceiver(bus, path));
    EXPECT_EQ(std::string(path), bus.NodePath(4));
    EXPECT_EQ(trace.Lines(), Lines{Found(bus.NodePath(4))});
}

TEST_F(SearchTest, NoDeviceOrNoList) {
    EXPECT_FALSE(manager.FindIrReceiver(bus, path));
    std::filesystem::remove_all(bus.SysRoot() + "/class");
    EXPECT_FALSE(manager.FindGameReceiver(bus, path));
    // A list that cannot be read at all.
    std::filesystem::create_directories(bus.SysRoot() + "/class");
    std::ofstream(bus.SysRoot() + "/class/hidraw") << "x";
    EXPECT_FALSE(manager.FindIrReceiver(bus, path));
    EXPECT_EQ(trace.Lines(),
              (Lines{kNotFound, kNotFound, "[KEYWARDEN] Panic: Can not open HID device node."}));
}

// A dev root that makes "<dev root>/hidraw0" exactly `length` characters long.
std::string DevDirForPathLength(std::size_t length) {
    // Every bus of this process has a temporary root of the same length.
    const std::size_t root = FakeHidBus().TempRoot().size();
    std::size_t dirLength = length - root - 1 - std::strlen("/hidraw0");
    // Components of at most 200 characters, joined by '/'.
    std::string dir;
    while (dirLength > 201) {
        dir += std::string(200, 'd') + "/";
        dirLength -= 201;
    }
    dir += std::string(dirLength, 'd');
    return dir;
}

TEST_F(SearchTest, PathsMustFitTheBuffer) {
    {
        FakeHidBus fits(DevDirForPathLength(kHidPathSize - 1));
        fits.AddDevice(0, OrvaneUevent(), kIrReceiverDescriptor);
        ASSERT_EQ(fits.NodePath(0).size(), kHidPathSize - 1);
        ASSERT_TRUE(manager.FindIrReceiver(fits, path));
        EXPECT_EQ(std::string(path), fits.NodePath(0));
    }
    {
        FakeHidBus tooLong(DevDirForPathLength(kHidPathSize));
        tooLong.AddDevice(0, OrvaneUevent(), kIrReceiverDescriptor);
        ASSERT_EQ(tooLong.NodePath(0).size(), kHidPathSize);
        std::memset(path, 'x', sizeof path);
        EXPECT_FALSE(manager.FindIrReceiver(tooLong, path));
        EXPECT_EQ(path[0], 'x');
        EXPECT_EQ(trace.Lines().back(), kNotFound);
    }
}

}  // namespace
