#pragma once

// The virtual remote: what the remote control and the game pad send to the virtual
// kit's receivers.
//
// - A press is one transmission of the key's code; a held key repeats it every
//   kRepeatInterval with the same toggle bit. The IR toggle bit (bit 15) flips from
//   one press to the next, as the real remote's does.
// - The token key sends its 14-code frame: the token key's code, then the length
//   code and the 12 codes that carry the token's 9-digit serial number and its
//   current 8-digit dynamic password, each with the toggle bit flipped.
// - The token's password is the TOTP of the token's clock: the given clock plus a
//   drift in 30-second steps that can be changed at any time.
// - The game pad reports its idle state when a held key is let go.
//
// One sender thread writes every report, so transmissions never interleave: a new
// press ends a held key first, as on the real remote, where only one key is down at a
// time. Every call returns at once; WaitIdle() waits for what was asked so far.
// The destructor lets a held key go and ends the thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "receiver/types.h"
#include "tools/virtual_kit/virtual_kit.h"

struct VirtualToken {
    std::string serial;                // 9 digits
    std::vector<std::uint8_t> secret;  // TOTP secret
};

// The simulator's demo token (serial 123456789, the RFC 6238 SHA-1 test secret).
VirtualToken DemoToken();

// The 14 IR codes of a token frame, token key first. `serial` must be 9 digits and
// `password` 8; the token key's toggle bit is `firstToggle`, and each code after it
// has the toggle bit of the one before flipped.
std::vector<IrScanCode> TokenFrameCodes(const std::string& serial, const std::string& password,
                                        bool firstToggle);

// The IR scan code of the token key, toggle bit clear.
inline constexpr IrScanCode kTokenKeyCode = 0x7F97;

class VirtualRemote {
public:
    static constexpr std::chrono::milliseconds kRepeatInterval{110};
    // Between two codes of a token frame; the decoder allows up to 251 ms.
    static constexpr std::chrono::milliseconds kTokenCodeGap{30};

    // Unix time in seconds of the clock the token's clock is derived from.
    using Clock = std::function<std::int64_t()>;

    // One report as written: when, to which receiver, and whether a receiver took it.
    struct Sent {
        std::chrono::steady_clock::time_point at;
        bool ir;
        std::uint32_t code;
        bool delivered;
    };

    // `clock` empty: the system clock.
    VirtualRemote(VirtualKit& kit, VirtualToken token, Clock clock = {});
    ~VirtualRemote();
    VirtualRemote(const VirtualRemote&) = delete;
    VirtualRemote& operator=(const VirtualRemote&) = delete;

    // IR keys by key id; false when no IR code maps to the id.
    bool PressKey(KeyId key);
    bool HoldKey(KeyId key);
    // Game-pad keys by key id (4097 to 4108).
    bool PressGameKey(KeyId key);
    bool HoldGameKey(KeyId key);
    // Any key id: the IR remote's when it has one, else the game pad's.
    bool Press(KeyId key);
    bool Hold(KeyId key);
    // "Press every key": each key once, in order, `gap` apart (more than the decoder's
    // 251 ms makes each a press of its own). False when a key has no code.
    bool PressEach(const std::vector<KeyId>& keys,
                   std::chrono::milliseconds gap = std::chrono::milliseconds(300));
    // Lets the held key go (IR or game pad); nothing when none is held.
    void Release();

    // Raw codes, for tests of codes outside the tables. The toggle bit of `code` is
    // replaced by the remote's own.
    void PressIrCode(IrScanCode code);
    void HoldIrCode(IrScanCode code);
    void PressGameCode(GameScanCode code);

    // Sends the token's frame with the password its clock shows when the frame begins.
    void PressTokenKey();

    const std::string& Serial() const { return m_token.serial; }
    // The password the token shows now, and its TOTP step.
    std::string Password() const;
    std::int64_t Step() const;
    void SetDriftSteps(std::int64_t steps);
    void DriftBy(std::int64_t steps);
    std::int64_t DriftSteps() const;

    // Password of the last token frame sent, and its step; empty / 0 before the first.
    std::string LastSentPassword() const;
    std::int64_t LastSentStep() const;

    // Waits until everything asked for has been written (a held key counts as written
    // once its first report is out). False on time-out.
    bool WaitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    // Called on the sender thread after each report. Set before the first press.
    void SetSentHook(std::function<void(const Sent&)> hook);

private:
    enum class Kind { IrPress, IrHold, GamePress, GameHold, Release, Token, Pause };
    struct Action {
        Kind kind;
        std::uint32_t code = 0;
    };

    void Queue(Action action);
    void Run();
    // Sender thread, with `lock` held; sends and sleeps release it.
    void Perform(const Action& action, std::unique_lock<std::mutex>& lock);
    void Send(bool ir, std::uint32_t code, std::unique_lock<std::mutex>& lock);
    void EndHold(std::unique_lock<std::mutex>& lock);
    // Sleeps up to `d`; false when the remote is being destroyed.
    bool SleepFor(std::chrono::milliseconds d, std::unique_lock<std::mutex>& lock);
    std::int64_t TokenSeconds() const;  // under m_mutex

    VirtualKit& m_kit;
    const VirtualToken m_token;
    const Clock m_clock;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::deque<Action> m_actions;
    bool m_busy = false;  // an action is being performed
    bool m_stop = false;
    std::int64_t m_driftSteps = 0;
    std::string m_lastPassword;
    std::int64_t m_lastStep = 0;
    std::function<void(const Sent&)> m_sentHook;

    // Sender thread only.
    bool m_toggle = false;
    enum class Held { None, Ir, Game } m_held = Held::None;
    std::uint32_t m_heldCode = 0;
    std::chrono::steady_clock::time_point m_nextRepeat;

    std::thread m_thread;
};
