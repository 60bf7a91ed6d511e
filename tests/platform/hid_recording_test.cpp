// The hid-recorder text format (parse, write, faults with their lines), the replay's
// timing and its wait for readers, and the served tree read back by the recorder.

#include "platform/hid/hid_recording.h"

#include <gtest/gtest.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/hid/hid_device.h"
#include "platform/hid/hid_recorder.h"
#include "platform/hid/hid_recording_file.h"
#include "platform/hid/hid_replay.h"
#include "platform/hid/served_hid_tree.h"
#include "platform/hid/uhid_target.h"
#include "platform/process/temp_tree.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

RecordedDevice Device(const std::string& name, std::uint16_t product,
                      std::vector<std::uint8_t> descriptor) {
    return {name, "usb-0000:00:14.0-1/input0", 3, 0x0471, product, std::move(descriptor)};
}

HidRecording TwoDevices() {
    HidRecording r;
    r.devices = {
        Device("Orvane IR receiver", 0x0606, {0x06, 0x00, 0xff, 0x09, 0x00, 0xa1, 0x01, 0xc0}),
        Device("Orvane game receiver", 0x0606, {0x05, 0x01, 0x09, 0x05, 0xa1, 0x01, 0xc0})};
    r.events = {{0, 0, {0x03, 0x01, 0x22, 0xb0, 0x26, 0x05}},
                {0, 110'000, {0x03, 0x01, 0x22, 0xb0, 0x26, 0x05}},
                {1, 1'500'000, {0x05, 0x40, 0x40, 0x00, 0x02}},
                {0, 61'000'001, {0x03, 0x01, 0x22, 0xb0, 0xff, 0x97}}};
    return r;
}

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

// Fires a stop descriptor after `bound` unless it is gone first: a wait of the code
// under test that never ends fails the test in seconds.
class Bound {
public:
    explicit Bound(int stopFd, std::chrono::milliseconds bound = 10s)
        : m_thread([this, stopFd, bound] {
              std::unique_lock lock(m_mutex);
              if (!m_changed.wait_for(lock, bound, [this] { return m_done; })) {
                  m_fired = true;
                  const std::uint64_t one = 1;
                  [[maybe_unused]] const ssize_t n = write(stopFd, &one, sizeof one);
              }
          }) {}
    ~Bound() {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    bool Fired() {
        std::lock_guard lock(m_mutex);
        return m_fired;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;
    bool m_fired = false;
    std::thread m_thread;
};

// A target whose Send records the time; readiness from another thread opens it.
class FakeTarget : public ReplayTarget {
public:
    FakeTarget() : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~FakeTarget() override { close(m_fd); }
    std::vector<int> Descriptors() const override { return {m_fd}; }
    void Service() override {
        std::uint64_t v;
        if (read(m_fd, &v, sizeof v) > 0)
            m_opened = true;
    }
    bool Opened(std::size_t) const override { return m_opened; }
    bool Send(std::size_t device, std::span<const std::uint8_t> report) override {
        sent.push_back({Clock::now(), device, report.size()});
        return failAfter < 0 || static_cast<int>(sent.size()) <= failAfter;
    }
    std::string LastError() const override { return "gone"; }
    void OpenFromOutside() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(m_fd, &one, sizeof one);
    }
    struct Sent {
        Clock::time_point at;
        std::size_t device;
        std::size_t size;
    };
    std::vector<Sent> sent;
    int failAfter = -1;

private:
    int m_fd;
    bool m_opened = false;
};

class Stop {
public:
    Stop() : fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Stop() { close(fd); }
    void Fire() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(fd, &one, sizeof one);
    }
    int fd;
};

// Fires `stop` 50 ms from now on a thread of its own; `fired` is when, read after join.
std::thread FireLater(Stop& stop, Clock::time_point* fired) {
    return std::thread([&stop, fired] {
        std::this_thread::sleep_for(50ms);
        *fired = Clock::now();
        stop.Fire();
    });
}

TEST(HidReplay, WaitsForAReaderThenKeepsTheRecordedTimesAtTheGivenSpeed) {
    HidRecording r = TwoDevices();
    r.events = {{0, 0, {1}}, {1, 100'000, {2, 2}}, {0, 300'000, {3}}};
    FakeTarget target;
    Stop stop;
    Clock::time_point opened;
    std::thread opener([&] {
        std::this_thread::sleep_for(100ms);  // a reader that comes late
        opened = Clock::now();
        target.OpenFromOutside();
    });
    Clock::time_point started;
    ReplayResult result;
    {
        Bound bound(stop.fd);
        result = PlayRecording(r, target, {2.0, true}, stop.fd, [&] { started = Clock::now(); });
    }
    opener.join();
    ASSERT_EQ(result.end, ReplayEnd::Done);
    EXPECT_EQ(result.sent, 3u);
    ASSERT_EQ(target.sent.size(), 3u);
    // Started by the reader's arrival, promptly.
    EXPECT_GE(started, opened);
    EXPECT_LT(started - opened, 50ms);
    // Each report at its time halved, neither early nor late.
    const std::chrono::milliseconds due[] = {0ms, 50ms, 150ms};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_GE(target.sent[i].at - started, due[i]) << i;
        EXPECT_LT(target.sent[i].at - started, due[i] + 40ms) << i;
    }
    EXPECT_EQ(target.sent[1].device, 1u);
    EXPECT_EQ(target.sent[1].size, 2u);
}

