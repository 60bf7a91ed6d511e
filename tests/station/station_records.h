#pragma once

// Records for the station's store tests: one with every field set, and a comparison
// that names the field that differs.

#include <gtest/gtest.h>

#include "station/run_record.h"

inline RunRecord FullRecord(const std::string& serial = "QL-000123",
                            UtcMicros started = 1'797'000'000'000'000) {
    RunRecord r;
    r.id = NewRunId();
    r.station = "line 1 / bench 2";
    r.operatorId = "op-17";
    r.labelSerial = serial;
    r.tokenSerial = "T98765";
    r.started = started;
    r.ended = started + 42'123'456;
    r.version = "0.1";
    r.outcome = RunOutcome::Fail;
    r.failedStep = "keys";
    r.why = "key VOL+ was never pressed";
    r.exitStatus = 3;
    r.receivers = {{"ir", "working", "/dev/hidraw3", "1-2:1.0", 0x1d57, 0xad03},
                   {"game", "absent", "", "", 0, 0}};
    r.steps = {{"receivers", StepOutcome::Pass, "", 0, started, started + 1000},
               {"keys", StepOutcome::Fail, "key VOL+ was never pressed", 3, started + 1000,
                started + 30'000'000},
               {"token", StepOutcome::Skipped, "", 0, 0, 0}};
    KeyRecord ok{1, "POWER", 2, 840, {120, 95}, false, false, false};
    KeyRecord missing{7, "VOL+", 0, std::nullopt, {}, true, false, false};
    KeyRecord stuck{9, "OK", 1, 2000, {6100}, false, false, true};
    r.keys = {ok, missing, stuck};
    r.decodeResult = 0;
    r.serviceCalls = {{"verify", "passed", 0, started + 31'000'000},
                      {"calibrate", "unreachable", std::nullopt, started + 32'000'000}};
    r.calibration = "failed: no answer";
    r.passwords = {"123456", "654321"};
    return r;
}

inline void ExpectSameRecord(const RunRecord& want, const RunRecord& got) {
    EXPECT_EQ(want.id, got.id);
    EXPECT_EQ(want.station, got.station);
    EXPECT_EQ(want.operatorId, got.operatorId);
    EXPECT_EQ(want.labelSerial, got.labelSerial);
    EXPECT_EQ(want.tokenSerial, got.tokenSerial);
    EXPECT_EQ(want.started, got.started);
    EXPECT_EQ(want.ended, got.ended);
    EXPECT_EQ(want.version, got.version);
    EXPECT_EQ(RunOutcomeKey(want.outcome), RunOutcomeKey(got.outcome));
    EXPECT_EQ(want.failedStep, got.failedStep);
    EXPECT_EQ(want.why, got.why);
    EXPECT_EQ(want.exitStatus, got.exitStatus);
    EXPECT_EQ(want.retest, got.retest);
    EXPECT_EQ(want.decodeResult, got.decodeResult);
    EXPECT_EQ(want.calibration, got.calibration);
    EXPECT_EQ(want.passwords, got.passwords);
    ASSERT_EQ(want.receivers.size(), got.receivers.size());
    for (std::size_t i = 0; i < want.receivers.size(); ++i) {
        const ReceiverRecord &a = want.receivers[i], &b = got.receivers[i];
        EXPECT_EQ(a.role, b.role) << "receiver " << i;
        EXPECT_EQ(a.state, b.state) << "receiver " << i;
        EXPECT_EQ(a.node, b.node) << "receiver " << i;
        EXPECT_EQ(a.usbPath, b.usbPath) << "receiver " << i;
        EXPECT_EQ(a.vendor, b.vendor) << "receiver " << i;
        EXPECT_EQ(a.product, b.product) << "receiver " << i;
    }
    ASSERT_EQ(want.steps.size(), got.steps.size());
    for (std::size_t i = 0; i < want.steps.size(); ++i) {
        const StepRecord &a = want.steps[i], &b = got.steps[i];
        EXPECT_EQ(a.name, b.name) << "step " << i;
        EXPECT_EQ(StepOutcomeKey(a.outcome), StepOutcomeKey(b.outcome)) << "step " << i;
        EXPECT_EQ(a.why, b.why) << "step " << i;
        EXPECT_EQ(a.code, b.code) << "step " << i;
        EXPECT_EQ(a.started, b.started) << "step " << i;
        EXPECT_EQ(a.ended, b.ended) << "step " << i;
    }
    ASSERT_EQ(want.keys.size(), got.keys.size());
    for (std::size_t i = 0; i < want.keys.size(); ++i) {
        const KeyRecord &a = want.keys[i], &b = got.keys[i];
        EXPECT_EQ(a.id, b.id) << "key " << i;
        EXPECT_EQ(a.name, b.name) << "key " << i;
        EXPECT_EQ(a.presses, b.presses) << "key " << i;
        EXPECT_EQ(a.firstPressMs, b.firstPressMs) << "key " << i;
        EXPECT_EQ(a.durationsMs, b.durationsMs) << "key " << i;
        EXPECT_EQ(a.missing, b.missing) << "key " << i;
        EXPECT_EQ(a.doubled, b.doubled) << "key " << i;
        EXPECT_EQ(a.stuck, b.stuck) << "key " << i;
    }
    ASSERT_EQ(want.serviceCalls.size(), got.serviceCalls.size());
    for (std::size_t i = 0; i < want.serviceCalls.size(); ++i) {
        const ServiceCallRecord &a = want.serviceCalls[i], &b = got.serviceCalls[i];
        EXPECT_EQ(a.kind, b.kind) << "service call " << i;
        EXPECT_EQ(a.outcome, b.outcome) << "service call " << i;
        EXPECT_EQ(a.result, b.result) << "service call " << i;
        EXPECT_EQ(a.at, b.at) << "service call " << i;
    }
}
