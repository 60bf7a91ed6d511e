#include "tools/virtual_kit/virtual_remote.h"

#include <stdexcept>

#include "tools/token_service_sim/token_model.h"

namespace tokensim = quillon::tokensim;

namespace {

constexpr IrScanCode kToggleBit = 0x8000;
constexpr IrScanCode kTokenAddress = 0x7F00;
constexpr std::uint8_t kTokenLength = 12;

std::uint8_t Digit(char c) {
    return static_cast<std::uint8_t>(c - '0');
}

std::uint8_t Pair(const std::string& digits, std::size_t at) {
    return static_cast<std::uint8_t>(Digit(digits[at]) << 4 | Digit(digits[at + 1]));
}

std::int64_t SystemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

VirtualToken DemoToken() {
    auto secret = tokensim::DecodeHex(tokensim::kDemoSecretHex);
    return {std::string(tokensim::kDemoSerial), secret.value_or(std::vector<std::uint8_t>{})};
}

std::vector<IrScanCode> TokenFrameCodes(const std::string& serial, const std::string& password,
                                        bool firstToggle) {
    if (!tokensim::IsDigits(serial, 9) || !tokensim::IsDigits(password, 8))
        throw std::invalid_argument("token frame needs a 9-digit serial and an 8-digit password");
    std::vector<std::uint8_t> data;
    data.push_back(kTokenLength);
    for (std::size_t i = 0; i < 8; i += 2)
        data.push_back(Pair(serial, i));
    data.push_back(static_cast<std::uint8_t>(Digit(serial[8]) << 4));
    // Codes 6 to 8 carry nothing the decoder keeps.
    data.insert(data.end(), {0x00, 0x00, 0x00});
    for (std::size_t i = 0; i < 8; i += 2)
        data.push_back(Pair(password, i));

    std::vector<IrScanCode> codes;
    bool toggle = firstToggle;
    codes.push_back(static_cast<IrScanCode>(kTokenKeyCode | (toggle ? kToggleBit : 0)));
    for (std::uint8_t byte : data) {
        toggle = !toggle;
        codes.push_back(static_cast<IrScanCode>((toggle ? kToggleBit : 0) | kTokenAddress | byte));
    }
    return codes;
}

VirtualRemote::VirtualRemote(VirtualKit& kit, VirtualToken token, Clock clock)
    : m_kit(kit),
      m_token(std::move(token)),
      m_clock(clock ? std::move(clock) : Clock(SystemSeconds)) {
    if (!tokensim::IsDigits(m_token.serial, 9) || m_token.secret.empty())
        throw std::invalid_argument("virtual token needs a 9-digit serial and a secret");
    m_thread = std::thread([this] { Run(); });
}

VirtualRemote::~VirtualRemote() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

bool VirtualRemote::PressKey(KeyId key) {
    const auto code = IrCodeForKey(key);
    if (!code)
        return false;
    if (key == TOKEN_KEY_ID) {
        PressTokenKey();
    } else {
        Queue({Kind::IrPress, *code});
    }
    return true;
}

bool VirtualRemote::HoldKey(KeyId key) {
    const auto code = IrCodeForKey(key);
    if (!code)
        return false;
    Queue({Kind::IrHold, *code});
    return true;
}

bool VirtualRemote::PressGameKey(KeyId key) {
    const auto code = GameCodeForKey(key);
    if (!code)
        return false;
    Queue({Kind::GamePress, *code});
    return true;
}

bool VirtualRemote::HoldGameKey(KeyId key) {
    const auto code = GameCodeForKey(key);
    if (!code)
        return false;
    Queue({Kind::GameHold, *code});
    return true;
}

bool VirtualRemote::Press(KeyId key) {
    return PressKey(key) || PressGameKey(key);
}

bool VirtualRemote::Hold(KeyId key) {
    return HoldKey(key) || HoldGameKey(key);
}

bool VirtualRemote::PressEach(const std::vector<KeyId>& keys, std::chrono::milliseconds gap) {
    bool all = true;
    for (KeyId key : keys) {
        all = Press(key) && all;
        Queue({Kind::Pause, static_cast<std::uint32_t>(gap.count())});
    }
    return all;
}

void VirtualRemote::Release() {
    Queue({Kind::Release, 0});
}

void VirtualRemote::PressIrCode(IrScanCode code) {
    Queue({Kind::IrPress, static_cast<std::uint32_t>(code & ~kToggleBit)});
}

void VirtualRemote::HoldIrCode(IrScanCode code) {
    Queue({Kind::IrHold, static_cast<std::uint32_t>(code & ~kToggleBit)});
}

void VirtualRemote::PressGameCode(GameScanCode code) {
    Queue({Kind::GamePress, code});
}

void VirtualRemote::PressTokenKey() {
    Queue({Kind::Token, 0});
}

std::string VirtualRemote::Password() const {
    std::lock_guard lock(m_mutex);
    return tokensim::PasswordAt(m_token.secret, TokenSeconds());
}

std::int64_t VirtualRemote::Step() const {
    std::lock_guard lock(m_mutex);
    return tokensim::StepAt(TokenSeconds());
}

void VirtualRemote::SetDriftSteps(std::int64_t steps) {
    std::lock_guard lock(m_mutex);
    m_driftSteps = steps;
}

void VirtualRemote::DriftBy(std::int64_t steps) {
    std::lock_guard lock(m_mutex);
    m_driftSteps += steps;
}

std::int64_t VirtualRemote::DriftSteps() const {
    std::lock_guard lock(m_mutex);
    return m_driftSteps;
}

std::string VirtualRemote::LastSentPassword() const {
    std::lock_guard lock(m_mutex);
    return m_lastPassword;
}

std::int64_t VirtualRemote::LastSentStep() const {
    std::lock_guard lock(m_mutex);
    return m_lastStep;
}

bool VirtualRemote::WaitIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_actions.empty() && !m_busy; });
}

