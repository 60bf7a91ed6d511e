#pragma once

// Fakes for the window layer's tests: a service manager and receiver threads that
// write what happens into one shared, ordered log, and a recorder of message boxes.

#include <QApplication>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/main_dlg.h"
#include "app/message_box.h"
#include "platform/process/running.h"
#include "platform/system/service_control.h"

class EventLog {
public:
    void Add(std::string e) {
        {
            std::lock_guard lock(m_mutex);
            m_events.push_back(std::move(e));
        }
        m_changed.notify_all();
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_events.clear();
    }
    std::vector<std::string> Events() const {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    // Position of the first event `e`, or -1.
    int IndexOf(const std::string& e) const {
        std::lock_guard lock(m_mutex);
        for (std::size_t i = 0; i < m_events.size(); ++i) {
            if (m_events[i] == e)
                return static_cast<int>(i);
        }
        return -1;
    }
    bool WaitFor(const std::string& e, std::chrono::milliseconds t = std::chrono::seconds(5)) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, t, [&] {
            for (const auto& x : m_events) {
                if (x == e)
                    return true;
            }
            return false;
        });
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_events;
};

class FakeServiceControl : public IServiceControl {
public:
    explicit FakeServiceControl(EventLog& log) : m_log(log) {}
    Open OpenService(const std::string&) override {
        m_log.Add("service open");
        return m_open;
    }
    bool IsStopped() override { return m_stopped; }
    bool Stop() override {
        m_log.Add("service stop");
        return true;
    }
    bool Start() override {
        m_log.Add("service start");
        return true;
    }
    void Close() override {}
    std::string LastError() const override { return {}; }

    Open m_open = Open::Ok;
    bool m_stopped = false;

private:
    EventLog& m_log;
};

// A receiver thread body that reports, runs until the stop, and, when `lingerAfterStop`
// is set, takes that long to wind down (a slow thread is what the exit order is
// tested against).
class FakeReceiver {
public:
    FakeReceiver(EventLog& log, std::string name) : m_log(log), m_name(std::move(name)) {}

    CMainDlg::ReceiverBody Body(std::chrono::milliseconds lingerAfterStop = {}) {
        return [this, lingerAfterStop](IMainDialog*) -> unsigned {
            std::mutex m;
            std::condition_variable cv;
            struct Ctx {
                std::mutex* m;
                std::condition_variable* cv;
            } ctx{&m, &cv};
            const int id = AddRunWaker(
                [](void* c) {
                    auto* x = static_cast<Ctx*>(c);
                    std::lock_guard lock(*x->m);
                    x->cv->notify_all();
                },
                &ctx);
            m_log.Add(m_name + " begin");
            {
                std::unique_lock lock(m);
                cv.wait(lock, [] { return !g_bRunning.load(); });
            }
            RemoveRunWaker(id);
            if (lingerAfterStop.count() > 0)
                std::this_thread::sleep_for(lingerAfterStop);
            m_log.Add(m_name + " end");
            return 0;
        };
    }

private:
    EventLog& m_log;
    std::string m_name;
};

struct BoxCall {
    QString text;
    QString caption;
    BoxIcon icon;
    BoxButtons buttons;
};

// Answers every message box with `answer` and records it; restores the real boxes
// when destroyed.
class BoxRecorder {
public:
    explicit BoxRecorder(EventLog* log = nullptr) : m_log(log) {
        SetMessageBoxHook(
            [this](const QString& text, const QString& caption, BoxIcon icon, BoxButtons buttons) {
                m_calls.push_back({text, caption, icon, buttons});
                if (m_log)
                    m_log->Add("box " + caption.toStdString());
                return buttons == BoxButtons::YesNo ? m_answer : BoxAnswer::Ok;
            });
    }
    ~BoxRecorder() { SetMessageBoxHook({}); }
    BoxRecorder(const BoxRecorder&) = delete;
    BoxRecorder& operator=(const BoxRecorder&) = delete;

    std::vector<BoxCall> m_calls;
    BoxAnswer m_answer = BoxAnswer::Yes;

private:
    EventLog* m_log;
};

// Processes events until `pred` holds or `timeout` passes.
inline bool WaitUntil(const std::function<bool()>& pred,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}
