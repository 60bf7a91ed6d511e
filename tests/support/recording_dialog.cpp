#include "tests/support/recording_dialog.h"

#include <sstream>

namespace {
DialogCall Make(DialogCall::Kind kind, int value, std::string digits = {}) {
    return DialogCall{kind, value, std::move(digits), std::chrono::steady_clock::now()};
}
}  // namespace

DialogCall HighlightCall(int key) {
    return Make(DialogCall::Highlight, key);
}
DialogCall ClearCall() {
    return Make(DialogCall::Clear, 0);
}
DialogCall ResultCall(int result) {
    return Make(DialogCall::TokenResult, result);
}
DialogCall TakenCall(std::string digits) {
    return Make(DialogCall::TokenTaken, 0, std::move(digits));
}
DialogCall IrStatusCall(int status) {
    return Make(DialogCall::IrStatus, status);
}
DialogCall GameStatusCall(int status) {
    return Make(DialogCall::GameStatus, status);
}

std::string Describe(const DialogCall& c) {
    switch (c.kind) {
        case DialogCall::IrStatus:
            return "IrStatus(" + std::to_string(c.value) + ")";
        case DialogCall::GameStatus:
            return "GameStatus(" + std::to_string(c.value) + ")";
        case DialogCall::Highlight:
            return "Highlight(" + std::to_string(c.value) + ")";
        case DialogCall::Clear:
            return "Clear";
        case DialogCall::TokenResult:
            return "Result(" + std::to_string(c.value) + ")";
        case DialogCall::TokenTaken:
            return "Taken(" + c.digits + ")";
    }
    return "?";
}

std::string Describe(const std::vector<DialogCall>& calls) {
    std::ostringstream out;
    for (const auto& c : calls)
        out << Describe(c) << ' ';
    return out.str();
}

void RecordingDialog::Record(DialogCall call) {
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
    }
    m_changed.notify_all();
}

void RecordingDialog::ShowIrStatus(int status) {
    Record(IrStatusCall(status));
}
void RecordingDialog::ShowGameStatus(int status) {
    Record(GameStatusCall(status));
}
void RecordingDialog::HighlightKey(KeyId key) {
    Record(HighlightCall(key));
}
void RecordingDialog::ClearHighlight() {
    Record(ClearCall());
}
void RecordingDialog::ShowTokenResult(int result) {
    Record(ResultCall(result));
}
void RecordingDialog::OnTokenTaken(const char* digits) {
    Record(TakenCall(digits));
}

std::vector<DialogCall> RecordingDialog::Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

void RecordingDialog::Clear() {
    std::lock_guard lock(m_mutex);
    m_calls.clear();
}
