#pragma once

// The soak: the real main dialog on the virtual kit and the simulator for a given
// time, driven as a busy bench would use it, while the process's resident memory,
// open file descriptors and threads are sampled every 10 s.
//
//   every 6 s      a token press, the verdict checked ("令匙验证通过"); a remote key held
//                  and a game-pad key held, each highlight checked
//   every 5 min    both receivers unplugged and plugged back in, the status lines checked
//   every 10 min   a token drifted five minutes is refused, then calibrated with the
//                  dialog's real 30-second wait, and verified again afterwards
//
// It fails on a wrong or missing verdict, a lost token frame, and on growth after the
// warm-up: a memory slope above 1 MB/h, or more descriptors or threads than the
// program settled at. Writes soak.csv (the samples), soak-events.csv (calibrations and
// replugs), soak-summary.txt (the figures, key=value) and soak.log.

#include <QString>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "receiver/types.h"
#include "tools/quillon_demo/soak_growth.h"

class CMainDlg;
class KitRig;
class QTimer;
class VirtualRemote;

class SoakRun {
public:
    SoakRun(KitRig& rig, std::chrono::seconds duration, std::string outDir, std::FILE* log);
    ~SoakRun();
    SoakRun(const SoakRun&) = delete;
    SoakRun& operator=(const SoakRun&) = delete;

    // Before the rig starts: the tokens of the rotation, in the simulator's state.
    bool AddTokens(std::string* error);
    // Message boxes are recorded and closed by the soak.
    void InstallBoxHook();
    // The whole soak; returns once the dialog has been told to exit.
    void Run(CMainDlg& dlg);
    // The growth checks and the summary; call after Run. 0 when everything passed.
    int Finish();

private:
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool Check(bool ok, const std::string& what);
    enum class Phase { Quiet, Short, Long };
    void Sample();
    void OnSampleTimer();
    void Enter(Phase phase);
    void Event(const char* what);
    double Elapsed() const;
    bool WaitUntil(std::chrono::steady_clock::time_point t);

    void PressToken(CMainDlg& dlg, VirtualRemote& token, const QString& expected);
    VirtualRemote* NextToken();
    void HoldKey(CMainDlg& dlg, KeyId key, bool game);
    void Replug(CMainDlg& dlg);
    void Calibrate(CMainDlg& dlg);

    KitRig& m_rig;
    const std::chrono::seconds m_duration;
    const std::string m_outDir;
    std::FILE* m_log;
    std::FILE* m_csv = nullptr;
    std::FILE* m_events = nullptr;
    std::chrono::steady_clock::time_point m_start;
    std::unique_ptr<QTimer> m_sampler;
    Phase m_phase = Phase::Quiet;
    bool m_samplePending = false;
    std::vector<SoakSample> m_samples;
    // The calibration token (the rig's remote, SN.ini's serial) and the others.
    std::vector<std::unique_ptr<VirtualRemote>> m_tokens;
    std::size_t m_nextToken = 0;
    QString m_lastBoxText;
    double m_firstCalibrationEnd = -1;
    double m_firstReplugEnd = -1;

    int m_presses = 0;
    int m_verdictsOk = 0;
    int m_lostFrames = 0;
    int m_badVerdicts = 0;
    int m_holds = 0;
    int m_calibrations = 0;
    int m_replugs = 0;
    int m_failures = 0;
};
