#include "receiver/receiver_monitor.h"

#include <algorithm>
#include <cerrno>
#include <span>

#include "platform/process/running.h"
#include "platform/process/trace.h"

namespace {

bool Running() {
    return g_bRunning.load(std::memory_order_acquire);
}

}  // namespace

HidSystem& DefaultHidSystem() {
    static HidSystem system(HidSysRootFromEnvironment(), HidDevRootFromEnvironment());
    return system;
}

namespace {

constexpr std::chrono::milliseconds kAfterFailedRead{50};

std::uint32_t BigEndian32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
           std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

}  // namespace

struct ReceiverMonitor::Side {
    bool ir;
    HidHandle& device;
    char (&path)[kHidPathSize];
    std::atomic<bool>& rescan;
    WorkerThread& dispatcher;
};

ReceiverMonitor::Side ReceiverMonitor::IrSide() {
    return {true, m_hIrDevice, m_szIrPath, m_bIrRescan, m_hDispatcherThread};
}

ReceiverMonitor::Side ReceiverMonitor::GameSide() {
    return {false, m_hGameDevice, m_szGamePath, m_bGameRescan, m_hGameDispatcherThread};
}

ReceiverMonitor::ReceiverMonitor(HidSystem* hid, KeyQueue* queue, HidManager* manager)
    : m_pHidManager(manager != nullptr ? manager : GetHidManager()),
      m_pKeyQueue(queue != nullptr ? queue : GetKeyQueue()),
      m_pHid(hid != nullptr ? hid : &DefaultHidSystem()) {
    m_wakerId =
        AddRunWaker([](void* self) { static_cast<ReceiverMonitor*>(self)->WakeWaiters(); }, this);
}

ReceiverMonitor::~ReceiverMonitor() {
    RemoveRunWaker(m_wakerId);
    m_hIrDevice.Close();
    m_hDevNotify.reset();
    m_hGameDevice.Close();
}

void ReceiverMonitor::WakeWaiters() {
    { std::lock_guard lock(m_waitMutex); }
    m_waitCv.notify_all();
}

void ReceiverMonitor::RegisterHidNotification() {
    std::lock_guard lock(m_notifyMutex);
    ++m_nNotifyUsers;
    if (m_hDevNotify)
        return;
    auto watcher = std::make_unique<HidArrivalWatcher>();
    if (!watcher->Start(m_pHid->DevRoot(), [this] { RequestRescan(); })) {
        Trace("[KEYWARDEN] Failed to register divice notification.");
        return;
    }
    m_hDevNotify = std::move(watcher);
}

void ReceiverMonitor::UnregisterHidNotification() {
    std::unique_ptr<HidArrivalWatcher> last;
    {
        std::lock_guard lock(m_notifyMutex);
        if (m_nNotifyUsers > 0 && --m_nNotifyUsers == 0)
            last = std::move(m_hDevNotify);
    }
    // `last` stops and joins the watcher thread here.
}

bool ReceiverMonitor::WatchingArrivals() const {
    std::lock_guard lock(m_notifyMutex);
    return m_hDevNotify != nullptr;
}

void ReceiverMonitor::RequestRescan() {
    {
        std::lock_guard lock(m_waitMutex);
        m_bIrRescan.store(true, std::memory_order_release);
        m_bGameRescan.store(true, std::memory_order_release);
    }
    m_waitCv.notify_all();
}

void ReceiverMonitor::WaitPass(const std::atomic<bool>& rescan) {
    std::unique_lock lock(m_waitMutex);
    m_waitCv.wait_for(lock, m_waitPass, [&] { return rescan.load() || !Running(); });
}

namespace {

// Sleeps that a stopping program does not sit out.
void SleepUnlessStopped(std::mutex& mutex, std::condition_variable& cv,
                        std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex);
    cv.wait_for(lock, duration, [] { return !Running(); });
}

}  // namespace

void ReceiverMonitor::ReportStatus(const Side& side, int status) {
    IMainDialog* dialog = m_pDialog.load(std::memory_order_acquire);
    if (dialog == nullptr)
        return;
    if (side.ir) {
        dialog->ShowIrStatus(status);
    } else {
        dialog->ShowGameStatus(status);
    }
}

