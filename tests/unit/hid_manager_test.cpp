#include "receiver/hid_manager.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <thread>
#include <vector>

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
