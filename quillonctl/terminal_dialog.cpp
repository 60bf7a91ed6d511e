#include "quillonctl/terminal_dialog.h"

#include <algorithm>
#include <cstdio>

#include "decode/status_texts.h"
#include "quillonctl/ctl.h"
#include "quillonctl/output_writer.h"
#include "quillonctl/texts.h"
#include "receiver/key_names.h"
#include "receiver/types.h"
#include "service/token_taken.h"
#include "service/token_verification.h"

namespace {

const char* ReceiverState(int status) {
    switch (status) {
        case RECEIVER_READING:
            return "open";
        case RECEIVER_WAITING:
            return "absent";
        case RECEIVER_ENDED:
            return "lost";
    }
    return "unknown";
}

const char* ResultKey(int result) {
    switch (result) {
        case TOKEN_OK:
            return "ok";
        case TOKEN_TIMEOUT:
            return "timeout";
        case TOKEN_INTERRUPTED:
            return "interrupted";
        case TOKEN_ILLEGAL:
            return "illegal";
        case TOKEN_BAD_LENGTH:
            return "bad_length";
    }
    return "unknown";
}

std::string KeyText(KeyId key) {
    const std::string_view name = KeyName(key);
    return std::to_string(key) + (name.empty() ? "" : " (" + std::string(name) + ")");
}

}  // namespace

TerminalDialog::TerminalDialog(Settings settings) : m_settings(settings) {}

void TerminalDialog::SetFrameHook(std::function<void(const Frame&)> hook) {
    std::lock_guard lock(m_mutex);
    m_frameHook = std::move(hook);
}

