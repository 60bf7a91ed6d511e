// The fixed-serial file SN.ini: read, refused, written.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/fixed_serial.h"
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

}  // namespace
