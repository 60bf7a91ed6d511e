// The hid-recorder text format (parse, write, faults with their lines), the replay's
// timing and its wait for readers, and the served tree read back by the recorder.

#include "platform/hid_recording.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/hid_device.h"
#include "platform/hid_recorder.h"
#include "platform/hid_replay.h"
#include "platform/served_hid_tree.h"

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
        {"R: 4 05 01 c0\n", 1, "gives 3 bytes, its size says 4"},
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
        {head + "E: 000001.000000 1 00\nE: 000000.900000 1 00\n", 5, "goes back"},
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
    const ReplayResult result =
        PlayRecording(r, target, {2.0, true}, stop.fd, [&] { started = Clock::now(); });
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

}  // namespace
