#pragma once

// SIGTERM, SIGINT and SIGHUP as a request to leave, not an abrupt end: the first one
// makes a descriptor readable, and the program's own loop (the window's event loop,
// a terminal program's poll) runs the same exit sequence as its Exit button. A
// second one while that runs ends the process at once, with the signal's default
// action, for a user who will not wait.
//
// The handler only writes one byte to a pipe; nothing else happens on signal context.

#include <string>

// Installs the handlers (once per process). A signal that was ignored when the
// program started (nohup, a background job of a shell) stays ignored. False, with the
// reason, when the pipe or a handler cannot be set up; the signals then keep their
// default action.
bool InstallStopSignals(std::string* error);

// Readable once a stop signal has come; -1 before InstallStopSignals.
int StopSignalFd();

// Empties the descriptor; returns the first stop signal that came, or 0.
int TakeStopSignal();

// The first stop signal that came, or 0.
int StopSignalReceived();

// Once the exit sequence is over: when a stop signal ended the program, ends it by
// that signal's default action, so the parent sees how it ended. Returns otherwise.
void EndByStopSignal();
