// The calibration steps without Qt, on a fake clock: the waits and the time-out are
// met to the millisecond from both sides, which the dialog's tests on real timers can
// only bound from one.

#include "service/token_calibration.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/process/trace.h"
#include "service/http_transport.h"
#include "service/status.h"
#include "service/token_verification.h"

namespace {

using namespace std::chrono_literals;
using ms = std::chrono::milliseconds;

constexpr const char* kStatusWait = "请等待30秒再输入令匙键";
constexpr const char* kStatusAgain = "请再次输入令匙键";
constexpr const char* kStatusSame = "两次密码相同，请等待30秒再试";

// A front end whose timers run on a clock the test moves, and whose thread is the
// test's: posted calls run only inside RunUntil().
class FakeFrontEnd : public ICalibrationDialog {
public:
    void FieldsChanged() override {
        OnFrontThread();
        m_refreshes++;
    }
    void EnableSecondInput(bool enable) override {
        OnFrontThread();
        m_secondEnabled = enable;
    }
    void ShowVerdict(CalibrationVerdict verdict) override {
        OnFrontThread();
        m_verdicts.push_back({verdict, m_now});
    }
    void Closed() override {
        OnFrontThread();
        m_closed++;
    }
    void SetTimer(int id, ms period) override {
        OnFrontThread();
        m_timers[id] = {period, m_now + period};
    }
    void KillTimer(int id) override {
        OnFrontThread();
        m_timers.erase(id);
    }
    void Post(std::function<void()> call) override {
        {
            std::lock_guard lock(m_mutex);
            m_posted.push_back(std::move(call));
        }
        m_cv.notify_all();
    }

    // Moves the clock to `to`, firing every timer that falls due on the way, in time
    // order; a repeating timer fires once per period.
    void AdvanceTo(ms to) {
        for (;;) {
            auto next = m_timers.end();
            for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
                if (it->second.due <= to &&
                    (next == m_timers.end() || it->second.due < next->second.due))
                    next = it;
            }
            if (next == m_timers.end())
                break;
            m_now = next->second.due;
            next->second.due += next->second.period;
            m_calibration->OnTimer(next->first);
        }
        m_now = to;
    }

    // Runs posted calls as they come until `done` holds; false after 5 s without it.
    bool RunUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!done()) {
            std::function<void()> call;
            {
                std::unique_lock lock(m_mutex);
                if (!m_cv.wait_until(lock, deadline, [&] { return !m_posted.empty(); }))
                    return done();
                call = std::move(m_posted.front());
                m_posted.pop_front();
            }
            call();
        }
        return true;
    }

    struct Timer {
        ms period;
        ms due;
    };
    struct Verdict {
        CalibrationVerdict verdict;
        ms at;
    };

    TokenCalibration* m_calibration = nullptr;
    ms m_now{0};
    std::map<int, Timer> m_timers;
    int m_refreshes = 0;
    bool m_secondEnabled = true;
    std::vector<Verdict> m_verdicts;
    int m_closed = 0;

private:
    void OnFrontThread() const {
        EXPECT_EQ(std::this_thread::get_id(), m_thread) << "a worker called the front end";
    }

    const std::thread::id m_thread = std::this_thread::get_id();
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_posted;
};

// A service call that records its strings and answers 0 once the test opens the gate
// (or the test ends); after 5 s it fails as a call that was never answered.
class HeldService {
public:
    ~HeldService() { Open(); }

    TokenCalibration::ServiceCall Call() {
        return [this](CUserAndHardwareService&, const char16_t* sn, const char16_t* dp1,
                      const char16_t* dp2, std::int32_t* result) {
            std::unique_lock lock(m_mutex);
            m_requests.push_back({sn, dp1, dp2});
            m_cv.notify_all();
            if (!m_cv.wait_for(lock, 5s, [&] { return m_open; }))
                return E_FAIL;
            *result = 0;
            return S_OK;
        };
    }
    void Open() {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_cv.notify_all();
    }
    bool WaitForRequest() {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, 5s, [&] { return !m_requests.empty(); });
    }
    std::vector<std::vector<std::u16string>> Requests() {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = false;
    std::vector<std::vector<std::u16string>> m_requests;
};

class TokenCalibrationTest : public ::testing::Test {
protected:
    TokenCalibrationTest() {
        g_bCalibrating = false;
        m_calibration.SetServiceCall(m_service.Call());
        m_front.m_calibration = &m_calibration;
    }
    ~TokenCalibrationTest() override { g_bCalibrating = false; }

    // A frame arrives at the current fake time and the step it makes runs, at once: the
    // waiter wakes at the frame, not at the end of its sleep (a second).
    void Press(const char* password, const char* status) {
        const auto put = std::chrono::steady_clock::now();
        m_box.Put("111111111", password);
        ASSERT_TRUE(m_front.RunUntil([&] { return m_calibration.Status() == status; })) << status;
        EXPECT_LT(std::chrono::steady_clock::now() - put, 500ms);
    }
    // Nothing can take a frame now: no waiter runs between two waits.
    void PressDuringWait(const char* password) {
        m_box.Put("111111111", password);
        EXPECT_EQ(m_box.Peek().password, password);
    }