void TerminalDialog::Event(const std::string& text, nlohmann::json object) {
    if (!m_settings.print)
        return;
    const double t = MonotonicSeconds();
    std::string line;
    if (m_settings.json) {
        object["t"] = t;
        line = JsonText(object) + "\n";
    } else {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%10.3f] ", t);
        line = stamp + text + "\n";
    }
    // Only queued: a stdout nobody reads never holds up a receiver or the stop.
    if (m_settings.output != nullptr) {
        m_settings.output->Write(std::move(line));
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void TerminalDialog::ReceiverEvent(bool ir, int status) {
    std::lock_guard lock(m_mutex);
    int& last = ir ? m_irStatus : m_gameStatus;
    // The search repeats "not found" while it waits; one line per change is enough.
    if (status == last)
        return;
    last = status;
    const char* text = ir ? IrStatusText(status) : GameStatusText(status);
    Event(ShownStatus(text), {{"event", "receiver"},
                              {"receiver", ir ? "ir" : "game"},
                              {"state", ReceiverState(status)},
                              {"status", status},
                              {"status_text", text}});
}

void TerminalDialog::ShowIrStatus(int status) {
    ReceiverEvent(true, status);
}

void TerminalDialog::ShowGameStatus(int status) {
    ReceiverEvent(false, status);
}

void TerminalDialog::HighlightKey(KeyId key) {
    std::lock_guard lock(m_mutex);
    const double now = MonotonicSeconds();
    const char* source = key >= FIRST_GAME_KEY_ID && key <= LAST_GAME_KEY_ID ? "game" : "ir";
    nlohmann::json object = {
        {"event", "key"}, {"source", source}, {"key", key}, {"name", std::string(KeyName(key))}};
    if (key == m_held) {
        // Each code of a held key highlights it again: that is its repeat.
        const double interval = (now - m_lastCodeAt) * 1000.0;
        m_lastCodeAt = now;
        ++m_repeats;
        m_repeatSum += interval;
        m_repeatMax = std::max(m_repeatMax, interval);
        object["action"] = "repeat";
        object["interval_ms"] = interval;
        Event(Format(Translate("quillonctl", "key repeat %s after %.0f ms"), KeyText(key).c_str(),
                     interval),
              std::move(object));
        return;
    }
    if (m_held != 0)
        KeyUp();
    m_held = key;
    m_lastCodeAt = now;
    ++m_keys;
    object["action"] = "down";
    Event(Format(Translate("quillonctl", "key down %s"), KeyText(key).c_str()), std::move(object));
}

void TerminalDialog::KeyUp() {
    Event(Format(Translate("quillonctl", "key up %s"), KeyText(m_held).c_str()),
          {{"event", "key"},
           {"action", "up"},
           {"key", m_held},
           {"name", std::string(KeyName(m_held))}});
}

void TerminalDialog::ClearHighlight() {
    std::lock_guard lock(m_mutex);
    if (m_held == 0)
        return;
    KeyUp();
    m_held = 0;
}

void TerminalDialog::ShowTokenResult(int result) {
    std::function<void(const Frame&)> hook;
    Frame frame{result, {}, {}};
    {
        std::lock_guard lock(m_mutex);
        // A successful frame is written with its digits, which come next.
        if (result == TOKEN_OK)
            return;
        ++m_frames[result];
        const char* text = TokenResultText(result);
        Event(Format(Translate("quillonctl", "token %s"), ShownStatus(text)),
              {{"event", "token"}, {"outcome", ResultKey(result)}, {"outcome_text", text}});
        hook = m_frameHook;
    }
    if (hook)
        hook(frame);
}

void TerminalDialog::OnTokenTaken(const char* digits) {
    if (digits == nullptr)
        return;
    std::function<void(const Frame&)> hook;
    TokenTakenSteps steps;
    steps.verify = m_settings.verify;
    steps.show = [&](const TakenToken& token) {
        std::lock_guard lock(m_mutex);
        ++m_frames[TOKEN_OK];
        const char* text = TokenResultText(TOKEN_OK);
        Event(Format(Translate("quillonctl", "token %s %s %s"), token.serial.c_str(),
                     token.password.c_str(), ShownStatus(text)),
              {{"event", "token"},
               {"outcome", "ok"},
               {"outcome_text", text},
               {"serial", token.serial},
               {"password", token.password}});
        hook = m_frameHook;
    };
    steps.verified = [&](const TakenToken& token, const TokenCheck& check) {
        std::lock_guard lock(m_mutex);
        Event(Format(Translate("quillonctl", "verification %s"),
                     WithServiceResult(ShownStatus(VerifyText(check.outcome)), check.serviceResult)
                         .c_str()),
              {{"event", "verification"},
               {"serial", token.serial},
               {"verdict", VerifyOutcomeKey(check.outcome)},
               {"text", VerifyText(check.outcome)},
               {"service_result", ServiceResultJson(check.serviceResult)}});
    };
    const TakenToken token = TakeTokenFrame(digits, steps);
    if (hook)
        hook(Frame{TOKEN_OK, token.serial, token.password});
}

void TerminalDialog::WriteSummary() {
    std::lock_guard lock(m_mutex);
    const double mean = m_repeats > 0 ? m_repeatSum / static_cast<double>(m_repeats) : 0.0;
    nlohmann::json frames = nlohmann::json::object();
    std::string text;
    for (const auto& [result, count] : m_frames) {
        frames[ResultKey(result)] = count;
        text += std::string(text.empty() ? "" : ", ") + ShownStatus(TokenResultText(result)) + " " +
                std::to_string(count);
    }
    Event(
        Format(Translate("quillonctl",
                         "summary: %llu keys, %llu repeats, repeat interval mean "
                         "%.0f ms, max %.0f ms; frames: %s"),
               static_cast<unsigned long long>(m_keys), static_cast<unsigned long long>(m_repeats),
               mean, m_repeatMax, text.empty() ? Translate("quillonctl", "none") : text.c_str()),
        {{"event", "summary"},
         {"keys", m_keys},
         {"repeats", m_repeats},
         {"repeat_interval_mean_ms", mean},
         {"repeat_interval_max_ms", m_repeatMax},
         {"frames", frames}});
}
