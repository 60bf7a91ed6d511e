#pragma once

// The demo's scripted scenario, run inside the main dialog's modal loop: drives the
// virtual remote window and the main dialog like a user would, checks that each step
// shows what it should, writes screenshots of the whole screen and a log line per
// step, closes the message boxes itself, and ends with Exit. After it, one end-of-line
// test of the same kit by quillonctl, whose record joins the output folder.

#include <QString>
#include <chrono>
#include <cstdio>
#include <string>

class CMainDlg;
class KitRig;
class RemoteWindow;
class QWidget;

class DemoScenario {
public:
    // `outDir` exists; `log` is open for appending.
    DemoScenario(KitRig& rig, RemoteWindow& remote, std::string outDir, std::FILE* log);
    ~DemoScenario();

    // Takes over message boxes: each is shown, photographed and closed by the scenario.
    void InstallBoxHook();
    // The whole scenario; returns once the dialog has been told to exit.
    void Run(CMainDlg& dlg);
    // Once the dialog is gone and nothing else holds the receivers: quillonctl test on
    // the kit (served, so another process opens it) and the rig's simulator, driven
    // through the remote window; eol-record.json, eol-results.txt and eol-events.jsonl
    // in the output folder. A stop signal ends quillonctl too, before this returns.
    void RunEndOfLine();

    int Failures() const { return m_failures; }

private:
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Waits for `name`'s text inside `root`; logs the outcome.
    bool Expect(const QWidget* root, const char* name, const QString& text,
                std::chrono::milliseconds timeout = std::chrono::seconds(15));
    bool Check(bool ok, const char* what);
    void Shot(const char* name);
    void HoldOnPicture(unsigned short key);
    void ReleaseOnPicture(unsigned short key);
    void PressToken();
    void Calibrate(CMainDlg& dlg);

    KitRig& m_rig;
    RemoteWindow& m_remote;
    std::string m_outDir;
    std::FILE* m_log;
    int m_failures = 0;
    int m_shots = 0;
    std::string m_boxShot = "message-box";
    QString m_lastBoxText;
    std::chrono::steady_clock::time_point m_start;
};
