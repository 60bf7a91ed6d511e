// The parts of the run record the PostgreSQL store and its tests use.

#include "station/run_record.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <random>

namespace {

constexpr std::array<std::pair<RunOutcome, std::string_view>, 5> kRunKeys{{
    {RunOutcome::Started, "STARTED"},
    {RunOutcome::Pass, "PASS"},
    {RunOutcome::Fail, "FAIL"},
    {RunOutcome::Error, "ERROR"},
    {RunOutcome::Aborted, "ABORTED"},
}};

constexpr std::array<std::pair<StepOutcome, std::string_view>, 5> kStepKeys{{
    {StepOutcome::Pass, "pass"},
    {StepOutcome::Fail, "fail"},
    {StepOutcome::Error, "error"},
    {StepOutcome::Aborted, "aborted"},
    {StepOutcome::Skipped, "skipped"},
}};

}  // namespace

std::string_view RunOutcomeKey(RunOutcome outcome) {
    for (const auto& [value, key] : kRunKeys) {
        if (value == outcome)
            return key;
    }
    return "ERROR";
}

std::optional<RunOutcome> RunOutcomeFromKey(std::string_view key) {
    for (const auto& [value, text] : kRunKeys) {
        if (text == key)
            return value;
    }
    return std::nullopt;
}

std::string_view StepOutcomeKey(StepOutcome outcome) {
    for (const auto& [value, key] : kStepKeys) {
        if (value == outcome)
            return key;
    }
    return "error";
}

std::optional<StepOutcome> StepOutcomeFromKey(std::string_view key) {
    for (const auto& [value, text] : kStepKeys) {
        if (text == key)
            return value;
    }
    return std::nullopt;
}

UtcMicros UtcNow() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::string UnitSerial(const RunRecord& record) {
    return record.labelSerial.empty() ? record.tokenSerial : record.labelSerial;
}

std::string NewRunId() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    std::uniform_int_distribution<unsigned> byte(0, 255);
    std::array<unsigned, 16> b{};
    for (unsigned& v : b)
        v = byte(random);
    b[6] = (b[6] & 0x0fU) | 0x40U;  // version 4
    b[8] = (b[8] & 0x3fU) | 0x80U;  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}
