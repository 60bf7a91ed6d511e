#pragma once

#include <atomic>

// Set by the receiver threads when they start, cleared only at exit. Every receiver,
// read and dispatcher loop runs while it is set.
extern std::atomic<bool> g_bRunning;

// Clears g_bRunning and wakes every wait that watches it, so loops end at once
// instead of sitting out their time-outs. The stop stays in force against
// BeginRunning(), so a thread that starts late cannot undo an early exit.
void StopRunning();

// What a receiver thread calls at its start: sets g_bRunning unless a stop came first.
void BeginRunning();

// Lifts the stop for a new set of receiver threads, once the last set has been joined:
// the station window starts one per unit it tests.
void ResumeRunning();

// Registers a waker that StopRunning() calls; returns an id for removal.
using RunWaker = void (*)(void* context);
int AddRunWaker(RunWaker waker, void* context);
void RemoveRunWaker(int id);
