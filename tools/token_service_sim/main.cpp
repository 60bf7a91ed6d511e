// token_service_sim: a stand-in for the maker's token web service on 127.0.0.1.

#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tools/token_service_sim/sim_server.h"
#include "tools/token_service_sim/soap_messages.h"
#include "tools/token_service_sim/state_file.h"
#include "tools/token_service_sim/token_model.h"
#include "tools/token_service_sim/token_service.h"

#ifndef QUILLON_SERVICE_NAMESPACE
#define QUILLON_SERVICE_NAMESPACE "http://tokens.quillon.example/"
#endif

namespace {

using namespace quillon::tokensim;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void PrintHelp() {
    std::printf(
        "usage: token_service_sim --state FILE [--port N] [--namespace URI] [--parent PID]\n"
        "       token_service_sim --state FILE --add-token SERIAL SECRET_HEX\n"
        "       token_service_sim --state FILE --bind SERIAL | --unbind SERIAL | --list\n"
        "\n"
        "Serves the SOAP 1.1 operation ReviseEkey at http://127.0.0.1:N%s\n"
        "and its WSDL at ?wsdl. Prints \"listening on 127.0.0.1:PORT\" once it accepts\n"
        "connections; stops on SIGINT or SIGTERM.\n"
        "\n"
        "  --state FILE       token table; created with the demo token %s\n"
        "                     (secret %s) when absent\n"
        "  --port N           TCP port, 0 (default) for any free port\n"
        "  --namespace URI    service namespace (default %s)\n"
        "  --parent PID       stop, as on SIGTERM, when PID (the process that started\n"
        "                     this one) ends, however it ends\n"
        "  --add-token SERIAL SECRET_HEX  add a token or replace one (drift 0), then exit\n"
        "  --bind SERIAL      mark a token bound, then exit\n"
        "  --unbind SERIAL    mark a token free, then exit\n"
        "  --list             print the tokens, then exit\n"
        "\n"
        "Passwords are 8-digit TOTP (RFC 6238, HMAC-SHA1, 30 s steps) of the token's clock.\n"
        "ekeydp1 = ekeydp2 verifies (+-1 step around server time + drift, no replay);\n"
        "two different passwords calibrate (dp2 1..4 steps after dp1, +-1000 steps).\n"
        "\n"
        "ReviseEkeyResult:\n"
        "  0      accepted (verified, or calibrated and the new drift stored)\n"
        "  21001  unknown serial number\n"
        "  21002  serial not 9 digits, or a password missing or not 8 digits\n"
        "  21003  wrong password (verification)\n"
        "  21004  password not newer than the last accepted one (replay)\n"
        "  21005  calibration found no matching pair of steps\n"
        "  21030  token is bound; verification and calibration refused\n"
        "Malformed requests get HTTP 500 with a SOAP Fault (soap:Client, or\n"
        "soap:VersionMismatch / soap:MustUnderstand); a state file that cannot be\n"
        "written gets soap:Server.\n"
        "\n"
        "Exit status: 0 done, 1 failure (bad state file, port in use), 2 bad usage.\n",
        std::string(kServicePath).c_str(), std::string(kDemoSerial).c_str(),
        std::string(kDemoSecretHex).c_str(), QUILLON_SERVICE_NAMESPACE);
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "token_service_sim: %s (see --help)\n", message.c_str());
    return kExitUsage;
}

int Failure(const std::string& message) {
    std::fprintf(stderr, "token_service_sim: %s\n", message.c_str());
    return kExitFailure;
}

struct Options {
    std::string statePath;
    int port = 0;
    std::string serviceNs = QUILLON_SERVICE_NAMESPACE;
    long parent = 0;
    enum class Action { Serve, AddToken, Bind, Unbind, List } action = Action::Serve;
    std::string serial;
    std::string secretHex;
};

int ChangeTokens(const Options& options, TokenTable& tokens) {
    switch (options.action) {
        case Options::Action::AddToken: {
            if (!IsDigits(options.serial, kSerialDigits)) {
                return Usage("serial number \"" + options.serial + "\" is not 9 digits");
            }
            auto secret = DecodeHex(options.secretHex);
            if (!secret) {
                return Usage("secret \"" + options.secretHex + "\" is not hexadecimal bytes");
            }
            Token token;
            token.secret = std::move(*secret);
            tokens[options.serial] = std::move(token);
            break;
        }
        case Options::Action::Bind:
        case Options::Action::Unbind: {
            const auto it = tokens.find(options.serial);
            if (it == tokens.end()) {
                return Failure("no token " + options.serial + " in " + options.statePath);
            }
            it->second.bound = options.action == Options::Action::Bind;
            break;
        }
        case Options::Action::List:
            for (const auto& [serial, token] : tokens) {
                std::printf("%s drift %lld last %s %s\n", serial.c_str(),
                            static_cast<long long>(token.drift),
                            token.lastAccepted ? std::to_string(*token.lastAccepted).c_str() : "-",
                            token.bound ? "bound" : "free");
            }
            return kExitOk;
        case Options::Action::Serve:
            return kExitOk;
    }
    std::string error;
    if (!SaveStateFile(options.statePath, tokens, error)) {
        return Failure(error);
    }
    return kExitOk;
}

