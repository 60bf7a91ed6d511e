#pragma once

// Both receiver threads, with their dispatchers, reporting to a dialog other than the
// main window's (the terminal program's, an end-of-line run): the very thread bodies
// the window starts (HID, HIDForGame), ended the way the window's Exit ends them.

#include "platform/process/worker_thread.h"
#include "receiver/main_dialog.h"

class ReceiverSession {
public:
    explicit ReceiverSession(IMainDialog& dialog) : m_dialog(dialog) {}
    ~ReceiverSession() { Stop(); }
    ReceiverSession(const ReceiverSession&) = delete;
    ReceiverSession& operator=(const ReceiverSession&) = delete;

    // False when a thread could not be made (what is started is stopped again).
    bool Start();
    // StopRunning() and the bounded wait for both threads; once.
    void Stop();

private:
    IMainDialog& m_dialog;
    WorkerThread m_ir;
    WorkerThread m_game;
    bool m_started = false;
};
