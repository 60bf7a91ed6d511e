#pragma once

// A main dialog that records every call with its time, and lets a test wait until
// a given number of calls has arrived.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "receiver/main_dialog.h"

struct DialogCall {
    enum Kind { IrStatus, GameStatus, Highlight, Clear, TokenResult, TokenTaken };
    Kind kind;
    int value = 0;       // status, key id or token result
    std::string digits;  // TokenTaken only
    std::chrono::steady_clock::time_point at;

    bool operator==(const DialogCall& o) const {
        return kind == o.kind && value == o.value && digits == o.digits;
    }
};

std::string Describe(const DialogCall& call);
std::string Describe(const std::vector<DialogCall>& calls);

DialogCall HighlightCall(int key);
DialogCall ClearCall();
DialogCall ResultCall(int result);
DialogCall TakenCall(std::string digits);
DialogCall IrStatusCall(int status);
DialogCall GameStatusCall(int status);

class RecordingDialog : public IMainDialog {
public:
    void ShowIrStatus(int status) override;
    void ShowGameStatus(int status) override;
    void HighlightKey(KeyId key) override;
    void ClearHighlight() override;
    void ShowTokenResult(int result) override;
    void OnTokenTaken(const char* digits) override;

    std::vector<DialogCall> Calls() const;
    // Waits until `pred(calls)` holds; returns false on time-out.
    template <typename Pred>
    bool WaitUntil(Pred pred, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return pred(m_calls); });
    }
    bool WaitForCount(std::size_t n,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        return WaitUntil([n](const std::vector<DialogCall>& c) { return c.size() >= n; }, timeout);
    }
    void Clear();

private:
    void Record(DialogCall call);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<DialogCall> m_calls;
};
