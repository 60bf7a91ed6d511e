#pragma once

// What the receiver and decoding layers report, as the terminal program takes it: the
// same interface the main dialog implements, turned into timestamped events (lines
// or JSON Lines) and a running summary. A token frame takes the main dialog's step
// (service/token_taken): to the calibration, and verified on the IR dispatcher thread
// when asked.
//
// Every operation may come from a worker thread; events are written whole, one at a
// time.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "receiver/main_dialog.h"

class OutputWriter;

class TerminalDialog : public IMainDialog {
public:
    struct Settings {
        bool print = true;    // write events at all (watch), or only collect (verify, calibrate)
        bool json = false;    // JSON Lines instead of text
        bool verify = false;  // verify every frame with the token service
        // Where events go; none: stdout directly (only where nothing is printed).
        OutputWriter* output = nullptr;
    };
    struct Frame {
        int result = 0;  // TokenResult
        std::string serial;
        std::string password;
    };

    explicit TerminalDialog(Settings settings);

    void ShowIrStatus(int status) override;
    void ShowGameStatus(int status) override;
    void HighlightKey(KeyId key) override;
    void ClearHighlight() override;
    void ShowTokenResult(int result) override;
    void OnTokenTaken(const char* digits) override;

    // Called with every frame, successful or not, after its event was written.
    void SetFrameHook(std::function<void(const Frame&)> hook);

    // The summary line (or object): keys, repeats, repeat intervals, frames by outcome.
    void WriteSummary();

private:
    // One event, as a text line or as a JSON object; m_mutex held.
    void Event(const std::string& text, nlohmann::json object);
    void ReceiverEvent(bool ir, int status);
    void KeyUp();  // of m_held; m_mutex held

    const Settings m_settings;
    std::mutex m_mutex;  // one event at a time; guards everything below
    std::function<void(const Frame&)> m_frameHook;
    int m_irStatus = -1;
    int m_gameStatus = -1;
    KeyId m_held = 0;
    double m_lastCodeAt = 0;
    std::uint64_t m_keys = 0;
    std::uint64_t m_repeats = 0;
    double m_repeatSum = 0;
    double m_repeatMax = 0;
    std::map<int, std::uint64_t> m_frames;  // by TokenResult
};
