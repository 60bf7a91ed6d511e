#include "platform/system/service_control.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "tests/support/systemd_mock.h"

namespace {

using Open = IServiceControl::Open;
constexpr const char* kUnit = "Keywarden.service";

class ServiceControlTest : public SystemdMockTest {
protected:
    std::unique_ptr<IServiceControl> m_scm = MakeSystemdServiceControl();
};

TEST_F(ServiceControlTest, OnlyLoadedUnitsOpen) {
    // systemd's LoadUnit answers any name; the load state tells installed from not.
    EXPECT_EQ(m_scm->OpenService(kUnit), Open::NoService);
    EXPECT_NE(m_scm->LastError().find("not-found"), std::string::npos) << m_scm->LastError();

    m_mock->AddUnit(kUnit, "active");
    m_mock->SetUnitProperty(kUnit, "LoadState", "masked");
    EXPECT_EQ(m_scm->OpenService(kUnit), Open::NoService);

    m_mock->SetUnitProperty(kUnit, "LoadState", "loaded");
    EXPECT_EQ(m_scm->OpenService(kUnit), Open::Ok);
    EXPECT_FALSE(m_scm->IsStopped());
    // Opening again replaces the first connection rather than failing on it.
    EXPECT_EQ(m_scm->OpenService(kUnit), Open::Ok);
    EXPECT_TRUE(m_scm->Stop());
    EXPECT_TRUE(m_scm->IsStopped());
}

TEST_F(ServiceControlTest, NothingIsSentWithoutAnOpenUnit) {
    m_mock->AddUnit(kUnit, "active");
    EXPECT_FALSE(m_scm->Stop());
    EXPECT_FALSE(m_scm->Start());
    EXPECT_FALSE(m_scm->IsStopped());

    ASSERT_EQ(m_scm->OpenService(kUnit), Open::Ok);
    m_scm->Close();
    EXPECT_FALSE(m_scm->Stop());
    EXPECT_TRUE(m_mock->Calls("StopUnit").empty());
}

TEST_F(ServiceControlTest, FailedStateQueryCountsAsNotStopped) {
    m_mock->AddUnit(kUnit, "inactive");
    ASSERT_EQ(m_scm->OpenService(kUnit), Open::Ok);
    EXPECT_TRUE(m_scm->IsStopped());

    m_mock->RemoveUnit(kUnit);
    EXPECT_FALSE(m_scm->IsStopped());
    EXPECT_FALSE(m_scm->LastError().empty());
}

// A bus that accepts the connection and never answers must not hold up start or exit
// for sd-bus's own time-outs (tens of seconds).
TEST_F(ServiceControlTest, SilentBusGivesUpAfterTheTimeout) {
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/quillon-silent-%d",
                  static_cast<int>(getpid()));
    unlink(address.sun_path);
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
    ASSERT_EQ(listen(listener, 4), 0);
    UseBusAddress(std::string("unix:path=") + address.sun_path);

    auto scm = MakeSystemdServiceControl(std::chrono::milliseconds(500));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(scm->OpenService(kUnit), Open::NoManager);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(500));
    EXPECT_LT(waited, std::chrono::milliseconds(500 + 300));
    // What the program's own start and exit use.
    EXPECT_EQ(kServiceCallTimeout, std::chrono::seconds(3));

    close(listener);
    unlink(address.sun_path);
}

}  // namespace
