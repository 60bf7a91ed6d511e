// The fixed-serial file, the token frame hand-over, and the verification verdicts.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/fixed_serial.h"
#include "service/status.h"
#include "service/token_frame_box.h"
#include "service/token_verification.h"
#include "tests/app/temp_dir.h"

namespace {

std::string FileBytes() {
    return ReadWholeFile("SN.ini");
}

void WriteFile(std::string_view bytes) {
    std::ofstream out(kFixedSerialFile, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class FixedSerialTest : public ::testing::Test {
protected:
    ScopedTempCwd m_cwd;
};

TEST_F(FixedSerialTest, ReadsTheFirstNineBytes) {
    char buffer[10] = {};
    EXPECT_FALSE(ReadFixedSerial(buffer)) << "no file";

    WriteFile("12345678");
    EXPECT_FALSE(ReadFixedSerial(buffer)) << "8 bytes count as absent";
    EXPECT_EQ(buffer[0], '\0') << "buffer untouched on failure";

    WriteFile("123456789");
    ASSERT_TRUE(ReadFixedSerial(buffer));
    EXPECT_STREQ(buffer, "123456789");

    WriteFile("987654321abc");
    ASSERT_TRUE(ReadFixedSerial(buffer));
    EXPECT_STREQ(buffer, "987654321");

    WriteFile(
        std::string_view("1234\0"
                         "6789",
                         9));
    ASSERT_TRUE(ReadFixedSerial(buffer));
    EXPECT_STREQ(buffer, "1234") << "a NUL shortens the serial";
}

TEST_F(FixedSerialTest, AnythingButAReadableRegularFileIsAbsent) {
    char buffer[10] = {};
    std::filesystem::create_directory(kFixedSerialFile);
    EXPECT_FALSE(ReadFixedSerial(buffer));
    EXPECT_FALSE(WriteFixedSerial("123456789").opened);
    std::filesystem::remove(kFixedSerialFile);

    // A FIFO would block a plain open() until a writer came.
    ASSERT_EQ(::mkfifo(kFixedSerialFile, 0600), 0);
    EXPECT_FALSE(ReadFixedSerial(buffer));
    EXPECT_FALSE(WriteFixedSerial("123456789").opened);
    std::filesystem::remove(kFixedSerialFile);

    // A link to nothing, to a device that never ends, and a file far larger than a
    // serial: unreadable, so absent.
    std::filesystem::create_symlink("gone", kFixedSerialFile);
    EXPECT_FALSE(ReadFixedSerial(buffer));
    std::filesystem::remove(kFixedSerialFile);
    std::filesystem::create_symlink("/dev/zero", kFixedSerialFile);
    EXPECT_FALSE(ReadFixedSerial(buffer));
    std::filesystem::remove(kFixedSerialFile);
    WriteFile("123456789" + std::string(kMaxFixedSerialFile, '\n'));
    EXPECT_FALSE(ReadFixedSerial(buffer));
    WriteFile("123456789" + std::string(kMaxFixedSerialFile - 9, '\n'));
    EXPECT_TRUE(ReadFixedSerial(buffer)) << "at the limit";
    std::filesystem::remove(kFixedSerialFile);
    EXPECT_EQ(buffer[9], '\0');

    if (::geteuid() != 0) {  // root reads anything
        WriteFile("123456789");
        std::filesystem::permissions(kFixedSerialFile, std::filesystem::perms::none);
        EXPECT_FALSE(ReadFixedSerial(buffer));
    }
}

TEST_F(FixedSerialTest, WriteCreatesOrOverwritesWithoutTruncating) {
    FixedSerialWrite w = WriteFixedSerial("123456789");
    EXPECT_TRUE(w.opened);
    EXPECT_TRUE(w.written);
    EXPECT_EQ(FileBytes(), "123456789");

    WriteFile("000000000tail");
    EXPECT_TRUE(WriteFixedSerial("111111111").written);
    EXPECT_EQ(FileBytes(), "111111111tail");

    WriteFile("0000");
    EXPECT_TRUE(WriteFixedSerial("222222222").written);
    EXPECT_EQ(FileBytes(), "222222222");

    EXPECT_FALSE(WriteFixedSerial("12345678").opened) << "only 9 bytes are ever written";
    EXPECT_EQ(FileBytes(), "222222222");
}

TEST(TokenFrameBoxTest, PairsTravelTogetherAndWaitersWake) {
    TokenFrameBox box;
    EXPECT_EQ(box.Sequence(), 0u);
    EXPECT_FALSE(box.Take().has_value());

    // A put wakes a waiter at once, not when its wait runs out.
    std::optional<TokenFrame> seen;
    std::chrono::steady_clock::time_point wokeAt;
    std::thread waiter([&] {
        seen = box.WaitNewer(0, std::chrono::seconds(10));
        wokeAt = std::chrono::steady_clock::now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the waiter is waiting
    const auto put = std::chrono::steady_clock::now();
    box.Put("123456789", "87654321");
    waiter.join();
    EXPECT_LT(wokeAt - put, std::chrono::milliseconds(250));
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->serial, "123456789");
    EXPECT_EQ(seen->password, "87654321");
    EXPECT_EQ(seen->seq, 1u);

    std::optional<TokenFrame> taken = box.Take();
    ASSERT_TRUE(taken.has_value());
    EXPECT_EQ(taken->serial, "123456789");
    EXPECT_FALSE(box.Take().has_value()) << "taking empties the box";
    EXPECT_EQ(box.Peek().seq, 1u);

    box.Put("111111111", "22222222");
    box.Clear();
    EXPECT_EQ(box.Peek().serial, "");
    EXPECT_EQ(box.Peek().password, "");

    EXPECT_FALSE(box.WaitNewer(box.Sequence(), std::chrono::milliseconds(1)).has_value());

    std::atomic<bool> woke{false};
    std::thread sleeper(
        [&] { woke = !box.WaitNewer(box.Sequence(), std::chrono::hours(1)).has_value(); });
    // WakeAll only ends waits already in progress; repeat until the sleeper is in one.
    while (!woke) {
        box.WakeAll();
        std::this_thread::yield();
        if (woke)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sleeper.join();
}

TEST(TokenFrameBoxTest, ReadersNeverSeeHalfAFrame) {
    TokenFrameBox box;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            const char d = static_cast<char>('0' + i % 10);
            box.Put(std::string(9, d), std::string(8, d));
        }
        done = true;
    });
    std::size_t mismatches = 0;
    while (!done) {
        TokenFrame f = box.Peek();
        if (!f.serial.empty() && f.serial[0] != f.password[0])
            ++mismatches;
        if (auto t = box.Take(); t && t->serial[0] != t->password[0])
            ++mismatches;
    }
    writer.join();
    EXPECT_EQ(mismatches, 0u);
}

TEST(VerifyResultTest, StatusAndResultGiveTheFiveTexts) {
    EXPECT_STREQ(VerifyText(ClassifyVerifyResult(S_OK, 0)), "令匙验证通过");
    EXPECT_STREQ(VerifyText(ClassifyVerifyResult(S_OK, 21030)), "令匙已经被绑定，拒绝验证");
    EXPECT_STREQ(VerifyText(ClassifyVerifyResult(S_OK, 1)), "令匙验证不通过，请尝试令匙校准");
    EXPECT_STREQ(VerifyText(ClassifyVerifyResult(S_OK, -1)), "令匙验证不通过，请尝试令匙校准");
    // A failed call is a network problem whatever result it left behind.
    EXPECT_STREQ(VerifyText(ClassifyVerifyResult(E_FAIL, 0)),
                 "网络不通或服务器有问题，令匙验证不成功");
    EXPECT_STREQ(VerifyText(ClassifyVerifyResult(1, 0)), "网络不通或服务器有问题，令匙验证不成功");
    EXPECT_STREQ(VerifyText(VerifyOutcome::Exception), "网络通信异常");
}

}  // namespace
