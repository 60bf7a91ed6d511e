#include "app/hid_service.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/process/trace.h"
#include "tests/support/systemd_mock.h"

namespace {

constexpr const char* kNoManager = "[KEYWARDEN]Can't Open SCManager!";

class HidServiceTest : public SystemdMockTest {
protected:
    HintBox Recorder() {
        return [this](const std::string& text, const std::string& caption) {
            m_boxes.emplace_back(text, caption);
        };
    }

    HidManager m_manager;
    TraceCapture m_trace;
    std::unique_ptr<IServiceControl> m_scm = MakeSystemdServiceControl();
    std::vector<std::pair<std::string, std::string>> m_boxes;
};

TEST_F(HidServiceTest, NoSystemBusTracesAtStartAndExit) {
    UseBusAddress(m_mock->DeadAddress());

    StopHidService(&m_manager, *m_scm, Recorder());
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_FALSE(m_manager.m_bServiceStopped);
    EXPECT_EQ(m_trace.Lines(), std::vector<std::string>{kNoManager});

    // Exit only tries when start stopped the service; force that to reach the manager.
    m_manager.m_bServiceStopped = true;
    RestartHidService(&m_manager, *m_scm);
    EXPECT_EQ(m_trace.Count(kNoManager), 2u);
    EXPECT_TRUE(m_manager.m_bServiceStopped);
}

TEST_F(HidServiceTest, AbsentUnitIsSilent) {
    m_mock->AddUnit("Other.service", "active");

    StopHidService(&m_manager, *m_scm, Recorder());
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_FALSE(m_manager.m_bServiceStopped);

    RestartHidService(&m_manager, *m_scm);
    m_manager.m_bServiceStopped = true;
    RestartHidService(&m_manager, *m_scm);

    EXPECT_TRUE(m_trace.Lines().empty());
    EXPECT_TRUE(m_mock->Calls("StopUnit").empty());
    EXPECT_TRUE(m_mock->Calls("StartUnit").empty());
}

TEST_F(HidServiceTest, RunningUnitIsStoppedWithHintAndStartedAtExit) {
    // Anything but inactive or failed counts as running, transitions included.
    for (const char* state : {"active", "activating", "deactivating", "reloading"}) {
        SCOPED_TRACE(state);
        m_mock->Reset();
        m_mock->AddUnit(kKeywardenUnit, state);
        HidManager manager;
        m_boxes.clear();

        StopHidService(&manager, *m_scm, Recorder());
        ASSERT_EQ(m_boxes.size(), 1u);
        EXPECT_EQ(m_boxes[0].first, "For Quillon, Orvane Keywarden Service\nHas been stopped.");
        EXPECT_EQ(m_boxes[0].second, "Hint");
        EXPECT_TRUE(manager.m_bServiceStopped);
        EXPECT_EQ(m_mock->Calls("StopUnit"),
                  (std::vector<std::vector<std::string>>{{kKeywardenUnit, "replace"}}));
        EXPECT_EQ(m_mock->ActiveState(kKeywardenUnit), "inactive");
        EXPECT_TRUE(m_mock->Calls("StartUnit").empty());

        RestartHidService(&manager, *m_scm);
        EXPECT_EQ(m_mock->Calls("StartUnit"),
                  (std::vector<std::vector<std::string>>{{kKeywardenUnit, "replace"}}));
        EXPECT_EQ(m_mock->ActiveState(kKeywardenUnit), "active");
        EXPECT_TRUE(manager.m_bServiceStopped);
    }
    EXPECT_TRUE(m_trace.Lines().empty());
}

TEST_F(HidServiceTest, StoppedUnitIsLeftAlone) {
    for (const char* state : {"inactive", "failed"}) {
        SCOPED_TRACE(state);
        m_mock->Reset();
        m_mock->AddUnit(kKeywardenUnit, state);

        StopHidService(&m_manager, *m_scm, Recorder());
        RestartHidService(&m_manager, *m_scm);

        EXPECT_TRUE(m_boxes.empty());
        EXPECT_FALSE(m_manager.m_bServiceStopped);
        EXPECT_TRUE(m_mock->Calls("StopUnit").empty());
        EXPECT_TRUE(m_mock->Calls("StartUnit").empty());
    }
    EXPECT_TRUE(m_trace.Lines().empty());
}

TEST_F(HidServiceTest, RefusedStopIsTracedNotReportedAsStopped) {
    m_mock->AddUnit(kKeywardenUnit, "active");
    m_mock->OverrideManagerMethod("StopUnit", "ss", "o",
                                  "raise dbus.exceptions.DBusException('Access denied', "
                                  "name='org.freedesktop.DBus.Error.AccessDenied')");

    StopHidService(&m_manager, *m_scm, Recorder());
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_FALSE(m_manager.m_bServiceStopped);
    EXPECT_EQ(m_mock->Calls("StopUnit").size(), 1u);
    const auto lines = m_trace.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("[KEYWARDEN] ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(kKeywardenUnit), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("AccessDenied"), std::string::npos) << lines[0];

    RestartHidService(&m_manager, *m_scm);
    EXPECT_TRUE(m_mock->Calls("StartUnit").empty());
    EXPECT_EQ(m_mock->ActiveState(kKeywardenUnit), "active");
}

}  // namespace
