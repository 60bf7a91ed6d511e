#pragma once

// Keeps both receivers in service while the program runs. One receiver thread per
// receiver (HID for the IR receiver, HIDForGame for the game controller) searches for
// its receiver, opens it exclusively, reads its reports into the key queue and tells
// the dialog its status: 0 reading, 1 not found or not openable (waiting), 2 reading
// ended. Each receiver thread starts and stops the dispatcher thread that consumes its
// queue; the loop that thread runs comes from the caller (the decoding layer), so this
// layer knows nothing above it.
//
// Stopping: StopRunning() ends every wait here at once (reads, waiting passes, the
// dispatcher loops), so nothing is ever terminated. The window layer starts both
// thread bodies on WorkerThreads and, at exit, calls StopRunning() and waits for both;
// when they have returned, the dispatcher and arrival-watcher threads have ended too.
//
// Per receiver, only its own thread touches its handle, path, dispatcher thread and
// the rescan flag's clearing; RequestRescan() may come from any thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/hid/hid_arrival_watcher.h"
#include "platform/hid/hid_device.h"
#include "platform/process/worker_thread.h"
#include "receiver/hid_manager.h"
#include "receiver/key_queue.h"
#include "receiver/main_dialog.h"

class ReceiverMonitor;

// The real tree, /sys and /dev, or what QUILLON_SYSFS_ROOT and QUILLON_DEV_ROOT name
// (a virtual kit served to this process).
HidSystem& DefaultHidSystem();

// Upper bound of the wait for both receiver threads when a front end stops them.
inline constexpr std::chrono::milliseconds kReceiverExitWait{5000};

// What every front end's exit does with its receiver threads (the window's Exit, the
// terminal program's Ctrl-C): StopRunning(), then wait for the IR thread and then the
// game-controller thread within one deadline of `bound` in all. A thread still
// running then is left to end by itself (its WorkerThread joins it). Traces how long
// it took; returns true when both had ended.
bool EndReceiverThreads(WorkerThread& irThread, WorkerThread& gameThread,
                        std::chrono::milliseconds bound = kReceiverExitWait);

// The open a receiver thread makes of the node the search chose, for it and for those
// who check a receiver the way it does: read and write, non-blocking and exclusive, in
// two attempts with `pause` between them (a node that has just arrived may not have
// its ACL yet). On failure the handle is empty and `error` is the last attempt's errno.
struct ReceiverNodeOpen {
    HidHandle handle;
    std::int32_t result = HID_OPEN_FAILED;
    int error = 0;
};
ReceiverNodeOpen OpenReceiverNode(HidSystem& hid, const char* path,
                                  const std::function<void()>& pause);

// A dispatcher thread's entry (DispatcherThread, DispatcherThreadForGameController):
// runs until g_bRunning is cleared and returns 0.
using DispatcherEntry = unsigned (*)(ReceiverMonitor* monitor);

class ReceiverMonitor {
public:
    static constexpr std::size_t kIrReportSize = 6;
    static constexpr std::size_t kGameReportSize = 5;
    static constexpr int kReadTimeoutMs = 1000;
    static constexpr int kWaitPasses = 30;
    static constexpr std::chrono::milliseconds kWaitPass{1500};
    static constexpr std::chrono::milliseconds kOpenRetryWait{500};
    static constexpr std::chrono::milliseconds kDispatcherWait{4000};

    // `hid` defaults to DefaultHidSystem(); it must outlive the monitor.
    explicit ReceiverMonitor(HidSystem* hid = nullptr, KeyQueue* queue = nullptr,
                             HidManager* manager = nullptr);
    ~ReceiverMonitor();
    ReceiverMonitor(const ReceiverMonitor&) = delete;
    ReceiverMonitor& operator=(const ReceiverMonitor&) = delete;

    HidSystem& Hid() const { return *m_pHid; }

    // Starts watching for arrivals (once for both receiver threads); each call is
    // matched by one UnregisterHidNotification(), and the last one stops the watcher.
    void RegisterHidNotification();
    void UnregisterHidNotification();
    // A device may have arrived: both waiting loops search again at once.
    void RequestRescan();

    // The main loops; each starts `dispatcher` on its dispatcher thread (a null entry
    // counts as a thread that could not be created) and returns once g_bRunning is
    // found clear and the dispatcher ended.
    void ServiceBegin(DispatcherEntry dispatcher);
    void ServiceBeginForGameController(DispatcherEntry dispatcher);

    // Exclusive open of the path found by the search; two attempts 500 ms apart.
    bool OpenIrReceiver();
    bool OpenGameReceiver();

    // Read loops over the open receiver; return when it ends or g_bRunning clears.
    void ReadIrReports();
    void ReadGameReports();

    HidManager* m_pHidManager;
    KeyQueue* m_pKeyQueue;
    // The main dialog; set by each receiver thread at its start. The dispatcher reads it.
    std::atomic<IMainDialog*> m_pDialog{nullptr};
    // The open receivers and the paths the search found; tests and benchmarks read them.
    HidHandle m_hIrDevice;
    HidHandle m_hGameDevice;
    char m_szIrPath[kHidPathSize] = {};
    char m_szGamePath[kHidPathSize] = {};

    // Whether the arrival watcher runs (between the first Register and the last
    // Unregister).
    bool WatchingArrivals() const;
    // Length of one waiting pass; tests shorten it to see the repeated search.
    std::chrono::milliseconds WaitPassLength() const { return m_waitPass; }
    void SetWaitPassLength(std::chrono::milliseconds pass) { m_waitPass = pass; }

private:
    WorkerThread m_hDispatcherThread;
    WorkerThread m_hGameDispatcherThread;
    std::atomic<bool> m_bIrRescan{false};
    std::atomic<bool> m_bGameRescan{false};
    std::unique_ptr<HidArrivalWatcher> m_hDevNotify;
    std::chrono::milliseconds m_waitPass = kWaitPass;
    struct Side;
    Side IrSide();
    Side GameSide();
    void RunMainLoop(const Side& side, DispatcherEntry dispatcher);
    bool OpenReceiver(const Side& side);
    void ReadReports(const Side& side);
    void ReportStatus(const Side& side, int status);
    // One waiting pass: ends early on a rescan request or a cleared g_bRunning.
    void WaitPass(const std::atomic<bool>& rescan);
    void WakeWaiters();

    HidSystem* m_pHid;
    std::mutex m_waitMutex;
    std::condition_variable m_waitCv;
    mutable std::mutex m_notifyMutex;
    int m_nNotifyUsers = 0;
    int m_wakerId = 0;
};

// The single ReceiverMonitor over /sys and /dev, created on first call (thread-safe),
// destroyed at process end.
ReceiverMonitor* GetReceiverMonitor();

// Receiver thread bodies on a given monitor, reporting to `dialog` and running
// `dispatcher` on their dispatcher thread. Return 0. The entries the front ends start,
// HID and HIDForGame, pair them with the decoder (decode/key_dispatcher.h).
unsigned RunIrReceiverThread(ReceiverMonitor* monitor, IMainDialog* dialog,
                             DispatcherEntry dispatcher);
unsigned RunGameReceiverThread(ReceiverMonitor* monitor, IMainDialog* dialog,
                               DispatcherEntry dispatcher);
