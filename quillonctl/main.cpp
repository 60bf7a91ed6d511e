// quillonctl: the kit from a terminal. One verb per job, stable exit statuses, and the
// same facts as JSON with --json. Built on the layers the window uses, so both tell
// the same truth.

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/process/trace.h"
#include "quillonctl/ctl.h"
#include "quillonctl/options.h"
#include "quillonctl/texts.h"
#include "service/token_calibration.h"

#ifndef QUILLON_VERSION
#error "QUILLON_VERSION must be defined by the build"
#endif

namespace {

constexpr const char* kVersion = "quillonctl " QUILLON_VERSION;

// --json, --trace and --version on every subcommand.
void AddCommonOptions(CLI::App* command, CtlOptions& options) {
    command->add_flag("--json", options.json, "write one JSON object (watch, replay: JSON Lines)");
    command->add_flag("--trace", options.trace,
                      "show the trace lines of Quillon's layers on stderr");
    command->set_version_flag("--version", kVersion);
}

// --help beside words that are no subcommand or argument ("quillonctl nosuch --help"):
// CLI11 would show the help of what it did understand and exit 0; a script with a
// typo should hear of it.
int HelpOrUsageError(CLI::App& app, const CLI::Error& help) {
    std::string first;
    if (app.remaining_size() > 0)
        first = app.remaining().front();
    for (const CLI::App* sub : app.get_subcommands()) {
        if (first.empty() && !sub->get_allow_extras() && sub->remaining_size() > 0)
            first = sub->remaining().front();
    }
    if (first.empty())
        return app.exit(help);
    const std::string word = QuoteArgument(first);
    return Fail(
        app.get_subcommands().empty()
            ? Format(Translate("quillonctl", "unknown subcommand %s (see --help)"), word.c_str())
            : Format(Translate("quillonctl", "unexpected argument %s (see --help)"), word.c_str()));
}

}  // namespace

