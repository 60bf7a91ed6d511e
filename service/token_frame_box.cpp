#include "service/token_frame_box.h"

#include <utility>

TokenFrameBox g_lastToken;
std::atomic<bool> g_bCalibrating{false};

void TokenFrameBox::Put(std::string serial, std::string password) {
    {
        std::lock_guard lock(m_mutex);
        m_frame.serial = std::move(serial);
        m_frame.password = std::move(password);
        ++m_frame.seq;
    }
    m_changed.notify_all();
}

TokenFrame TokenFrameBox::Peek() const {
    std::lock_guard lock(m_mutex);
    return m_frame;
}

std::optional<TokenFrame> TokenFrameBox::Take() {
    std::lock_guard lock(m_mutex);
    if (m_frame.serial.empty() && m_frame.password.empty())
        return std::nullopt;
    TokenFrame taken = m_frame;
    m_frame.serial.clear();
    m_frame.password.clear();
    return taken;
}

void TokenFrameBox::Clear() {
    std::lock_guard lock(m_mutex);
    m_frame.serial.clear();
    m_frame.password.clear();
}

std::uint64_t TokenFrameBox::Sequence() const {
    std::lock_guard lock(m_mutex);
    return m_frame.seq;
}

std::optional<TokenFrame> TokenFrameBox::WaitNewer(std::uint64_t seq,
                                                   std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    const std::uint64_t wakeups = m_wakeups;
    m_changed.wait_for(lock, timeout, [&] { return m_frame.seq > seq || m_wakeups != wakeups; });
    if (m_frame.seq > seq)
        return m_frame;
    return std::nullopt;
}

void TokenFrameBox::WakeAll() {
    {
        std::lock_guard lock(m_mutex);
        ++m_wakeups;
    }
    m_changed.notify_all();
}
