// The record's texts: times as stored and exported, and run ids.

#include "station/run_record.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <string_view>

namespace {

TEST(RunRecord, TimesAsTextAndBack) {
    EXPECT_EQ(UtcText(0), "1970-01-01T00:00:00.000000Z");
    EXPECT_EQ(UtcText(1'797'010'401'123'456), "2026-12-11T17:33:21.123456Z");
    EXPECT_EQ(UtcText(-1), "1969-12-31T23:59:59.999999Z");
    for (const UtcMicros t :
         {UtcMicros{0}, UtcMicros{-1}, UtcMicros{951'782'400'000'001}, UtcNow()})
        EXPECT_EQ(UtcFromText(UtcText(t)), t) << UtcText(t);

    EXPECT_EQ(UtcFromText("2026-12-09"), UtcFromText("2026-12-09T00:00:00.000000Z"));
    EXPECT_EQ(UtcFromText("2024-02-29T12:00:00Z"), 1'709'208'000'000'000);
    EXPECT_EQ(UtcFromText("2024-02-29T12:00:00.5Z"), 1'709'208'000'500'000);
    for (const char* bad :
         {"", "2026-12-9", "2026-13-01", "2025-02-29", "2026-12-09T24:00:00Z",
          "2026-12-09T17:40:01", "2026-12-09T17:40:01.Z", "2026-12-09T17:40:01.1234567Z",
          "2026-12-09T17:40:01Zjunk", "2026-12-09 17:40:01Z", "+026-12-09"})
        EXPECT_EQ(UtcFromText(bad), std::nullopt) << bad;
}

TEST(RunRecord, KeysAndIds) {
    for (auto outcome : {RunOutcome::Started, RunOutcome::Pass, RunOutcome::Fail, RunOutcome::Error,
                         RunOutcome::Aborted})
        EXPECT_EQ(RunOutcomeFromKey(RunOutcomeKey(outcome)), outcome);
    for (auto outcome : {StepOutcome::Pass, StepOutcome::Fail, StepOutcome::Error,
                         StepOutcome::Aborted, StepOutcome::Skipped})
        EXPECT_EQ(StepOutcomeFromKey(StepOutcomeKey(outcome)), outcome);
    EXPECT_EQ(RunOutcomeFromKey("pass"), std::nullopt);

    RunRecord r;
    r.tokenSerial = "T1";
    EXPECT_EQ(UnitSerial(r), "T1");
    r.labelSerial = "QX-1";
    EXPECT_EQ(UnitSerial(r), "QX-1");

    // 8-4-4-4-12 lower-case hex, version 4, RFC 4122 variant.
    auto v4 = [](const std::string& id) {
        if (id.size() != 36 || id[14] != '4' ||
            std::string_view("89ab").find(id[19]) == std::string_view::npos)
            return false;
        for (std::size_t i = 0; i < id.size(); ++i) {
            const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
            if (dash != (id[i] == '-') ||
                (!dash &&
                 std::string_view("0123456789abcdef").find(id[i]) == std::string_view::npos))
                return false;
        }
        return true;
    };
    std::set<std::string> ids;
    for (int i = 0; i < 100; ++i) {
        const std::string id = NewRunId();
        EXPECT_TRUE(v4(id)) << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 100u);
}

}  // namespace
