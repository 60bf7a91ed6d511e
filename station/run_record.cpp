#include "station/run_record.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000;
constexpr std::int64_t kSecondsPerDay = 86400;

constexpr std::string_view kRunOutcomeKeys[] = {"STARTED", "PASS", "FAIL", "ERROR", "ABORTED"};
constexpr std::string_view kStepOutcomeKeys[] = {"pass", "fail", "error", "aborted", "skipped"};

// `count` decimal digits at `text[at]`, or nothing.
std::optional<int> Digits(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size())
        return std::nullopt;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// Days since 1970-01-01 of a valid civil date, or nothing.
std::optional<std::int64_t> DaysOf(int year, int month, int day) {
    const std::chrono::year_month_day date{std::chrono::year{year},
                                           std::chrono::month{static_cast<unsigned>(month)},
                                           std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok())
        return std::nullopt;
    return std::chrono::sys_days{date}.time_since_epoch().count();
}

// Fills `bytes` from the kernel's generator; /dev/urandom where getrandom() is missing.
void RandomBytes(unsigned char* bytes, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::getrandom(bytes + got, size - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    if (got == size)
        return;
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && got < size) {
        const ssize_t n = ::read(fd, bytes + got, size - got);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (!(n < 0 && errno == EINTR))
            break;
    }
    if (fd >= 0)
        ::close(fd);
    if (got != size)
        throw std::runtime_error("no random bytes for a run id (getrandom and /dev/urandom)");
}

}  // namespace

std::string_view RunOutcomeKey(RunOutcome outcome) {
    return kRunOutcomeKeys[static_cast<std::size_t>(outcome)];
}

std::optional<RunOutcome> RunOutcomeFromKey(std::string_view key) {
    for (std::size_t i = 0; i < std::size(kRunOutcomeKeys); ++i) {
        if (kRunOutcomeKeys[i] == key)
            return static_cast<RunOutcome>(i);
    }
    return std::nullopt;
}

std::string_view StepOutcomeKey(StepOutcome outcome) {
    return kStepOutcomeKeys[static_cast<std::size_t>(outcome)];
}

std::optional<StepOutcome> StepOutcomeFromKey(std::string_view key) {
    for (std::size_t i = 0; i < std::size(kStepOutcomeKeys); ++i) {
        if (kStepOutcomeKeys[i] == key)
            return static_cast<StepOutcome>(i);
    }
    return std::nullopt;
}

UtcMicros UtcNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<UtcMicros>(now.tv_sec) * kMicrosPerSecond + now.tv_nsec / 1000;
}

std::string UtcText(UtcMicros t) {
    // Floor division, so that times before 1970 count down from the right second.
    std::int64_t seconds = t / kMicrosPerSecond;
    std::int64_t micros = t % kMicrosPerSecond;
    if (micros < 0) {
        micros += kMicrosPerSecond;
        --seconds;
    }
    std::int64_t days = seconds / kSecondsPerDay;
    std::int64_t secondOfDay = seconds % kSecondsPerDay;
    if (secondOfDay < 0) {
        secondOfDay += kSecondsPerDay;
        --days;
    }
    const std::chrono::year_month_day date{
        std::chrono::sys_days{std::chrono::days{static_cast<std::int32_t>(days)}}};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%06dZ",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), static_cast<int>(secondOfDay / 3600),
                  static_cast<int>(secondOfDay / 60 % 60), static_cast<int>(secondOfDay % 60),
                  static_cast<int>(micros));
    return text;
}

std::optional<UtcMicros> UtcFromText(std::string_view text) {
    // YYYY-MM-DD, then optionally THH:MM:SS, a fraction of 1 to 6 digits and Z.
    const auto year = Digits(text, 0, 4);
    const auto month = Digits(text, 5, 2);
    const auto day = Digits(text, 8, 2);
    if (!year || !month || !day || text[4] != '-' || text[7] != '-')
        return std::nullopt;
    const auto days = DaysOf(*year, *month, *day);
    if (!days)
        return std::nullopt;
    UtcMicros t = *days * kSecondsPerDay * kMicrosPerSecond;
    if (text.size() == 10)
        return t;

    const auto hour = Digits(text, 11, 2);
    const auto minute = Digits(text, 14, 2);
    const auto second = Digits(text, 17, 2);
    if (text[10] != 'T' || !hour || !minute || !second || text[13] != ':' || text[16] != ':' ||
        *hour > 23 || *minute > 59 || *second > 59)
        return std::nullopt;
    t += ((*hour * 60 + *minute) * 60 + *second) * kMicrosPerSecond;
    std::size_t at = 19;
    if (at < text.size() && text[at] == '.') {
        ++at;
        std::int64_t fraction = 0;
        std::size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 6) {
            fraction = fraction * 10 + (text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0)
            return std::nullopt;
        for (; digits < 6; ++digits)
            fraction *= 10;
        t += fraction;
    }
    if (at + 1 != text.size() || text[at] != 'Z')
        return std::nullopt;
    return t;
}

std::string UnitSerial(const RunRecord& record) {
    return record.labelSerial.empty() ? record.tokenSerial : record.labelSerial;
}

std::string NewRunId() {
    unsigned char bytes[16];
    RandomBytes(bytes, sizeof bytes);
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789abcdef";
    std::string id;
    id.reserve(36);
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            id += '-';
        id += kHex[bytes[i] >> 4];
        id += kHex[bytes[i] & 0x0f];
    }
    return id;
}