void ReceiverMonitor::ServiceBegin(DispatcherEntry dispatcher) {
    RunMainLoop(IrSide(), dispatcher);
}

void ReceiverMonitor::ServiceBeginForGameController(DispatcherEntry dispatcher) {
    RunMainLoop(GameSide(), dispatcher);
}

void ReceiverMonitor::RunMainLoop(const Side& side, DispatcherEntry dispatcher) {
    const bool started =
        dispatcher != nullptr && side.dispatcher.Start([this, dispatcher] { dispatcher(this); });
    const int error = dispatcher == nullptr ? EINVAL : side.dispatcher.StartError();
    if (started) {
        Trace(side.ir ? "[KEYWARDEN] DispatcherThread Started."
                      : "[KEYWARDEN] DispatcherThreadForGameController Started.");
    } else if (side.ir) {
        Trace("[KEYWARDEN] Create Dispatcher Thread error: %d", error);
    } else {
        Trace("[KEYWARDEN] Create Dispatcher for GameController Thread error: %d", error);
    }

    while (Running()) {
        Trace("[KEYWARDEN] Main loop, Finding Orvane device.");
        const bool found = side.ir ? m_pHidManager->FindIrReceiver(*m_pHid, side.path)
                                   : m_pHidManager->FindGameReceiver(*m_pHid, side.path);
        if (!found) {
            Trace("[KEYWARDEN] Main loop, device not located.");
        } else if (OpenReceiver(side)) {
            ReportStatus(side, RECEIVER_READING);
            ReadReports(side);
            ReportStatus(side, RECEIVER_ENDED);
            side.device.Close();
            continue;
        }

        ReportStatus(side, RECEIVER_WAITING);
        bool stopping = false;
        for (int pass = 0; pass < kWaitPasses; ++pass) {
            if (!Running()) {
                stopping = true;
                break;
            }
            // A request made while the receiver was open is still set and ends the
            // wait in its first pass.
            if (side.rescan.exchange(false))
                break;
            WaitPass(side.rescan);
        }
        if (stopping)
            break;
    }

    if (!side.dispatcher.Started())
        return;
    // The dispatcher watches g_bRunning too; it cannot be terminated, so a late one
    // is still waited for after the trace line.
    if (side.dispatcher.WaitFor(kDispatcherWait)) {
        Trace(side.ir ? "[KEYWARDEN] DispatcherThread Stopped."
                      : "[KEYWARDEN] DispatcherThreadForGameController Stopped.");
    } else {
        Trace(side.ir ? "[KEYWARDEN] Timeout, Terminating Dispatcher Thread"
                      : "[KEYWARDEN] Timeout, Terminating Dispatcher For GameController Thread");
    }
    side.dispatcher.Join();
}

bool ReceiverMonitor::OpenIrReceiver() {
    return OpenReceiver(IrSide());
}

bool ReceiverMonitor::OpenGameReceiver() {
    return OpenReceiver(GameSide());
}

ReceiverNodeOpen OpenReceiverNode(HidSystem& hid, const char* path,
                                  const std::function<void()>& pause) {
    ReceiverNodeOpen open;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0)
            pause();
        HidDeviceInfo info;
        open.result = hid.OpenHidDevice(path, true, true, true, true, false, &info);
        if (open.result == HID_OPEN_OK) {
            open.handle = std::move(info.handle);
            open.error = 0;
            return open;
        }
        open.error = errno;
    }
    return open;
}

bool ReceiverMonitor::OpenReceiver(const Side& side) {
    auto pause = [this] { SleepUnlessStopped(m_waitMutex, m_waitCv, kOpenRetryWait); };
    ReceiverNodeOpen open = OpenReceiverNode(*m_pHid, side.path, pause);
    if (open.handle) {
        Trace("[KEYWARDEN] Exclusively open file success.");
        side.device = std::move(open.handle);
        return true;
    }
    pause();  // after the last attempt as after the first
    Trace("[KEYWARDEN] OpenHidDevice error %d : GetLastError: %d.", open.result, open.error);
    return false;
}

