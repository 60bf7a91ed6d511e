#include "tools/quillon_demo/station_scenario.h"

#include <stdlib.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "app/station_window.h"
#include "station/key_coverage.h"
#include "tools/quillon_demo/kit_rig.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A text of the station window as it shows it: in the language the demo runs in.
QString Shown(const char* text) {
    return QCoreApplication::translate("CStationWnd", text);
}

// Whether `text` is `form` ("All %1 keys pressed") with its %1 filled in.
bool Fills(const QString& text, const QString& form) {
    const QStringList parts = form.split(QStringLiteral("%1"));
    return parts.size() == 2 && text.size() > form.size() - 2 && text.startsWith(parts[0]) &&
           text.endsWith(parts[1]);
}

class StationScenario {
public:
    StationScenario(KitRig& rig, std::string outDir, std::FILE* log)
        : m_rig(rig), m_outDir(std::move(outDir)), m_log(log) {}

    int Run() {
        // A store and a configuration of the demo's own, fresh each time, so a user's
        // quillon.conf (a shared database, a shorter key list) stays out of it.
        const fs::path state = fs::path(m_outDir) / "station-state";
        const fs::path config = fs::path(m_rig.WorkDir()) / "station-config";
        std::error_code ec;
        fs::remove_all(state, ec);
        fs::create_directories(state, ec);
        fs::create_directories(config / "quillon", ec);
        std::ofstream(config / "quillon" / "quillon.conf")
            << "# quillon-demo's own: every key, the local store\n";
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        ::setenv("QUILLON_SYSFS_ROOT", m_rig.kit.Bus().SysRoot().c_str(), 1);
        ::setenv("QUILLON_DEV_ROOT", m_rig.kit.Bus().DevRoot().c_str(), 1);

        Log("station: every key and the token");
        if (Open(std::nullopt, 60s) && Scan(QString::fromStdString(m_rig.remote.Serial()))) {
            Check(m_rig.remote.PressEach(*ParseKeySelection("all", nullptr)),
                  "every key of the remote and the game pad pressed once");
            if (Check(Shows("stepLabel", Shown("Press the token key"), 60s),
                      "the window asks for the token key")) {
                m_rig.remote.PressTokenKey();
                Check(Ended(), "the run ended");
                Check(Text("verdictLabel") == Shown("✔ PASS"), "the verdict is PASS");
                Check(Fills(Text("missingLabel"), Shown("All %1 keys pressed")),
                      "the Keys box says all were pressed");
                Shot("station-pass");
            }
        }
        Close();
        if (WaitsAbandoned())
            return m_failures;

        Log("station: keys 5 and 6 asked for, only 5 pressed, 3 s to press them");
        if (Open("5,6", 3s) && Scan("DEMO-UNIT-2")) {
            m_rig.remote.Press(53);
            Check(Ended(), "the run ended at the keys' limit");
            Check(Text("verdictLabel") == Shown("✘ FAIL"), "the verdict is FAIL");
            Check(Text("whyLabel") == "key 6 not pressed", "the reason is \"key 6 not pressed\"");
            Shot("station-fail");
        }
        Close();
        Log("station records in " + state.string());
        return m_failures;
    }

private:
    bool Open(std::optional<std::string> keys, std::chrono::milliseconds keyTimeout) {
        StationOptions options;
        options.keys = std::move(keys);
        options.keyTimeout = keyTimeout;
        options.version = "demo";
        m_wnd = std::make_unique<CStationWnd>(m_services, options);
        m_wnd->OnInitDialog();
        m_wnd->show();
        m_wnd->activateWindow();
        QApplication::setActiveWindow(m_wnd.get());
        return Check(ProcessEventsUntil([&] { return Serial()->hasFocus(); }, 10s),
                     "the station window is open with the focus in the serial field");
    }

    void Close() {
        if (m_wnd)
            m_wnd->OnExit();
        m_wnd.reset();
    }

    // What a scanner does: the label's characters into the focused field, then Enter;
    // then until both receiver threads hold their receiver (the check's open, then the
    // thread's).
    bool Scan(const QString& serial) {
        const int ir = m_rig.kit.IrOpens();
        const int game = m_rig.kit.GameOpens();
        Log("scan \"" + serial.toStdString() + "\"");
        QTest::keyClicks(Serial(), serial);
        QTest::keyClick(Serial(), Qt::Key_Return);
        return Check(m_wnd->Running(), "the scan started a run") &&
               Check(ProcessEventsUntil(
                         [&] {
                             return m_rig.kit.IrOpens() >= ir + 2 &&
                                    m_rig.kit.GameOpens() >= game + 2;
                         },
                         20s),
                     "both receivers are read");
    }

    bool Ended() {
        return ProcessEventsUntil([&] { return !m_wnd->Running(); }, 30s);
    }

    QLineEdit* Serial() { return m_wnd->findChild<QLineEdit*>("serialEdit"); }
    QString Text(const char* name) {
        const auto* label = m_wnd->findChild<QLabel*>(name);
        return label != nullptr ? label->text() : QString();
    }
    bool Shows(const char* name, const QString& text, std::chrono::milliseconds bound) {
        return ProcessEventsUntil([&] { return Text(name) == text; }, bound);
    }

    bool Check(bool ok, const char* what) {
        std::fprintf(m_log, "%s %s\n", ok ? "ok    " : "FAILED", what);
        std::fflush(m_log);
        if (!ok)
            ++m_failures;
        return ok;
    }
    void Log(const std::string& line) {
        std::fprintf(m_log, "%s\n", line.c_str());
        std::fflush(m_log);
    }

    void Shot(const char* name) {
        ProcessEventsUntil([] { return false; }, 150ms);
        const std::string file = std::to_string(++m_shots) + "-" + name + ".png";
        const bool saved = m_wnd->grab().save(QString::fromStdString(m_outDir + "/" + file), "PNG");
        Check(saved, ("screenshot " + file).c_str());
    }

    KitRig& m_rig;
    std::string m_outDir;
    std::FILE* m_log;
    RecordingServiceControl m_services{m_rig.events, false};
    std::unique_ptr<CStationWnd> m_wnd;
    int m_failures = 0;
    int m_shots = 0;
};

}  // namespace

int RunStationScenario(KitRig& rig, const std::string& outDir, std::FILE* log) {
    return StationScenario(rig, outDir, log).Run();
}