int Serve(const Options& options, TokenTable tokens) {
    // Signals go to one waiting thread, so the server stops from ordinary code.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that hangs up mid-reply must not end the process.
    signal(SIGPIPE, SIG_IGN);
    if (options.parent > 0) {
        // The kernel sends SIGTERM when the parent ends, even by SIGKILL; a parent that
        // ended before this line is seen through the changed parent id.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != options.parent) {
            return Failure("the parent process " + std::to_string(options.parent) +
                           " has already ended");
        }
    }

    SystemTimeSource clock;
    TokenService service(options.statePath, std::move(tokens), clock);
    SimServer server(service, options.serviceNs, stderr);
    std::string error;
    const int port = server.Bind(options.port, error);
    if (port < 0) {
        return Failure(error);
    }
    std::thread stopper([&server, &stopSignals] {
        int signo = 0;
        sigwait(&stopSignals, &signo);
        server.Stop();
    });
    std::printf("listening on 127.0.0.1:%d\n", port);
    std::fflush(stdout);
    const bool ok = server.Run();
    // Run() also ends without a signal when serving fails; wake the waiter then.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    return ok ? kExitOk : Failure("serving ended with an error");
}

bool ParsePort(std::string_view text, int& port) {
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    return ec == std::errc{} && ptr == text.data() + text.size() && port >= 0 && port <= 65535;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    Options options;
    bool actionGiven = false;
    auto setAction = [&](Options::Action action) {
        if (actionGiven) {
            return false;
        }
        actionGiven = true;
        options.action = action;
        return true;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::size_t count) { return i + count < args.size(); };
        if (arg == "--help" || arg == "-h") {
            PrintHelp();
            return kExitOk;
        } else if (arg == "--state" && value(1)) {
            options.statePath = args[++i];
        } else if (arg == "--port" && value(1)) {
            if (!ParsePort(args[++i], options.port)) {
                return Usage("port \"" + args[i] + "\" is not a number from 0 to 65535");
            }
        } else if (arg == "--parent" && value(1)) {
            const std::string& text = args[++i];
            const auto [ptr, ec] =
                std::from_chars(text.data(), text.data() + text.size(), options.parent);
            if (ec != std::errc{} || ptr != text.data() + text.size() || options.parent <= 0) {
                return Usage("parent \"" + text + "\" is not a process id");
            }
        } else if (arg == "--namespace" && value(1)) {
            options.serviceNs = args[++i];
        } else if (arg == "--add-token" && value(2)) {
            if (!setAction(Options::Action::AddToken)) {
                return Usage("only one of --add-token, --bind, --unbind, --list");
            }
            options.serial = args[++i];
            options.secretHex = args[++i];
        } else if ((arg == "--bind" || arg == "--unbind") && value(1)) {
            if (!setAction(arg == "--bind" ? Options::Action::Bind : Options::Action::Unbind)) {
                return Usage("only one of --add-token, --bind, --unbind, --list");
            }
            options.serial = args[++i];
        } else if (arg == "--list") {
            if (!setAction(Options::Action::List)) {
                return Usage("only one of --add-token, --bind, --unbind, --list");
            }
        } else {
            return Usage("unknown option or missing value: " + arg);
        }
    }
    if (options.statePath.empty()) {
        return Usage("--state FILE is required");
    }
    if (!IsUsableNamespace(options.serviceNs)) {
        return Usage("namespace \"" + options.serviceNs +
                     "\" is not an absolute URI without blanks, quotes, '<', '>' or '&'");
    }

    TokenTable tokens;
    std::string error;
    const LoadOutcome outcome = LoadStateFile(options.statePath, tokens, error);
    if (outcome == LoadOutcome::Failed) {
        return Failure(error + " (left unchanged)");
    }
    if (outcome == LoadOutcome::Created) {
        std::fprintf(stderr, "token_service_sim: created %s with the demo token %s\n",
                     options.statePath.c_str(), std::string(kDemoSerial).c_str());
    }
    if (options.action != Options::Action::Serve) {
        return ChangeTokens(options, tokens);
    }
    return Serve(options, std::move(tokens));
}