void ReceiverMonitor::ReadIrReports() {
    ReadReports(IrSide());
}

void ReceiverMonitor::ReadGameReports() {
    ReadReports(GameSide());
}

void ReceiverMonitor::ReadReports(const Side& side) {
    const std::size_t length = side.ir ? kIrReportSize : kGameReportSize;
    // Ends a pending read at once when the program stops.
    WakeSignal wake;
    if (!wake.Valid()) {
        SleepUnlessStopped(m_waitMutex, m_waitCv, kAfterFailedRead);
        return;
    }
    const int wakerId =
        AddRunWaker([](void* signal) { static_cast<WakeSignal*>(signal)->Signal(); }, &wake);

    bool ended = false;
    while (Running()) {
        std::uint8_t report[kIrReportSize] = {};
        const HidReadResult read =
            ReadHidReport(side.device.Get(), wake.Fd(), std::span(report, length), kReadTimeoutMs);
        if (read.status == HidReadStatus::Woken) {
            wake.Drain();
            continue;
        }
        if (read.status == HidReadStatus::Timeout)
            continue;
        if (read.status == HidReadStatus::Failed || read.size < length) {
            ended = true;
            break;
        }

        const std::span<const std::uint8_t> bytes(report, length);
        if (side.ir) {
            if (HidManager::IsValidIrReport(bytes)) {
                m_pKeyQueue->PushIrKey(static_cast<IrScanCode>(report[4] << 8 | report[5]));
            } else {
                Trace("[KEYWARDEN] Invalid ScanCode ignored: %x", BigEndian32(report + 2));
            }
        } else {
            if (HidManager::IsValidGameReport(bytes)) {
                m_pKeyQueue->PushGameKey(BigEndian32(report + 1));
            } else {
                Trace("[KEYWARDEN] Invalid ScanCode ignored: %x", BigEndian32(report + 1));
            }
        }
    }

    RemoveRunWaker(wakerId);
    if (ended)
        SleepUnlessStopped(m_waitMutex, m_waitCv, kAfterFailedRead);
}

ReceiverMonitor* GetReceiverMonitor() {
    static ReceiverMonitor monitor;
    return &monitor;
}

namespace {

unsigned RunReceiverThread(ReceiverMonitor* monitor, IMainDialog* dialog, bool ir,
                           DispatcherEntry dispatcher) {
    BeginRunning();
    monitor->m_pDialog.store(dialog, std::memory_order_release);
    monitor->RegisterHidNotification();
    if (ir) {
        monitor->ServiceBegin(dispatcher);
    } else {
        monitor->ServiceBeginForGameController(dispatcher);
    }
    monitor->UnregisterHidNotification();
    Trace("[KEYWARDEN] ServiceBegin RETURN!");
    return 0;
}

}  // namespace

unsigned RunIrReceiverThread(ReceiverMonitor* monitor, IMainDialog* dialog,
                             DispatcherEntry dispatcher) {
    return RunReceiverThread(monitor, dialog, true, dispatcher);
}

unsigned RunGameReceiverThread(ReceiverMonitor* monitor, IMainDialog* dialog,
                               DispatcherEntry dispatcher) {
    return RunReceiverThread(monitor, dialog, false, dispatcher);
}

bool EndReceiverThreads(WorkerThread& irThread, WorkerThread& gameThread,
                        std::chrono::milliseconds bound) {
    const auto begin = std::chrono::steady_clock::now();
    StopRunning();
    const auto deadline = begin + bound;
    // Rounded up, so that giving up never comes before the bound.
    auto left = [&] {
        return std::max(std::chrono::milliseconds(0),
                        std::chrono::ceil<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now()));
    };
    const bool ir = irThread.WaitFor(left());
    if (!ir)
        Trace("[KEYWARDEN] HID thread still running at exit");
    const bool game = gameThread.WaitFor(left());
    if (!game)
        Trace("[KEYWARDEN] HIDForGame thread still running at exit");
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - begin);
    Trace("[KEYWARDEN] Receiver threads ended %lld ms after exit was requested",
          static_cast<long long>(waited.count()));
    return ir && game;
}