TEST(HidReplay, StopEndsEveryWaitAtOnceAndAGoneDeviceEndsTheReplay) {
    HidRecording r = TwoDevices();
    {
        // Waiting for a reader that never comes.
        FakeTarget target;
        Stop stop;
        Clock::time_point fired;
        std::thread stopper = FireLater(stop, &fired);
        const ReplayEnd end = PlayRecording(r, target, {1.0, true}, stop.fd).end;
        const auto ended = Clock::now();
        stopper.join();
        EXPECT_EQ(end, ReplayEnd::Stopped);
        EXPECT_GE(ended, fired);
        EXPECT_LT(ended - fired, 40ms);
        EXPECT_TRUE(target.sent.empty());
    }
    {
        // Between two reports a minute apart.
        FakeTarget target;
        Stop stop;
        Clock::time_point fired;
        std::thread stopper = FireLater(stop, &fired);
        const ReplayResult result = PlayRecording(r, target, {1.0, false}, stop.fd);
        const auto ended = Clock::now();
        stopper.join();
        EXPECT_EQ(result.end, ReplayEnd::Stopped);
        EXPECT_EQ(result.sent, 1u);  // the second is due at 110 ms
        EXPECT_GE(ended, fired);
        EXPECT_LT(ended - fired, 40ms);
    }
    {
        FakeTarget target;
        target.failAfter = 1;
        Stop stop;
        Bound bound(stop.fd);
        const ReplayResult result = PlayRecording(r, target, {1000.0, false}, stop.fd);
        EXPECT_EQ(result.end, ReplayEnd::Failed);
        EXPECT_EQ(result.sent, 1u);
        EXPECT_EQ(result.error, "gone");
    }
}

// Replayed into served nodes and recorded from them by two readers at once: each gets
// every report, and the devices read back as they were recorded. Neither reader
// locks the node.
TEST(ServedHidTree, EveryReaderGetsEveryReportAndTheDevicesReadBackWhole) {
    const HidRecording r = TwoDevices();
    auto tree = std::make_unique<ServedHidTree>();
    std::string error;
    ASSERT_TRUE(tree->Create(r, &error)) << error;
    HidSystem hid(tree->SysRoot(), tree->DevRoot());

    HidRecorder first, second;
    ASSERT_TRUE(first.Open(hid, {tree->NodePath(0), tree->NodePath(1)}, &error)) << error;
    ASSERT_TRUE(second.Open(hid, {tree->NodePath(1)}, &error)) << error;
    EXPECT_EQ(first.Devices(), r.devices);
    EXPECT_EQ(second.Devices()[0], r.devices[1]);

    Stop stop;
    Bound bound(stop.fd);
    const ReplayResult result = PlayRecording(r, *tree, {1000.0, true}, stop.fd);
    ASSERT_EQ(result.end, ReplayEnd::Done);
    EXPECT_EQ(tree->Readers(1), 2u);
    // What is sent is queued on each reader's connection; the tree going away is the
    // unplug that ends both recordings once they have read it all.
    std::vector<RecordedEvent> firstGot, secondGot;
    int gone = 0;
    auto collect = [](std::vector<RecordedEvent>* into) {
        return [into](std::size_t device, std::uint64_t, std::span<const std::uint8_t> data) {
            into->push_back({device, 0, {data.begin(), data.end()}});
        };
    };
    tree.reset();
    EXPECT_FALSE(
        first.Run(stop.fd, collect(&firstGot), [&](std::size_t, std::uint64_t, int) { ++gone; }));
    EXPECT_FALSE(
        second.Run(stop.fd, collect(&secondGot), [&](std::size_t, std::uint64_t, int) { ++gone; }));
    EXPECT_EQ(gone, 3);
    EXPECT_FALSE(bound.Fired());
    // In order per device (the recorder takes the two nodes as they come).
    for (std::size_t device : {0u, 1u}) {
        std::vector<std::vector<std::uint8_t>> got, want;
        for (const RecordedEvent& e : firstGot) {
            if (e.device == device)
                got.push_back(e.data);
        }
        for (const RecordedEvent& e : r.events) {
            if (e.device == device)
                want.push_back(e.data);
        }
        EXPECT_EQ(got, want) << device;
    }
    ASSERT_EQ(secondGot.size(), 1u);
    EXPECT_EQ(secondGot[0].data, r.events[2].data);
}

