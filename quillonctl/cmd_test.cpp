// quillonctl test: the end-of-line test of one kit (station/eol_run) on a terminal:
// the keys still missing, a countdown and each step's verdict as they come, then the
// verdict, and the run's record in the results store.

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/process/display_escape.h"
#include "platform/process/stop_signals.h"
#include "quillonctl/ctl.h"
#include "quillonctl/event_loop.h"
#include "quillonctl/output_writer.h"
#include "quillonctl/service_setup.h"
#include "quillonctl/texts.h"
#include "receiver/key_names.h"
#include "service/service_config.h"
#include "station/eol_run.h"
#include "station/receiver_session.h"
#include "station/results_export.h"
#include "station/results_open.h"

namespace {

// The run's statuses are this program's.
constexpr bool Same(EolExit eol, CtlExit ctl) {
    return static_cast<int>(eol) == static_cast<int>(ctl);
}
static_assert(Same(kEolAbsent, kExitAbsent) && Same(kEolDenied, kExitDenied) &&
              Same(kEolHeld, kExitHeld) && Same(kEolNotPassed, kExitNotPassed) &&
              Same(kEolBound, kExitBound) && Same(kEolServiceFailed, kExitServiceFailed) &&
              Same(kEolKeysFailed, kExitKeysFailed) && Same(kEolAborted, kExitAborted));

using namespace std::chrono_literals;

constexpr int kTickTimer = 1;
constexpr std::size_t kMaxSerialBytes = 64;

nlohmann::json NamesJson(const std::vector<KeyId>& keys) {
    nlohmann::json names = nlohmann::json::array();
    for (KeyId key : keys)
        names.push_back(std::string(KeyName(key)));
    return names;
}

// A step as shown; its name is what is recorded.
const char* StepTitle(const std::string& name) {
    if (name == "receivers")
        return Translate("quillonctl", "Receivers");
    if (name == "keys")
        return Translate("quillonctl", "Keys");
    if (name == "token")
        return Translate("quillonctl", "Token");
    if (name == "calibration")
        return Translate("quillonctl", "Calibration");
    return Translate("quillonctl", "Step");
}

// A label serial typed or scanned at the prompt: a scanner types it and Enter. Waits on
// stdin and the stop signals together; nothing when a signal came or stdin ended.
std::optional<std::string> PromptSerial(bool* signalled) {
    std::fprintf(stderr, "%s ",
                 Translate("quillonctl", "Label serial (scan or type, Enter for none):"));
    std::fflush(stderr);
    std::string line;
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {StopSignalFd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (fds[1].revents != 0) {
            *signalled = true;
            return std::nullopt;
        }
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return line.empty() ? std::nullopt : std::optional(line);
        if (c == '\n')
            break;
        if (c != '\r' && line.size() <= kMaxSerialBytes)
            line += c;
    }
    return line;
}

// A label serial as given: at most kMaxSerialBytes of printable text.
bool CheckSerial(const std::string& serial) {
    if (serial.size() > kMaxSerialBytes)
        return Fail(Format(Translate("quillonctl", "--serial: longer than %zu bytes"),
                           kMaxSerialBytes)),
               false;
    if (EscapeForDisplay(serial) != serial || serial.find('\\') != std::string::npos)
        return Fail(Format(Translate("quillonctl", "--serial: \"%s\" is not plain text"),
                           EscapeForDisplay(serial).c_str())),
               false;
    return true;
}

// The calibration's timers and posted calls, on the terminal program's loop.
class LoopHost : public EolHost {
public:
    explicit LoopHost(EventLoop& loop) : m_loop(loop) {}
    void Post(std::function<void()> call) override { m_loop.Post(std::move(call)); }
    void SetTimer(int id, std::chrono::milliseconds period, std::function<void()> fire) override {
        m_loop.SetTimer(id, period, std::move(fire));
    }
    void KillTimer(int id) override { m_loop.KillTimer(id); }

private:
    EventLoop& m_loop;
};

// Renders the run as it goes: text lines (and on a terminal a countdown line that is
// rewritten), or JSON Lines events. Runs on the loop's thread; every text goes out
// through the writer, so a stdout nobody reads holds up nothing.
class TestFace {
public:
    TestFace(OutputWriter& out, bool json, bool tty) : m_out(out), m_json(json), m_tty(tty) {}

    void Show(const EndOfLineRun::View& view) {
        for (std::size_t i = 0; i < view.steps.size(); ++i) {
            const StepRecord& step = view.steps[i];
            if (i >= m_stepsBegun) {
                m_stepsBegun = i + 1;
                StepBegun(step, view);
            }
            if (step.ended != 0 && i >= m_stepsEnded) {
                m_stepsEnded = i + 1;
                KeysPressed(view);  // the last key's release ends the keys step
                StepEnded(step);
            }
        }
        KeysPressed(view);
        if (view.calibrationStatus != m_calibrationStatus) {
            m_calibrationStatus = view.calibrationStatus;
            if (!m_calibrationStatus.empty())
                Event("  " + Format(Translate("quillonctl", "calibration: %s"),
                                    ShownStatus(m_calibrationStatus.c_str())),
                      {{"event", "calibration"}, {"status", m_calibrationStatus}});
        }
        if (!view.tokenSerial.empty() && !m_tokenShown) {
            m_tokenShown = true;
            Event("  " + Format(Translate("quillonctl", "token serial %s, password %s"),
                                view.tokenSerial.c_str(), view.tokenPassword.c_str()),
                  {{"event", "token"}, {"serial", view.tokenSerial}});
        }
        Countdown(view);
    }

