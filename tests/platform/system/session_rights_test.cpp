// logind's answer about this process's session and the seat's active one, and
// polkit's about managing a unit, from python3-dbusmock's logind and polkitd templates
// on the private bus; both bounded in time when the service hangs or is not there.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "platform/system/login_session.h"
#include "platform/system/polkit_check.h"
#include "tests/support/systemd_mock.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class SessionRightsTest : public SystemdMockTest {
protected:
    void SetUp() override {
        SystemdMockTest::SetUp();
        if (IsSkipped())
            return;
        std::string why;
        if (!m_mock->AddLoginAndPolkit(&why))
            GTEST_SKIP() << why;
    }
    // logind's GetSessionByPID answers with `session`, or with its error for a
    // process outside every session.
    void SessionOfThisProcess(const std::string& session) {
        const std::string code =
            session.empty() ? "raise dbus.exceptions.DBusException('PID is not in any session', "
                              "name='org.freedesktop.login1.NoSessionForPID')"
                            : "ret = '/org/freedesktop/login1/session/" + session + "'";
        m_mock->Mock(kLogin, kLoginPath, "AddMethod", "sssss", "org.freedesktop.login1.Manager",
                     "GetSessionByPID", "u", "o", code.c_str());
    }
    void AddSession(const char* id, const char* seat, unsigned uid, bool active) {
        m_mock->Mock(kLogin, kLoginPath, "AddSession", "ssusb", id, seat, uid, "user", active);
    }
};

TEST_F(SessionRightsTest, TheSessionOfThisProcessAndTheActiveOneOnTheSeat) {
    AddSession("c1", "seat0", 1000, true);
    SessionOfThisProcess("c1");
    LoginReport report = QueryLoginSessions(getpid());
    ASSERT_TRUE(report.reached) << report.error;
    ASSERT_TRUE(report.own) << report.ownError;
    EXPECT_EQ(report.own->id, "c1");
    EXPECT_EQ(report.own->seat, "seat0");
    EXPECT_EQ(report.own->uid, 1000u);
    EXPECT_TRUE(report.own->active);
    EXPECT_FALSE(report.own->remote);
    ASSERT_TRUE(report.seatActive) << report.seatError;
    EXPECT_EQ(report.seatActive->id, "c1");

    // Someone else's session comes to the front; ours stays, inactive, on the seat.
    m_mock->Mock(kLogin, "/org/freedesktop/login1/session/c1", "UpdateProperties", "sa{sv}",
                 "org.freedesktop.login1.Session", 1, "Active", "b", 0);
    AddSession("c2", "seat0", 1001, true);
    report = QueryLoginSessions(getpid());
    ASSERT_TRUE(report.own);
    EXPECT_FALSE(report.own->active);
    ASSERT_TRUE(report.seatActive);
    EXPECT_EQ(report.seatActive->id, "c2");
    EXPECT_EQ(report.seatActive->uid, 1001u);
}

TEST_F(SessionRightsTest, NoSessionIsAnAnswerAndNoLogindIsNone) {
    SessionOfThisProcess("");
    LoginReport report = QueryLoginSessions(getpid());
    EXPECT_TRUE(report.reached);
    EXPECT_FALSE(report.own);
    EXPECT_NE(report.ownError.find("NoSessionForPID"), std::string::npos) << report.ownError;
    EXPECT_FALSE(report.seatActive);  // the template starts without seats

    EXPECT_TRUE(report.busOpen);

    // A live bus that no logind is on: the bus answers for it, and that is told apart
    // from no bus at all.
    SystemdMock bare;
    ASSERT_TRUE(bare.Start()) << bare.SkipReason();
    UseBusAddress(bare.Address());
    report = QueryLoginSessions(getpid());
    EXPECT_TRUE(report.busOpen);
    EXPECT_FALSE(report.reached);
    EXPECT_NE(report.error.find("org.freedesktop.DBus.Error."), std::string::npos) << report.error;

    UseBusAddress(m_mock->DeadAddress());
    report = QueryLoginSessions(getpid());
    EXPECT_FALSE(report.busOpen);
    EXPECT_FALSE(report.reached);
    EXPECT_NE(report.error.find("system bus"), std::string::npos) << report.error;
}

TEST_F(SessionRightsTest, PolkitSaysYesNoOrNothingWithinItsTime) {
    const std::vector<std::pair<std::string, std::string>> details = {{"unit", "Keywarden.service"},
                                                                      {"verb", "stop"}};
    PolkitAnswer answer = CheckPolkitAuthorization(kManageUnitsAction, details);
    ASSERT_TRUE(answer.reached) << answer.error;
    EXPECT_FALSE(answer.authorized);

    m_mock->Mock(kPolkit, kPolkitPath, "SetAllowed", "as", 1, kManageUnitsAction);
    answer = CheckPolkitAuthorization(kManageUnitsAction, details);
    EXPECT_TRUE(answer.reached);
    EXPECT_TRUE(answer.authorized);

    // A polkit that never answers costs the time-out, no more and no less.
    m_mock->Mock(kPolkit, kPolkitPath, "SimulateHang", "b", 1);
    const auto start = Clock::now();
    answer = CheckPolkitAuthorization(kManageUnitsAction, details, 300ms);
    const auto took = Clock::now() - start;
    m_mock->Mock(kPolkit, kPolkitPath, "SimulateHang", "b", 0);
    m_mock->Mock(kPolkit, kPolkitPath, "ReleaseHangingCalls", "");
    EXPECT_FALSE(answer.reached);
    EXPECT_NE(answer.error.find("no answer"), std::string::npos) << answer.error;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 2s);
}

}  // namespace
