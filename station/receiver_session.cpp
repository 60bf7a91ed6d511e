#include "station/receiver_session.h"

#include "decode/key_dispatcher.h"
#include "platform/process/running.h"
#include "receiver/receiver_monitor.h"

bool ReceiverSession::Start() {
    m_started = true;
    BeginRunning();
    if (!m_ir.Start([this] { HID(&m_dialog); }) ||
        !m_game.Start([this] { HIDForGame(&m_dialog); })) {
        Stop();
        return false;
    }
    return true;
}

void ReceiverSession::Stop() {
    if (!m_started)
        return;
    m_started = false;
    EndReceiverThreads(m_ir, m_game);
}