    void Verdict(const RunRecord& record, const std::string& stored) {
        ClearCountdown();
        if (m_json) {
            nlohmann::json object = RecordJson(record);
            object["event"] = "record";
            if (!stored.empty())
                object["store"] = stored;
            m_out.Write(JsonText(object) + "\n");
            return;
        }
        std::string text = std::string(RunOutcomeKey(record.outcome));
        if (!record.why.empty())
            text += ": " + record.why;
        m_out.Write(text + "\n");
        if (!stored.empty())
            m_out.Write(stored + "\n");
    }

    void Line(const std::string& text) {
        if (m_json)
            return;
        ClearCountdown();
        m_out.Write(text + "\n");
    }

private:
    void Event(const std::string& text, nlohmann::json object) {
        ClearCountdown();
        if (m_json) {
            object["t"] = MonotonicSeconds();
            m_out.Write(JsonText(object) + "\n");
        } else {
            m_out.Write(text + "\n");
        }
    }

    void StepBegun(const StepRecord& step, const EndOfLineRun::View& view) {
        nlohmann::json object{{"event", "step_begun"}, {"step", step.name}};
        std::string text = std::string(StepTitle(step.name)) + "...";
        if (step.name == "keys") {
            m_missing = view.missing;
            object["missing"] = NamesJson(view.missing);
            text += " " + Format(Translate("quillonctl", "press every key once (%zu): %s"),
                                 view.missing.size(), KeyNames(view.missing).c_str());
        } else if (step.name == "token") {
            text += " " + std::string(Translate("quillonctl", "press the token key"));
        }
        Event(text, object);
    }

    void StepEnded(const StepRecord& step) {
        std::string text =
            std::string(StepTitle(step.name)) + ": " + std::string(StepOutcomeKey(step.outcome));
        if (!step.why.empty())
            text += " (" + step.why + ")";
        Event(text, {{"event", "step_ended"},
                     {"step", step.name},
                     {"outcome", std::string(StepOutcomeKey(step.outcome))},
                     {"why", step.why}});
    }

    // The keys pressed and flagged since the last view.
    void KeysPressed(const EndOfLineRun::View& view) {
        if (view.step != EolStep::Receivers && view.missing != m_missing) {
            for (KeyId key : m_missing) {
                if (std::find(view.missing.begin(), view.missing.end(), key) == view.missing.end())
                    KeyPressed(key, view.missing.size());
            }
            m_missing = view.missing;
        }
        if (view.flagged != m_flagged) {
            for (KeyId key : view.flagged) {
                if (std::find(m_flagged.begin(), m_flagged.end(), key) == m_flagged.end())
                    Event("  " + Format(Translate("quillonctl", "flagged: %s"),
                                        std::string(KeyName(key)).c_str()),
                          {{"event", "key_flagged"}, {"key", std::string(KeyName(key))}});
            }
            m_flagged = view.flagged;
        }
    }

    void KeyPressed(KeyId key, std::size_t left) {
        Event("  " + Format(Translate("quillonctl", "pressed: %s (%zu left)"),
                            std::string(KeyName(key)).c_str(), left),
              {{"event", "key_pressed"}, {"key", std::string(KeyName(key))}, {"left", left}});
    }

    void Countdown(const EndOfLineRun::View& view) {
        if (!m_tty || m_json || view.finished)
            return;
        const long long seconds = std::chrono::ceil<std::chrono::seconds>(view.left).count();
        std::string text = "\r  " + std::to_string(seconds) + " s";
        if (view.step == EolStep::Keys)
            text += "  " +
                    Format(Translate("quillonctl", "missing: %s"), KeyNames(view.missing).c_str());
        if (text.size() > 78)
            text = std::string(Utf8Prefix(text, 75)) + "...";
        if (text == m_countdown)
            return;
        ClearCountdown();
        m_out.Write(text);
        m_countdown = text;
    }

    void ClearCountdown() {
        if (m_countdown.empty())
            return;
        m_out.Write("\r" + std::string(m_countdown.size(), ' ') + "\r");
        m_countdown.clear();
    }

    OutputWriter& m_out;
    const bool m_json;
    const bool m_tty;
    std::size_t m_stepsBegun = 0;
    std::size_t m_stepsEnded = 0;
    std::vector<KeyId> m_missing;
    std::vector<KeyId> m_flagged;
    bool m_tokenShown = false;
    std::string m_calibrationStatus;
    std::string m_countdown;
};

}  // namespace

