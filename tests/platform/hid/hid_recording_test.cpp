// The hid-recorder text format: parse, write, faults with their lines.

#include "platform/hid/hid_recording.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/platform/hid/replay_fixtures.h"

namespace {

using namespace std::chrono_literals;
using namespace replay_fixtures;

TEST(HidRecordingFormat, WritesWhatHidToolsReadsAndReadsItBack) {
    const HidRecording r = TwoDevices();
    const std::string text = FormatHidRecording(r);
    // The lines as hid-tools writes them: D: before each device and wherever the
    // events change device, hex in lower case, six digits of microseconds.
    EXPECT_NE(text.find("D: 0\nR: 8 06 00 ff 09 00 a1 01 c0\nN: Orvane IR receiver\n"
                        "P: usb-0000:00:14.0-1/input0\nI: 3 0471 0606\nD: 1\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("D: 1\nE: 000001.500000 5 05 40 40 00 02\nD: 0\n"
                        "E: 000061.000001 6 03 01 22 b0 ff 97\n"),
              std::string::npos)
        << text;

    RecordingError error;
    const auto parsed = ParseHidRecording(text, &error);
    ASSERT_TRUE(parsed) << error.Describe();
    EXPECT_EQ(parsed->devices, r.devices);
    EXPECT_EQ(parsed->events, r.events);

    // One device needs no D: lines; Windows line ends and comments anywhere are fine.
    const std::string single =
        "# Logitech USB Receiver\r\n"
        "# 0x05, 0x01, // Usage Page (Generic Desktop)\r\n"
        "R: 7 05 01 09 02 A1 01 C0\r\n"
        "N: Logitech USB Receiver\r\n"
        "P: usb-0000:00:14.0-4/input1\r\n"
        "I: 3 046d c52b\r\n"
        "# ReportID: 2 / Buttons: 0\r\n"
        "E: 000000.000000 4 02 00 00 00\r\n"
        "E: 000000.008001 4 02 01 00 00";  // no newline at the end of the file
    const auto one = ParseHidRecording(single, &error);
    ASSERT_TRUE(one) << error.Describe();
    ASSERT_EQ(one->devices.size(), 1u);
    EXPECT_EQ(one->devices[0].vendor, 0x046d);
    EXPECT_EQ(one->devices[0].product, 0xc52b);
    EXPECT_EQ(one->devices[0].descriptor.back(), 0xc0);
    ASSERT_EQ(one->events.size(), 2u);
    EXPECT_EQ(one->events[1].usec, 8001u);
    EXPECT_EQ(FormatHidRecording(*one).find("D:"), std::string::npos);

    // A device's name with a line break in it still gives one N: line.
    RecordedDevice odd = r.devices[0];
    odd.name = "IR\r\nE: 000000.000000 1 00";
    EXPECT_NE(FormatRecordedDevice(odd, std::nullopt).find("\nN: IR  E: 000000.000000 1 00\nP: "),
              std::string::npos);
}

// Each fault is found on its line, and nothing is half-parsed.
TEST(HidRecordingFormat, MalformedAndTruncatedFilesNameTheirLine) {
    const std::string head =
        "R: 3 05 01 c0\n"
        "N: pad\n"
        "I: 3 0471 0606\n";  // lines 1 to 3
    struct Case {
        std::string text;
        std::size_t line;
        const char* says;
    } cases[] = {
        {"", 0, "no device"},
        {"# only a comment\n", 0, "no device"},
        {"hello world\n", 1, "not a line of a hid-recorder file"},
        {"X: 1\n", 1, "unknown line type"},
        {"R: 4 05 01 c0\n", 1, "3 of the 4 descriptor bytes"},
        {"R: 2 05 01 c0\n", 1, "more bytes"},
        {"R: 3 05 1 c0\n", 1, "not a byte in hex"},
        {"R: 0\n", 1, "a descriptor of 0 bytes"},
        {"E: 000000.000000 1 00\n", 1, "before any device"},
        {"R: 3 05 01 c0\nE: 000000.000000 1 00\n", 2, "before the R: and I: lines"},
        {head + "E: 000000.000000 6 03 01 22 b0 26\n", 4, "gives 5 bytes, its size says 6"},
        // A file cut short in the middle of its last line.
        {head + "E: 000000.100000 5 05 40 40 00 02\nE: 000000.200000 5 05 4", 5,
         "is the file cut short"},
        {head + "E: 0.5 1 00\n", 4, "seconds.microseconds"},
        {head + "E: 000000.000000 4097 00\n", 4, "a report of 4097 bytes"},
        {head + "I: 3 0471 0606\n", 4, "a second one"},
        {head + "R: 3 05 01 c0\n", 4, "several devices need D: lines"},
        {"I: 3 10471 0606\n", 1, "16 bits"},
        {"N: " + std::string(128, 'n') + "\n", 1, "longer than 127"},
        {"R: 3 05 01 c0\nN: pad\r\r\n", 2, "a control character"},
        {"D: 1\n", 1, "comes before device 0"},
        {"D: 0\n" + head + "D: 2\n", 5, "comes before device 1"},
        {"D: 0\n" + head + "D: 1\nR: 3 05 01 c0\n", 6, "device 1 has no R: or no I:"},
        {"D: 0\n" + head + "R: 3 05 01 c0\n", 5, "a second descriptor"},
        // A descriptor line wrapped by a mail program: how much of it is there.
        {"R: 29 06 00 ff 09 00 a1 01 15 00 26 ff 00 75 08 95\n 08 81 02 09 01 95 08 91 02 c0 "
         "00 00 00\nN: pad\n",
         1, "15 of the 29 descriptor bytes"},
        {"# " + std::string(kMaxRecordingLine, '#') + "\n", 1, "longer than 65536 bytes"},
        {[] {
             std::string text;
             for (int i = 0; i <= 64; ++i)
                 text += "D: " + std::to_string(i) + "\n";
             return text;
         }(),
         65, "more than the 64 devices"},
    };
    for (const Case& c : cases) {
        RecordingError error;
        EXPECT_FALSE(ParseHidRecording(c.text, &error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text << " -> " << error.Describe();
        EXPECT_NE(error.what.find(c.says), std::string::npos) << c.text << " -> " << error.what;
        if (c.line > 0) {
            EXPECT_EQ(error.Describe().rfind("line " + std::to_string(c.line) + ": ", 0), 0u);
        }
    }
}

// What field recordings hold that is odd but no fault: reports that share a time (two
// reports read at once), lines of a HID-BPF program, a clock set back while it was
// recorded (one warning; the step replayed as no gap).
TEST(HidRecordingFormat, FieldRecordingsThatAreOddButWhole) {
    const std::string head =
        "R: 3 05 01 c0\n"
        "N: pad\n"
        "I: 3 0471 0606\n";
    struct Case {
        std::string text;
        std::vector<std::uint64_t> times;
        std::string warning;  // "" for none
    } cases[] = {
        {head + "E: 000001.000000 1 00\nE: 000001.000000 1 01\nE: 000001.000000 1 02\n",
         {1'000'000, 1'000'000, 1'000'000},
         ""},
        {"B: 10 udev-hid-bpf_0010-Mouse.bpf.o\n" + head +
             "B: 0 some program\nE: 000000.500000 1 00\n",
         {500'000},
         ""},
        {head + "E: 003600.100000 1 00\nE: 003600.300000 1 01\n"
                "E: 000000.200000 1 02\nE: 000000.250000 1 03\n"
                "E: 000000.100000 1 04\nE: 000000.110000 1 05\n",
         {3'600'100'000, 3'600'300'000, 3'600'300'000, 3'600'350'000, 3'600'350'000, 3'600'360'000},
         "line 6: the time steps back 3600.100000 s (was a clock set back while it was "
         "recorded?); replayed as no gap, as are the 1 more steps back after it"},
    };
    for (const Case& c : cases) {
        RecordingError error;
        RecordingWarnings warnings;
        const auto r = ParseHidRecording(c.text, &error, &warnings);
        ASSERT_TRUE(r) << c.text << " -> " << error.Describe();
        std::vector<std::uint64_t> times;
        for (const RecordedEvent& e : r->events)
            times.push_back(e.usec);
        EXPECT_EQ(times, c.times) << c.text;
        EXPECT_EQ(warnings.Describe(), c.warning) << c.text;
        // Written again it reads back the same, with no warning left.
        RecordingWarnings again;
        const auto reread = ParseHidRecording(FormatHidRecording(*r), &error, &again);
        ASSERT_TRUE(reread) << error.Describe();
        EXPECT_EQ(reread->events, r->events);
        EXPECT_EQ(again.Describe(), "");
    }
}

// A refused line is quoted with its control characters shown, not sent to the
// terminal that shows the message.
TEST(HidRecordingFormat, AQuotedLineCarriesNoControlCharacters) {
    const std::string head = "R: 3 05 01 c0\nN: pad\nI: 3 0471 0606\n";
    for (const std::string& text :
         {std::string("\x1b]0;owned\x07\x1b[2J\n"), std::string("\x1b[2J: x\n"),
          head + "E: \x1b[2J 1 00\n", head + "E: 000000.000000 \x1b[2J 00\n",
          std::string("R: 3 05 \x9b\x32J c0\n"),
          std::string("D: \xc2\x9b"
                      "2J\n")}) {
        RecordingError error;
        ASSERT_FALSE(ParseHidRecording(text, &error)) << text;
        const std::string shown = error.Describe();
        for (char ch : shown) {
            const auto c = static_cast<unsigned char>(ch);
            EXPECT_TRUE(c >= 0x20 && c != 0x7f && c != 0x9b) << shown;
        }
        EXPECT_EQ(shown.find("\xc2\x9b"), std::string::npos) << shown;
        EXPECT_NE(shown.find("2J"), std::string::npos) << shown;
    }
}

}  // namespace