void VirtualRemote::SetSentHook(std::function<void(const Sent&)> hook) {
    std::lock_guard lock(m_mutex);
    m_sentHook = std::move(hook);
}

std::int64_t VirtualRemote::TokenSeconds() const {
    return m_clock() + m_driftSteps * tokensim::kStepSeconds;
}

void VirtualRemote::Queue(Action action) {
    {
        std::lock_guard lock(m_mutex);
        m_actions.push_back(action);
    }
    m_changed.notify_all();
}

void VirtualRemote::Run() {
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        if (!m_actions.empty()) {
            const Action action = m_actions.front();
            m_actions.pop_front();
            m_busy = true;
            Perform(action, lock);
            m_busy = false;
            m_changed.notify_all();
            continue;
        }
        if (m_held != Held::None) {
            if (m_changed.wait_until(lock, m_nextRepeat,
                                     [&] { return m_stop || !m_actions.empty(); })) {
                continue;
            }
            m_nextRepeat += kRepeatInterval;
            Send(m_held == Held::Ir, m_heldCode, lock);
            continue;
        }
        m_changed.wait(lock, [&] { return m_stop || !m_actions.empty(); });
    }
    EndHold(lock);
}

void VirtualRemote::Perform(const Action& action, std::unique_lock<std::mutex>& lock) {
    EndHold(lock);
    switch (action.kind) {
        case Kind::Release:
            return;
        case Kind::Pause:
            SleepFor(std::chrono::milliseconds(action.code), lock);
            return;
        case Kind::IrPress:
        case Kind::IrHold: {
            m_toggle = !m_toggle;
            const std::uint32_t code = action.code | (m_toggle ? kToggleBit : 0u);
            Send(true, code, lock);
            if (action.kind == Kind::IrHold) {
                m_held = Held::Ir;
                m_heldCode = code;
                m_nextRepeat = std::chrono::steady_clock::now() + kRepeatInterval;
            }
            return;
        }
        case Kind::GamePress:
            Send(false, action.code, lock);
            Send(false, kGamePadIdle, lock);
            return;
        case Kind::GameHold:
            Send(false, action.code, lock);
            m_held = Held::Game;
            m_heldCode = action.code;
            m_nextRepeat = std::chrono::steady_clock::now() + kRepeatInterval;
            return;
        case Kind::Token: {
            const std::int64_t seconds = TokenSeconds();
            m_lastPassword = tokensim::PasswordAt(m_token.secret, seconds);
            m_lastStep = tokensim::StepAt(seconds);
            m_toggle = !m_toggle;
            const std::vector<IrScanCode> codes =
                TokenFrameCodes(m_token.serial, m_lastPassword, m_toggle);
            for (std::size_t i = 0; i < codes.size(); ++i) {
                if (i > 0 && !SleepFor(kTokenCodeGap, lock))
                    return;
                Send(true, codes[i], lock);
            }
            m_toggle = (codes.back() & kToggleBit) != 0;
            return;
        }
    }
}

void VirtualRemote::Send(bool ir, std::uint32_t code, std::unique_lock<std::mutex>& lock) {
    const std::function<void(const Sent&)> hook = m_sentHook;
    lock.unlock();
    const auto at = std::chrono::steady_clock::now();
    const bool delivered = ir ? m_kit.SendIr(static_cast<IrScanCode>(code)) : m_kit.SendGame(code);
    if (hook)
        hook(Sent{at, ir, code, delivered});
    lock.lock();
}

void VirtualRemote::EndHold(std::unique_lock<std::mutex>& lock) {
    const Held held = m_held;
    m_held = Held::None;
    if (held == Held::Game)
        Send(false, kGamePadIdle, lock);
}

bool VirtualRemote::SleepFor(std::chrono::milliseconds d, std::unique_lock<std::mutex>& lock) {
    return !m_changed.wait_for(lock, d, [&] { return m_stop; });
}
