// What the programs read from files: the one small-file reader against what can stand
// in a file's place.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "diagnosis/fixed_serial_file.h"
#include "platform/process/small_file.h"
#include "platform/system/udev_rules.h"

namespace {

namespace fs = std::filesystem;

// A fresh directory, removed afterwards.
class TempDir {
public:
    TempDir() {
        std::string templ = (fs::temp_directory_path() / "quillon-files-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr)
            std::abort();
        path = templ;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    fs::path path;
};

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Runs `read` on another thread and waits at most 5 s for it. A reader stuck in open()
// or read() on `fifo` is freed by a writer's open and close, so a failing test ends.
template <typename Read>
auto Bounded(const fs::path& fifo, Read read) {
    auto result = std::async(std::launch::async, read);
    const bool prompt = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    EXPECT_TRUE(prompt) << "the reader blocked on the FIFO " << fifo;
    if (!prompt) {
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
    }
    return result.get();
}

// What every reader must refuse, each in its own way: a FIFO, a link to nothing, a
// directory, a file over the limit and /dev/zero (a device that never ends). Made in
// `dir` under `name`, one at a time.
enum class Odd { Fifo, Dangling, Directory, Oversized, DevZero };
constexpr Odd kOdd[] = {Odd::Fifo, Odd::Dangling, Odd::Directory, Odd::Oversized, Odd::DevZero};

const char* Name(Odd odd) {
    switch (odd) {
        case Odd::Fifo:
            return "FIFO";
        case Odd::Dangling:
            return "dangling link";
        case Odd::Directory:
            return "directory";
        case Odd::Oversized:
            return "oversized file";
        case Odd::DevZero:
            return "/dev/zero";
    }
    return "";
}

// The words each one is refused with.
const char* What(Odd odd) {
    switch (odd) {
        case Odd::Fifo:
            return "is a FIFO, not a regular file";
        case Odd::Dangling:
            return "is a symbolic link to nowhere, which does not exist";
        case Odd::Directory:
            return "is a directory, not a file";
        case Odd::Oversized:
            return "larger than ";
        case Odd::DevZero:
            return "is a device, not a regular file";
    }
    return "";
}

void Make(Odd odd, const fs::path& path, std::size_t oversize) {
    std::error_code ec;
    fs::remove_all(path, ec);
    switch (odd) {
        case Odd::Fifo:
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
            break;
        case Odd::Dangling:
            fs::create_symlink("nowhere", path);
            break;
        case Odd::Directory:
            fs::create_directory(path);
            break;
        case Odd::Oversized:
            WriteFile(path, std::string(oversize, '1'));
            break;
        case Odd::DevZero:
            fs::create_symlink("/dev/zero", path);
            break;
    }
}

}  // namespace

TEST(SmallFile, ReadsRegularFilesAndRefusesAllElseAtOnce) {
    TempDir dir;
    const fs::path file = dir.path / "file";
    std::string text = "stale";
    FileProblem problem;

    WriteFile(file, "0123456789");
    EXPECT_TRUE(ReadSmallFile(file.string(), 10, &text, &problem));
    EXPECT_EQ(text, "0123456789");
    EXPECT_EQ(problem.error, 0);
    EXPECT_EQ(problem.message, "");
    EXPECT_EQ(ReadSmallFile(file.string(), 9), "") << "one byte over the limit";

    EXPECT_FALSE(ReadSmallFile((dir.path / "none").string(), 10, &text, &problem));
    EXPECT_TRUE(problem.missing);
    EXPECT_EQ(problem.error, ENOENT);
    EXPECT_EQ(problem.message, (dir.path / "none").string() + ": no such file");

    for (Odd odd : kOdd) {
        SCOPED_TRACE(Name(odd));
        Make(odd, file, 11);
        text = "stale";
        int error = 0;  // errno is the reading thread's
        const bool read = Bounded(file, [&] {
            const bool ok = ReadSmallFile(file.string(), 10, &text, &problem);
            error = errno;
            return ok;
        });
        EXPECT_FALSE(read);
        EXPECT_EQ(text, "");
        EXPECT_FALSE(problem.missing) << "only nothing at all is a missing file";
        EXPECT_EQ(error, problem.error);
        EXPECT_EQ(problem.message, file.string() + ": " + problem.what);
        EXPECT_TRUE(problem.what.starts_with(What(odd))) << problem.what;
    }

    // sysfs and /proc report no true size: the limit holds on what is read.
    EXPECT_FALSE(ReadSmallFile("/proc/self/status", 16, &text, &problem));
    EXPECT_EQ(problem.error, EFBIG);
    EXPECT_EQ(problem.message, "/proc/self/status: larger than 16 bytes");
    EXPECT_TRUE(ReadSmallFile("/proc/self/status", 1 << 20, &text, &problem));
    EXPECT_TRUE(text.starts_with("Name:")) << text;

    // A path quoted in a message shows its control characters escaped.
    const fs::path planted = dir.path / "\x1b]0;owned\a\n";
    ASSERT_EQ(::mkfifo(planted.c_str(), 0600), 0);
    EXPECT_FALSE(ReadSmallFile(planted.string(), 10, &text, &problem));
    EXPECT_EQ(problem.message,
              dir.path.string() + "/\\x1b]0;owned\\x07\\n: is a FIFO, not a regular file");
}

TEST(SmallFile, OpensAStreamOnlyOnARegularFileWithinItsSize) {
    TempDir dir;
    const fs::path file = dir.path / "recording";
    WriteFile(file, std::string(100, 'r'));
    RegularFile opened = OpenRegularFile(file.string(), 100);
    ASSERT_TRUE(opened.ok()) << opened.problem.message;
    EXPECT_EQ(opened.size, 100u);
    EXPECT_TRUE(opened.sizeKnown);
    EXPECT_EQ(::fcntl(opened.fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    const int fd = opened.Release();
    EXPECT_FALSE(opened.ok());
    EXPECT_EQ(::close(fd), 0) << "released, so not closed twice";

    EXPECT_EQ(OpenRegularFile(file.string(), 99).problem.message,
              file.string() + ": larger than 99 bytes");
    for (Odd odd : kOdd) {
        SCOPED_TRACE(Name(odd));
        Make(odd, file, 101);
        const RegularFile refused =
            Bounded(file, [&] { return OpenRegularFile(file.string(), 100); });
        EXPECT_FALSE(refused.ok());
        EXPECT_TRUE(refused.problem.what.starts_with(What(odd))) << refused.problem.what;
    }
}

// The udev rules and SN.ini go through the same reader: what stands in a file's place
// is reported, and never stops the rest.
TEST(SmallFile, TheRuleAndSerialReadersRefuseWhatIsNotAFile) {
    TempDir dir;
    const fs::path etc = dir.path / "etc/udev/rules.d";
    fs::create_directories(etc);
    std::ofstream(etc / "70-quillon.rules")
        << "KERNEL==\"hidraw*\", ATTRS{idVendor}==\"0471\", ATTRS{idProduct}==\"0606\", "
           "TAG+=\"uaccess\"\n";
    const fs::path odd = etc / "60-odd.rules";
    for (Odd kind : kOdd) {
        SCOPED_TRACE(Name(kind));
        Make(kind, odd, (1u << 20) + 1);
        const UdevRuleReport report =
            Bounded(odd, [&] { return FindUdevRules(0x0471, 0x0606, dir.path.string()); });
        ASSERT_EQ(report.problems.size(), 1u);
        EXPECT_EQ(report.problems[0].rfind(odd.string() + ": " + What(kind), 0), 0u)
            << report.problems[0];
        ASSERT_EQ(report.files.size(), 1u) << "the good file is read all the same";
        EXPECT_TRUE(report.AnyUaccess());
    }
    fs::remove_all(odd);

    const fs::path cwd = fs::current_path();
    fs::current_path(dir.path);
    std::string head = "stale";
    FileProblem problem;
    WriteFile(kFixedSerialFile, "123456789 and a note\n");
    EXPECT_TRUE(ReadFixedSerialFile(&head, &problem));
    EXPECT_EQ(head, "123456789");
    for (Odd kind : kOdd) {
        SCOPED_TRACE(Name(kind));
        Make(kind, kFixedSerialFile, kMaxFixedSerialFile + 1);
        EXPECT_FALSE(
            Bounded(kFixedSerialFile, [&] { return ReadFixedSerialFile(&head, &problem); }));
        EXPECT_FALSE(problem.missing);
        EXPECT_TRUE(problem.what.starts_with(What(kind))) << problem.what;
    }
    fs::remove_all(kFixedSerialFile);
    EXPECT_FALSE(ReadFixedSerialFile(&head, &problem));
    EXPECT_TRUE(problem.missing);
    fs::current_path(cwd);
}