int RunTest(const CtlOptions& options, const TestSettings& given) {
    std::string error;
    if (!SetUpServiceFlows(options, &error))
        return Fail(error);
    // A second signal waits for the record to be written.
    if (!InstallStopSignals(&error, RepeatedStopSignal::LetsTheExitFinish))
        return Fail(error);

    EolSettings settings;
    settings.station = given.station.value_or(DefaultStation());
    settings.operatorId = given.operatorId;
    settings.version = given.version;
    settings.keepPasswords = given.keepPasswords;
    settings.calibrateOnFail = given.calibrateOnFail;
    settings.calibration.wait =
        std::chrono::milliseconds(static_cast<long long>(given.calibrationWait * 1000));
    settings.calibration.timeout =
        std::chrono::milliseconds(static_cast<long long>(given.calibrationTimeout * 1000));
    settings.keyTimeout =
        std::chrono::milliseconds(static_cast<long long>(given.keyTimeout * 1000));
    settings.timeout = std::chrono::milliseconds(static_cast<long long>(given.timeout * 1000));
    settings.limits.doublePress =
        std::chrono::milliseconds(static_cast<long long>(given.doubleLimitMs));
    settings.limits.stuck =
        std::chrono::milliseconds(static_cast<long long>(given.stuckLimit * 1000));
    const ServiceConfig config = LoadServiceConfig(ConfigEnvironment::FromProcess());
    const std::string keyText =
        given.keys ? *given.keys
                   : (config.settings.testKeys.empty() ? "all" : config.settings.testKeys);
    const std::optional<std::vector<KeyId>> keys = ParseKeySelection(keyText, &error);
    if (!keys)
        return Fail((given.keys ? std::string("--keys") : config.settings.source + ": keys") +
                    ": " + error);
    settings.keys = *keys;

    OpenedResults opened = OpenResults(given.db, config.settings.results, &error);
    if (!opened.store)
        return Fail(error);
    ResultsStore* store = opened.store.get();
    // Records that waited for the shared database go first.
    if (opened.flush) {
        int delivered = 0;
        int left = 0;
        opened.flush(&delivered, &left, &error);
    }

    if (given.serial) {
        settings.labelSerial = *given.serial;
    } else if (!options.json && ::isatty(STDIN_FILENO)) {
        bool signalled = false;
        const std::optional<std::string> typed = PromptSerial(&signalled);
        if (signalled) {
            TakeStopSignal();
            return kExitAborted;
        }
        settings.labelSerial = typed.value_or("");
    }
    if (!CheckSerial(settings.labelSerial))
        return kExitUsage;

    OutputWriter out(STDOUT_FILENO);
    if (!out.Start([] {}))
        return Fail(Translate("quillonctl", "cannot start the output thread"));
    const bool tty = !options.json && ::isatty(STDOUT_FILENO);
    TestFace face(out, options.json, tty);

    EventLoop loop;
    LoopHost host(loop);
    EndOfLineRun run(settings, [&loop, &run, &face] {
        loop.Post([&run, &face] { face.Show(run.Snapshot()); });
    });
    run.SetHost(&host);
    if (!store->Begin(run.Record()))
        face.Line(Format(Translate("quillonctl", "warning: the run's start is not recorded: %s"),
                         store->LastError().c_str()));

    ReceiverSession session(run);
    bool signalled = false;
    if (run.TakeReceivers(ExamineReceivers(CtlHid()))) {
        if (!session.Start()) {
            run.Abort("cannot start the receiver threads");
        } else {
            loop.SetTimer(kTickTimer, 100ms, [&] {
                run.Tick();
                face.Show(run.Snapshot());
                if (run.Finished())
                    loop.Quit();
            });
            signalled = loop.Run();
            if (signalled)
                run.Abort("stopped by signal " + std::to_string(StopSignalReceived()));
        }
    }
    // Cancels a verification that still runs.
    session.Stop();
    face.Show(run.Snapshot());

    RunRecord record = run.Record();
    std::string stored;
    if (store->Finish(record)) {
        stored = opened.where;
        std::string why;
        if (opened.spooled && opened.spooled(&why)) {
            stored = Format(Translate("quillonctl", "the local store, waiting for %s (%s)"),
                            opened.where.c_str(), why.c_str());
        }
    } else {
        face.Line(Format(Translate("quillonctl", "error: the record is not stored: %s"),
                         store->LastError().c_str()));
    }
    face.Verdict(record, options.json || stored.empty()
                             ? ""
                             : Format(Translate("quillonctl", "record: %s"), stored.c_str()));

    int status = record.exitStatus;
    if (given.junit) {
        std::ofstream file(*given.junit, std::ios::binary | std::ios::trunc);
        WriteJunitOpen(file);
        WriteJunitSuite(file, record);
        WriteJunitClose(file);
        file.flush();
        if (!file) {
            face.Line(
                Format(Translate("quillonctl", "error: cannot write %s"), given.junit->c_str()));
            status = status == kExitOk ? kExitUsage : status;
        }
    }
    out.Finish(2s);
    if (stored.empty() && status == kExitOk)
        status = kExitUsage;  // a pass nobody can find later is no pass
    return status;
}
