// quillonctl: the kit from a terminal. One verb per job, stable exit statuses, and the
// same facts as JSON with --json. Built on the layers the window uses, so both tell
// the same truth.

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/trace.h"
#include "quillonctl/ctl.h"
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

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Quillon's kit from a terminal: receivers, keys, the token and its service.",
                 "quillonctl"};
    app.set_version_flag("--version", kVersion);
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 ok; 1 usage or internal error; 2 a receiver is absent; 3 a receiver\n"
        "may not be opened by this user; 4 a receiver is held by another program;\n"
        "5 token not passed; 6 token bound (21030); 7 token service unreachable or failing;\n"
        "8 doctor: a check failed.");

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

    CLI::App* list = app.add_subcommand("list", "the kit's hidraw nodes, their roles and holders");
    list->add_flag("--all", all, "every hidraw node, with its ids");
    AddCommonOptions(list, options);

    CLI::App* check = app.add_subcommand("check", "open both receivers as the window does");
    check->add_option("--timeout", checkTimeout, "wait up to S seconds for receivers to appear")
        ->check(CLI::NonNegativeNumber);
    AddCommonOptions(check, options);

    CLI::App* watch = app.add_subcommand("watch", "one line per receiver, key and token event");
    watch->add_flag("--verify", watchVerify, "verify every token frame with the token service");
    AddCommonOptions(watch, options);

    CLI::App* verify = app.add_subcommand("verify", "one ReviseEkey verification");
    verify->add_option("--serial", serial, "the token's 9-digit serial number");
    verify->add_option("--password", password, "its 8-digit dynamic password");
    verify->add_flag("--wait", wait, "verify the next token press instead");
    verify->add_option("--timeout", verifyTimeout, "with --wait: give up after S seconds (60)")
        ->check(CLI::PositiveNumber);
    AddCommonOptions(verify, options);

    CLI::App* calibrate =
        app.add_subcommand("calibrate", "calibrate the token with two passwords 30 s apart");
    // Shorter periods are for tests and demonstrations; the service expects 30 s.
    calibrate->add_option("--wait-period", calWait, "seconds between the two presses (30)")
        ->check(CLI::PositiveNumber)
        ->group("");
    calibrate->add_option("--timeout-period", calTimeout, "seconds from the first press (120)")
        ->check(CLI::PositiveNumber)
        ->group("");
    AddCommonOptions(calibrate, options);

    CLI::App* doctor = app.add_subcommand(
        "doctor", "why the kit does or does not work here, one check per line, with fixes");
    // For tests: the udev rule directories below another root.
    doctor->add_option("--udev-root", udevRoot, "look for udev rules below DIR")->group("");
    AddCommonOptions(doctor, options);

    CLI::App* record = app.add_subcommand(
        "record", "record what the receivers send (hid-recorder format), until Ctrl-C");
    record->add_option("--output", output, "write to FILE instead of stdout");
    // NODE... as the extra arguments: a vector option trips GCC's null-dereference
    // analysis inside CLI11.
    record->allow_extras();
    record->footer(
        "Arguments: [NODE...] hidraw nodes to record, as hidrawN or a path\n"
        "(default: both receivers).");
    AddCommonOptions(record, options);

    CLI::App* replayCommand = app.add_subcommand(
        "replay", "play a recording back through /dev/uhid (or the virtual kit)");
    replayCommand->add_option("file", replayFile, "a hid-recorder recording")->required();
    replayCommand->add_option("--speed", replay.speed, "play X times as fast (1)")
        ->check(CLI::PositiveNumber);
    replayCommand->add_flag("--virtual", replay.virtualKit,
                            "serve the devices in a temporary tree instead of /dev/uhid");
    replayCommand->add_flag("--hold", replay.hold,
                            "keep the devices after the replay, until Ctrl-C");
    replayCommand->add_flag("--no-wait", replay.noWait,
                            "start at once, not when a program has opened every device");
    AddCommonOptions(replayCommand, options);

    for (CLI::App* command : {verify, calibrate, watch, doctor}) {
        command->add_option("--endpoint", endpoint,
                            "token service URL, over the configuration file's");
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
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
            return Fail("verify needs either --serial and --password, or --wait");
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
                return Fail("record: unknown option " + node + " (see --help)");
            recordNodes.push_back(node);
        }
        return RunRecord(options, output, recordNodes);
    }
    if (replayCommand->parsed())
        return RunReplay(options, replayFile, replay);
    return Fail("no subcommand");
}
