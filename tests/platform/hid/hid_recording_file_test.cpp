// A recording read from its file in two passes.

#include "platform/hid/hid_recording_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/hid/hid_recording.h"
#include "platform/process/temp_tree.h"
#include "tests/platform/hid/replay_fixtures.h"

namespace {

using namespace std::chrono_literals;
using namespace replay_fixtures;

// A recording read from its file in two passes reads as the whole text does: lines
// that straddle the reads, "\r\n", a device described after the first reports, a last
// line without "\n"; and what is no file to replay is refused before it is read.
TEST(HidRecordingFile, TwoPassesReadWhatTheParserReads) {
    HidRecording r = TwoDevices();
    r.events.clear();
    for (std::uint64_t i = 0; i < 6000; ++i)
        r.events.push_back(
            {i % 7 == 0 ? 1u : 0u, i * 1000, std::vector<std::uint8_t>(1 + i % 9, 0xa5)});
    std::string text = FormatHidRecording(r);
    // Device 1 described only after device 0's first reports.
    const std::string second = FormatRecordedDevice(r.devices[1], 1);
    text.erase(text.find(second), second.size());
    const std::size_t firstOfOne = text.find("D: 1\nE:");
    text.insert(firstOfOne, second);
    for (std::size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2)
        text.insert(at, "\r");
    text.pop_back();  // the last "\n"
    RecordingError error;
    const auto whole = ParseHidRecording(text, &error);
    ASSERT_TRUE(whole) << error.Describe();
    ASSERT_GT(text.size(), 3u * 65536);

    const std::string dir = MakeTempTree("recording-file-");
    const std::string path = dir + "/field.hidrec";
    std::ofstream(path, std::ios::binary) << text;
    HidRecordingFile file;
    std::string why;
    ASSERT_TRUE(file.Open(path, &why)) << why;
    EXPECT_EQ(file.Devices(), whole->devices);
    EXPECT_EQ(file.Events(), whole->events.size());
    std::vector<RecordedEvent> read;
    RecordedEvent event;
    while (file.Next(&event, &why))
        read.push_back(event);
    EXPECT_EQ(why, "");
    EXPECT_EQ(read, whole->events);

    // A fault found by the first pass, named with the file and the line.
    std::ofstream(path, std::ios::binary) << text.substr(0, text.size() - 4);
    EXPECT_FALSE(file.Open(path, &why));
    const std::size_t lines =
        static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    EXPECT_EQ(why.rfind(path + ": line " + std::to_string(lines) + ": E: ", 0), 0u) << why;
    EXPECT_NE(why.find("cut short"), std::string::npos) << why;

    // Refused at once, by what they are.
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    { std::ofstream(dir + "/sparse") << ""; }
    ASSERT_EQ(truncate((dir + "/sparse").c_str(), (off_t{257} << 20)), 0);
    const std::pair<std::string, std::string> refused[] = {
        {dir + "/fifo", ": a FIFO, not a regular file"},
        {"/dev/zero", ": a character device, not a regular file"},
        {dir, ": a directory, not a regular file"},
        {dir + "/sparse", ": 257 MiB, larger than the 256 MiB a recording may have"},
        {dir + "/none", ": No such file or directory"}};
    for (const auto& [refusedPath, says] : refused) {
        HidRecordingFile other;
        EXPECT_FALSE(other.Open(refusedPath, &why));
        EXPECT_EQ(why.rfind(refusedPath + says, 0), 0u) << why;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
