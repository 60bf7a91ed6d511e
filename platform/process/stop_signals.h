#pragma once

// SIGTERM, SIGINT and SIGHUP as a request to leave, not an abrupt end: the first one
// makes a descriptor readable, and the program's own loop (the window's event loop,
// a terminal program's poll) runs the same exit sequence as its Exit button. What a
// second one does while that runs is the program's choice (RepeatedStopSignal).
//
// The handler only writes one byte to a pipe or counts; nothing else happens on
// signal context.

#include <signal.h>

#include <string>

// A stop signal after the first. Closing a terminal sends SIGHUP twice (the shell
// forwards one, the kernel sends another) and an impatient Ctrl-C comes twice within
// milliseconds, so a second signal is no sign that the user wants to skip anything.
enum class RepeatedStopSignal {
    // Ends the process at once by that signal's default action: for an exit sequence
    // with nothing to put back.
    EndsAtOnce,
    // Only counted (StopSignalCount): the exit sequence runs to its end, and whatever
    // it must put back is put back.
    LetsTheExitFinish,
};

// Installs the handlers (once per process; a later call only sets `repeated`). A
// signal that was ignored when the program started (nohup, a background job of a
// shell) stays ignored. False, with the reason, when the pipe or a handler cannot be
// set up; the signals then keep their default action.
bool InstallStopSignals(std::string* error,
                        RepeatedStopSignal repeated = RepeatedStopSignal::EndsAtOnce);

// Readable once a stop signal has come; -1 before InstallStopSignals.
int StopSignalFd();

// Empties the descriptor; returns the first stop signal that came, or 0.
int TakeStopSignal();

// The first stop signal that came, or 0.
int StopSignalReceived();

// How many stop signals have come.
int StopSignalCount();

// Once the exit sequence is over: when a stop signal ended the program, ends it by
// that signal's default action, so the parent sees how it ended. Returns otherwise.
void EndByStopSignal();

// While one lives, the stop signals wait as pending on the calling thread instead of
// interrupting it: a call that must not be cut short (the service's start at exit,
// whose D-Bus wait a signal would end with EINTR) runs to its own time limit. Another
// thread, or this one afterwards, takes them as usual.
class StopSignalsHeldBack {
public:
    StopSignalsHeldBack();
    ~StopSignalsHeldBack();
    StopSignalsHeldBack(const StopSignalsHeldBack&) = delete;
    StopSignalsHeldBack& operator=(const StopSignalsHeldBack&) = delete;

private:
    sigset_t m_old;  // the thread's mask before
};