int main(int argc, char** argv) {
    ReserveStandardStreams();
    // Before any thread, and after the standard descriptors are taken: nothing Qt
    // opens may become stdout.
    LoadTranslation();
    CLI::App app{"Quillon's kit from a terminal: receivers, keys, the token and its service.",
                 "quillonctl"};
    app.set_version_flag("--version", kVersion);
    app.require_subcommand(1);
    app.footer(ExitStatusFooter({kExitOk, kExitUsage, kExitAbsent, kExitDenied, kExitHeld,
                                 kExitNotPassed, kExitBound, kExitServiceFailed, kExitDoctorFailed,
                                 kExitKeysFailed, kExitAborted}));

    CtlOptions options;
    bool all = false;
    double checkTimeout = 0;
    bool watchVerify = false;
    std::optional<std::string> serial;
    std::optional<std::string> password;
    bool wait = false;
    double verifyTimeout = 60;
    double calWait = std::chrono::duration<double>(TokenCalibration::kWaitPeriod).count();
    double calTimeout = std::chrono::duration<double>(TokenCalibration::kTimeoutPeriod).count();
    std::optional<std::string> endpoint;  // given, even empty: checked, never ignored
    std::string udevRoot;
    std::string output;
    std::vector<std::string> recordNodes;
    std::string replayFile;
    ReplaySettings replay;
    TestSettings test;
    test.version = QUILLON_VERSION;
    ResultsSettings results;

    CLI::App* list = app.add_subcommand("list", "the kit's hidraw nodes, their roles and holders");
    list->add_flag("--all", all, "every hidraw node, with its ids");
    list->footer(ExitStatusFooter({kExitOk, kExitUsage}));
    AddCommonOptions(list, options);

    CLI::App* check = app.add_subcommand("check", "open both receivers as the window does");
    AddNumberOption(check, "--timeout", checkTimeout, {0, 86400, "seconds"},
                    "wait up to S seconds (0 to 86400) for receivers to appear")
        ->type_name("S");
    check->footer(ExitStatusFooter({kExitOk, kExitUsage, kExitAbsent, kExitDenied, kExitHeld}));
    AddCommonOptions(check, options);

    CLI::App* watch = app.add_subcommand("watch", "one line per receiver, key and token event");
    watch->add_flag("--verify", watchVerify, "verify every token frame with the token service");
    // 1 also when stdout fails (closed, a reader gone).
    watch->footer(ExitStatusFooter({kExitOk, kExitUsage}));
    AddCommonOptions(watch, options);

    CLI::App* verify = app.add_subcommand("verify", "one ReviseEkey verification");
    verify->add_option("--serial", serial, "the token's 9-digit serial number");
    verify->add_option("--password", password, "its 8-digit dynamic password");
    verify->add_flag("--wait", wait, "verify the next token press instead");
    AddNumberOption(verify, "--timeout", verifyTimeout, {0.001, 86400, "seconds"},
                    "with --wait: give up after S seconds (60; 0.001 to 86400)")
        ->type_name("S");
    verify->footer(
        ExitStatusFooter({kExitOk, kExitUsage, kExitNotPassed, kExitBound, kExitServiceFailed}));
    AddCommonOptions(verify, options);

    CLI::App* calibrate =
        app.add_subcommand("calibrate", "calibrate the token with two passwords 30 s apart");
    // Shorter periods are for tests and demonstrations; the service expects 30 s.
    AddNumberOption(calibrate, "--wait-period", calWait, {0.001, 3600, "seconds"},
                    "seconds between the two presses (30)")
        ->group("");
    AddNumberOption(calibrate, "--timeout-period", calTimeout, {0.001, 3600, "seconds"},
                    "seconds from the first press (120)")
        ->group("");
    calibrate->footer(
        ExitStatusFooter({kExitOk, kExitUsage, kExitNotPassed, kExitBound, kExitServiceFailed}));
    AddCommonOptions(calibrate, options);

    CLI::App* doctor = app.add_subcommand(
        "doctor", "why the kit does or does not work here, one check per line, with fixes");
    // For tests: the udev rule directories below another root.
    doctor->add_option("--udev-root", udevRoot, "look for udev rules below DIR")->group("");
    doctor->footer(ExitStatusFooter({kExitOk, kExitUsage, kExitDoctorFailed}));
    AddCommonOptions(doctor, options);

    CLI::App* record = app.add_subcommand(
        "record", "record what the receivers send (hid-recorder format), until Ctrl-C");
    record->add_option("--output", output, "write to FILE instead of stdout");
    // NODE... as the extra arguments: a vector option trips GCC's null-dereference
    // analysis inside CLI11.
    record->allow_extras();
    record->footer(
        "Arguments: [NODE...] hidraw nodes to record, as hidrawN or a path\n"
        "(default: both receivers).\n\n" +
        ExitStatusFooter({kExitOk, kExitUsage, kExitAbsent, kExitDenied}));
    AddCommonOptions(record, options);

    CLI::App* replayCommand = app.add_subcommand(
        "replay", "play a recording back through /dev/uhid (or the virtual kit)");
    replayCommand->add_option("file", replayFile, "a hid-recorder recording")->required();
    AddNumberOption(replayCommand, "--speed", replay.speed, {0.01, 1000, "times as fast"},
                    "play X times as fast (1; 0.01 to 1000)")
        ->type_name("X");
    replayCommand->footer(ExitStatusFooter({kExitOk, kExitUsage}));
    replayCommand->add_flag("--virtual", replay.virtualKit,
                            "serve the devices in a temporary tree instead of /dev/uhid");
    replayCommand->add_flag("--hold", replay.hold,
                            "keep the devices after the replay, until Ctrl-C");
    replayCommand->add_flag("--no-wait", replay.noWait,
                            "start at once, not when a program has opened every device");
    AddCommonOptions(replayCommand, options);

    CLI::App* testCommand = app.add_subcommand(
        "test", "the end-of-line test of one kit: receivers, every key, the token; recorded");
    testCommand->add_option("--operator", test.operatorId, "who tests (kept in the record)")
        ->type_name("ID");
    testCommand->add_option("--station", test.station, "this station (default: the host name)")
        ->type_name("ID");
    testCommand
        ->add_option("--serial", test.serial,
                     "the unit's label serial (default: asked at a terminal)")
        ->type_name("S");
    testCommand
        ->add_option("--keys", test.keys, "the keys to press: all, ir, pad or NAME,... (all)")
        ->type_name("KEYS");
    AddNumberOption(testCommand, "--key-timeout", test.keyTimeout, {1, 3600, "seconds"},
                    "seconds for the keys (120)")
        ->type_name("S");
    AddNumberOption(testCommand, "--timeout", test.timeout, {1, 86400, "seconds"},
                    "seconds for the whole run, then it is aborted (300)")
        ->type_name("S");
    AddNumberOption(testCommand, "--double-limit", test.doubleLimitMs, {0, 10000, "ms"},
                    "a new press within MS of the last one's end is one press twice (60)")
        ->type_name("MS");
    AddNumberOption(testCommand, "--stuck-limit", test.stuckLimit, {0.1, 3600, "seconds"},
                    "a key held longer than S seconds is stuck (5)")
        ->type_name("S");
    testCommand
        ->add_option("--db", test.db,
                     "the results store: a SQLite file or postgresql://... "
                     "(default: the configuration's, else the local store)")
        ->type_name("URL");
    testCommand->add_option("--junit", test.junit, "also write the run as JUnit XML to FILE")
        ->type_name("FILE");
    testCommand->add_flag("--calibrate-on-fail", test.calibrateOnFail,
                          "calibrate a token that does not pass, then verify a fresh press");
    AddNumberOption(testCommand, "--wait-period", test.calibrationWait, {0.001, 3600, "seconds"},
                    "seconds between the calibration's two presses (30)")
        ->group("");
    AddNumberOption(testCommand, "--timeout-period", test.calibrationTimeout,
                    {0.001, 3600, "seconds"}, "seconds from the calibration's first press (120)")
        ->group("");
    testCommand->add_flag("--keep-passwords", test.keepPasswords,
                          "keep the token's dynamic passwords in the record");
    testCommand->footer(
        ExitStatusFooter({kExitOk, kExitUsage, kExitAbsent, kExitDenied, kExitHeld, kExitNotPassed,
                          kExitBound, kExitServiceFailed, kExitKeysFailed, kExitAborted}));
    AddCommonOptions(testCommand, options);

    CLI::App* resultsCommand =
        app.add_subcommand("results", "the recorded end-of-line runs, newest first");
    resultsCommand->add_option("--db", results.db, "the results store (as for test)")
        ->type_name("URL");
    resultsCommand->add_option("--since", results.since, "runs started on or after DATE (UTC)")
        ->type_name("DATE");
    resultsCommand->add_option("--until", results.until, "runs started before DATE (UTC)")
        ->type_name("DATE");
    resultsCommand->add_option("--serial", results.serial, "one unit's runs")->type_name("S");
    resultsCommand->add_option("--station", results.station, "one station's runs")->type_name("ID");
    resultsCommand->add_option("--outcome", results.outcome, "PASS, FAIL, ERROR or ABORTED")
        ->type_name("O");
    resultsCommand->add_option("--format", results.format, "table, csv, json or junit (table)")
        ->check(CLI::IsMember({"table", "csv", "json", "junit"}));
    resultsCommand->add_flag("--summary", results.summary,
                             "runs, units, first-pass yield, retests, failures by step and key");
    resultsCommand->add_flag("--flush", results.flush,
                             "send the records waiting for the shared database");
    resultsCommand->footer(ExitStatusFooter({kExitOk, kExitUsage, kExitServiceFailed}));
    AddCommonOptions(resultsCommand, options);

    for (CLI::App* command : {verify, calibrate, watch, doctor, testCommand}) {
        command->add_option("--endpoint", endpoint,
                            "token service URL, over the configuration file's");
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return HelpOrUsageError(app, e);
    } catch (const CLI::CallForAllHelp& e) {
        return HelpOrUsageError(app, e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "quillonctl: %s (see --help)\n", e.what());
        return kExitUsage;
    }
    options.endpoint = endpoint;
    SetTraceOutput(options.trace);

    if (list->parsed())
        return RunList(options, all);
    if (check->parsed())
        return RunCheck(options, checkTimeout);
    if (watch->parsed())
        return RunWatch(options, watchVerify);
    if (verify->parsed()) {
        if (wait == (serial.has_value() || password.has_value()) ||
            serial.has_value() != password.has_value()) {
            return Fail(
                Translate("quillonctl", "verify needs either --serial and --password, or --wait"));
        }
        return RunVerify(options, serial, password, wait, verifyTimeout);
    }
    if (calibrate->parsed())
        return RunCalibrate(options, calWait, calTimeout);
    if (doctor->parsed())
        return RunDoctor(options, udevRoot);
    if (record->parsed()) {
        for (const std::string& node : record->remaining()) {
            if (node.starts_with('-'))
                return Fail(
                    Format(Translate("quillonctl", "record: unknown option %s (see --help)"),
                           node.c_str()));
            recordNodes.push_back(node);
        }
        return RunRecording(options, output, recordNodes);
    }
    if (replayCommand->parsed())
        return RunReplay(options, replayFile, replay);
    if (testCommand->parsed())
        return RunTest(options, test);
    if (resultsCommand->parsed())
        return RunResults(options, results);
    return Fail(Translate("quillonctl", "no subcommand"));
}