    TraceCapture m_trace;
    FakeFrontEnd m_front;
    TokenFrameBox m_box;
    // The real periods, 30 s between the inputs and 120 s from the first.
    TokenCalibration m_calibration{m_front, {}, m_box};
    HeldService m_service;  // opened before the calibration ends
};

TEST_F(TokenCalibrationTest, EqualPasswordsWaitAWholePeriodAgainAndSendingStopsTheTimeOut) {
    m_calibration.Start();
    EXPECT_TRUE(g_bCalibrating);
    EXPECT_FALSE(m_front.m_secondEnabled);
    EXPECT_TRUE(m_front.m_timers.empty()) << "no limit before the first input";

    m_front.AdvanceTo(10s);
    Press("22222222", kStatusWait);
    m_front.AdvanceTo(40s - 1ms);
    EXPECT_EQ(m_calibration.Status(), kStatusWait);
    EXPECT_FALSE(m_front.m_secondEnabled);
    m_front.AdvanceTo(40s);
    EXPECT_EQ(m_calibration.Status(), kStatusAgain);
    EXPECT_TRUE(m_front.m_secondEnabled);

    m_front.AdvanceTo(50s);
    Press("22222222", kStatusSame);
    EXPECT_EQ(m_calibration.Step(), 2);
    EXPECT_EQ(m_calibration.SecondPassword(), "");

    // A press during the new wait is held, not rejected, and the wait is a whole
    // period from the equal input, not the rest of the running one.
    m_front.AdvanceTo(55s);
    PressDuringWait("33333333");
    m_front.AdvanceTo(80s - 1ms);
    EXPECT_EQ(m_calibration.Status(), kStatusSame);
    EXPECT_EQ(m_calibration.Step(), 2);
    m_front.AdvanceTo(80s);
    ASSERT_TRUE(m_front.RunUntil([&] { return m_calibration.SecondPassword() == "33333333"; }));
    ASSERT_TRUE(m_service.WaitForRequest());
    EXPECT_TRUE(m_front.m_timers.empty()) << "sending stops both timers";

    m_front.AdvanceTo(400s);  // far past the time-out: it no longer applies
    EXPECT_TRUE(m_front.m_verdicts.empty());
    m_service.Open();
    ASSERT_TRUE(m_front.RunUntil([&] { return m_front.m_closed == 1; }));
    ASSERT_EQ(m_front.m_verdicts.size(), 1u);
    EXPECT_EQ(m_front.m_verdicts[0].verdict, CalibrationVerdict::Passed);
    EXPECT_FALSE(g_bCalibrating);
    const auto requests = m_service.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], (std::vector<std::u16string>{u"111111111", u"22222222", u"33333333"}));
    EXPECT_EQ(m_trace.Count("[KEYWARDEN] ThirdInput DP=33333333"), 1u);
}

TEST_F(TokenCalibrationTest, TimeOutEndsItExactlyOnePeriodAfterTheFirstInput) {
    m_calibration.Start();
    m_front.AdvanceTo(10s);
    Press("22222222", kStatusWait);
    m_front.AdvanceTo(40s);
    ASSERT_TRUE(m_front.RunUntil([&] { return m_calibration.Status() == kStatusAgain; }));
    Press("22222222", kStatusSame);  // restarts the wait, not the time-out

    // The waits go on ending; the third waiter waits through them.
    m_front.AdvanceTo(130s - 1ms);
    EXPECT_TRUE(m_front.m_verdicts.empty());
    EXPECT_EQ(m_front.m_closed, 0);
    EXPECT_TRUE(g_bCalibrating);

    m_front.AdvanceTo(130s);
    ASSERT_EQ(m_front.m_verdicts.size(), 1u);
    EXPECT_EQ(m_front.m_verdicts[0].verdict, CalibrationVerdict::TimedOut);
    EXPECT_EQ(m_front.m_verdicts[0].at, 130s);
    EXPECT_EQ(m_front.m_closed, 1);
    EXPECT_FALSE(g_bCalibrating);
    EXPECT_TRUE(m_front.m_timers.empty());
    EXPECT_TRUE(m_service.Requests().empty());

    // Every waiter has ended: a later frame stays where the front end put it.
    PressDuringWait("44444444");
    m_front.AdvanceTo(400s);
    EXPECT_EQ(m_front.m_closed, 1);
    EXPECT_EQ(m_front.m_verdicts.size(), 1u);
}

// Verification and calibration both build their client here, with the real limits:
// each call ends within one minute in all, connect included.
TEST(FlowClient, CarriesTheRealLimits) {
    const CUserAndHardwareService::Timeouts limits = MakeFlowClient()->Limits();
    EXPECT_EQ(limits.connect, 60s);
    EXPECT_EQ(limits.stall, 30s);
    EXPECT_EQ(limits.deadline, 60s);
}

}  // namespace