TEST(HidRecorder, ReadsWithoutTheLockAndSaysWhyANodeCannotBeOpened) {
    const HidRecording r = TwoDevices();
    auto tree = std::make_unique<ServedHidTree>();
    std::string error;
    ASSERT_TRUE(tree->Create(r, &error)) << error;
    // A plain file in the node's place opens and locks as a hidraw node does.
    const std::string node = tree->DevRoot() + "/hidraw0";
    ASSERT_EQ(unlink(node.c_str()), 0);
    { std::ofstream(node) << ""; }
    HidSystem hid(tree->SysRoot(), tree->DevRoot());
    HidRecorder recorder;
    ASSERT_TRUE(recorder.Open(hid, {node}, &error)) << error;
    HidDeviceInfo exclusive;
    EXPECT_EQ(hid.OpenHidDevice(node.c_str(), true, true, true, true, false, &exclusive),
              HID_OPEN_OK)
        << "the recorder must not hold the node's lock";

    HidRecorder missing;
    EXPECT_FALSE(missing.Open(hid, {node, tree->DevRoot() + "/hidraw7"}, &error));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(error.find("hidraw7"), std::string::npos) << error;
    EXPECT_TRUE(missing.Devices().empty());
    // A file that opens but is no HID interface.
    const std::string other = tree->DevRoot() + "/ttyS0";
    { std::ofstream(other) << ""; }
    EXPECT_FALSE(missing.Open(hid, {other}, &error));
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(error, other + ": not a hidraw interface (sysfs gives no descriptor or ids for it)");
}

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

// One end of a socket pair plays /dev/uhid: the kernel's start is no reader, and no
// report goes out before a program has opened the device (the kernel's open).
class FakeUhid {
public:
    FakeUhid() {
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        ours = HidHandle(pair[0]);
        theirs = HidHandle(pair[1]);
        fcntl(theirs.Get(), F_SETFL, O_NONBLOCK);
    }
    void Tell(std::uint32_t type, std::uint32_t id = 0) {
        auto ev = std::make_unique<uhid_event>();
        ev->type = type;
        ev->u.get_report.id = id;
        ASSERT_EQ(write(ours.Get(), ev.get(), sizeof *ev), static_cast<ssize_t>(sizeof *ev));
    }
    // The next event the target wrote, within `timeout`; none: type 0.
    uhid_event Next(std::chrono::milliseconds timeout) {
        uhid_event ev{};
        pollfd p{ours.Get(), POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) == 1) {
            EXPECT_EQ(read(ours.Get(), &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
        }
        return ev;
    }
    HidHandle ours, theirs;
};

TEST(UhidTarget, NoReportGoesOutBeforeTheKernelSaysADeviceIsOpen) {
    HidRecording r = TwoDevices();
    r.events = {{0, 0, {0x11}}, {1, 1000, {0x22, 0x22}}};
    FakeUhid kernel[2];
    std::vector<HidHandle> handles;
    for (FakeUhid& k : kernel) {
        k.Tell(UHID_START);
        handles.push_back(std::move(k.theirs));
    }
    UhidTarget target;
    std::string error;
    ASSERT_TRUE(target.CreateOn(r.devices, std::move(handles), &error)) << error;
    for (std::size_t i = 0; i < 2; ++i) {
        const uhid_event created = kernel[i].Next(1s);
        ASSERT_EQ(created.type, UHID_CREATE2);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(created.u.create2.name)),
                  r.devices[i].name);
        EXPECT_EQ(created.u.create2.product, r.devices[i].product);
        EXPECT_EQ(std::vector<std::uint8_t>(created.u.create2.rd_data,
                                            created.u.create2.rd_data + created.u.create2.rd_size),
                  r.devices[i].descriptor);
    }

    Stop stop;
    ReplayResult result;
    std::thread player([&] {
        Bound bound(stop.fd);
        result = PlayRecording(r, target, {1.0, true}, stop.fd);
    });
    // Started, and device 0 opened: still nothing, for device 1 has no reader.
    kernel[0].Tell(UHID_OPEN);
    // A request the recording cannot answer is refused at once, also while waiting.
    kernel[1].Tell(UHID_GET_REPORT, 7);
    const uhid_event reply = kernel[1].Next(2s);
    EXPECT_EQ(reply.type, UHID_GET_REPORT_REPLY);
    EXPECT_EQ(reply.u.get_report_reply.id, 7u);
    EXPECT_EQ(reply.u.get_report_reply.err, EIO);
    EXPECT_EQ(kernel[0].Next(200ms).type, 0u) << "a report before every device was opened";
    EXPECT_EQ(kernel[1].Next(0ms).type, 0u);

    const auto opened = Clock::now();
    kernel[1].Tell(UHID_OPEN);
    const uhid_event first = kernel[0].Next(2s);
    const auto firstAt = Clock::now();
    const uhid_event second = kernel[1].Next(2s);
    player.join();
    EXPECT_EQ(result.end, ReplayEnd::Done);
    ASSERT_EQ(first.type, UHID_INPUT2);
    EXPECT_EQ(first.u.input2.size, 1u);
    EXPECT_EQ(first.u.input2.data[0], 0x11);
    EXPECT_LT(firstAt - opened, 100ms);
    ASSERT_EQ(second.type, UHID_INPUT2);
    EXPECT_EQ(second.u.input2.size, 2u);
    target.Destroy();
    EXPECT_EQ(kernel[0].Next(1s).type, UHID_DESTROY);
}

}  // namespace
