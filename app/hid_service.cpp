#include "app/hid_service.h"

#include "platform/process/stop_signals.h"
#include "platform/process/trace.h"
#include "platform/text/translatable.h"

namespace {

// Opens the unit; traces a missing manager. True when the unit can be driven.
bool OpenKeywarden(IServiceControl& scm) {
    switch (scm.OpenService(kKeywardenUnit)) {
        case IServiceControl::Open::Ok:
            return true;
        case IServiceControl::Open::NoManager:
            Trace("[KEYWARDEN]Can't Open SCManager!");
            break;
        case IServiceControl::Open::NoService:
            // Not installed or not ours to see: nothing to stop, nothing to say.
            break;
    }
    scm.Close();
    return false;
}

}  // namespace

void StopHidService(HidManager* manager, IServiceControl& scm, const HintBox& showHint) {
    if (!OpenKeywarden(scm)) {
        return;
    }
    if (!scm.IsStopped()) {
        if (scm.Stop()) {
            showHint(
                QUILLON_TEXT("Status", "For Quillon, Orvane Keywarden Service\nHas been stopped."),
                QUILLON_TEXT("Status", "Hint"));
            manager->m_bServiceStopped = true;
        } else {
            // Claiming it stopped would also make exit start a service we never stopped.
            Trace("[KEYWARDEN] Stop request for %s refused: %s", kKeywardenUnit,
                  scm.LastError().c_str());
        }
    }
    scm.Close();
}

void RestartHidService(HidManager* manager, IServiceControl& scm) {
    if (!manager->m_bServiceStopped) {
        return;
    }
    // A second stop signal (a closed terminal sends two) would end the bus's wait
    // early and leave the service stopped; the call has its own time limit.
    StopSignalsHeldBack held;
    if (!OpenKeywarden(scm)) {
        return;
    }
    // As at start, the result does not change what the user sees.
    if (!scm.Start())
        Trace("[KEYWARDEN] Start request for %s failed: %s", kKeywardenUnit,
              scm.LastError().c_str());
    scm.Close();
}
