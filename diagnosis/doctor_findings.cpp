#include "diagnosis/doctor_findings.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "diagnosis/fixed_serial_file.h"
#include "platform/process/display_escape.h"
#include "platform/system/login_session.h"
#include "platform/system/polkit_check.h"
#include "platform/system/service_control.h"
#include "service/endpoint_probe.h"
#include "service/service_config.h"

namespace {

std::string Ms(std::chrono::milliseconds d) {
    return std::to_string(d.count()) + " ms";
}

// Keywarden.service: installed? running? and may this user stop and start it?
void ServiceFindings(const Credentials& who, std::vector<Finding>* out) {
    auto scm = MakeSystemdServiceControl();
    const IServiceControl::Open open = scm->OpenService(kKeywardenUnit);
    const std::string unit = kKeywardenUnit;
    if (open == IServiceControl::Open::NoManager) {
        out->push_back({"service", Severity::Warn,
                        "cannot ask systemd about " + unit + ": " + scm->LastError(), ""});
        return;
    }
    if (open == IServiceControl::Open::NoService) {
        const std::string why = scm->LastError();
        out->push_back({"service", Severity::Ok,
                        why.find("not-found") != std::string::npos
                            ? unit + " is not installed: nothing of the maker's holds the receivers"
                            : unit + " is not loaded (" + why + ")",
                        ""});
        return;
    }
    const bool running = !scm->IsStopped();
    scm->Close();

    // systemd asks polkit only for callers other than root.
    if (who.uid == 0) {
        out->push_back({"service", Severity::Ok,
                        unit + (running ? " is loaded and running; Quillon stops it at start "
                                          "and starts it again at exit"
                                        : " is loaded and stopped"),
                        ""});
        out->push_back({"service.rights", Severity::Ok, "root may stop and start " + unit, ""});
        return;
    }
    bool may = true;
    Finding rights{"service.rights", Severity::Ok, "", ""};
    for (const char* verb : {"stop", "start"}) {
        const PolkitAnswer answer =
            CheckPolkitAuthorization(kManageUnitsAction, {{"unit", unit}, {"verb", verb}});
        if (!answer.reached) {
            rights = {"service.rights", Severity::Warn, "cannot ask polkit: " + answer.error, ""};
            may = false;
            break;
        }
        if (!answer.authorized) {
            may = false;
            rights.severity = running ? Severity::Fail : Severity::Warn;
            rights.text =
                std::string("polkit does not let you ") + verb + " " + unit +
                (answer.challenge ? " without a password, and Quillon never asks for one" : "");
            rights.fix = running ? "sudo systemctl stop " + unit : "";
            break;
        }
    }
    if (may)
        rights.text = "polkit lets you stop and start " + unit;
    out->push_back({"service", running && !may ? Severity::Fail : Severity::Ok,
                    unit + (running ? " is loaded and running; " +
                                          std::string(may ? "Quillon stops it at start and "
                                                            "starts it again at exit"
                                                          : "it holds the receivers, and Quillon "
                                                            "cannot stop it")
                                    : " is loaded and stopped"),
                    running && !may ? "sudo systemctl stop " + unit : ""});
    out->push_back(rights);
}

void EndpointFindings(const DoctorSetup& setup, std::vector<Finding>* out) {
    std::optional<std::string_view> override;
    if (setup.endpoint)
        override = *setup.endpoint;
    const ServiceConfig config = LoadServiceConfig(ConfigEnvironment::FromProcess(), override);
    if (!config.ok()) {
        out->push_back({"config", Severity::Fail,
                        "the configuration is not usable, so the token service is never called: " +
                            config.error,
                        "", "only you know the value meant; correct the line the error names"});
        return;
    }
    const ServiceSettings& s = config.settings;
    // A failing built-in endpoint: the fix is the line that names the site's service.
    const std::string builtIn = BuiltInEndpointHint(ConfigEnvironment::FromProcess(), override);
    const std::string file = EscapeForDisplay(
        s.source.empty() ? ConfigFileCandidates(ConfigEnvironment::FromProcess()).front()
                         : s.source);
    out->push_back(
        {"config", Severity::Ok,
         "token service " + s.endpoint + " (" +
             (setup.endpoint     ? setup.endpointOrigin
              : s.source.empty() ? std::string("built in")
                                 : EscapeForDisplay(s.source)) +
             ")" +
             (s.proxyHost.empty() ? ""
                                  : ", proxy " + s.proxyHost + ":" + std::to_string(s.proxyPort)),
         ""});

    const EndpointProbe probe = ProbeEndpoint(s);
    const std::string target =
        (probe.viaProxy ? "the proxy " : "") + probe.host + ":" + std::to_string(probe.port);
    const ProbeStep& r = probe.resolve;
    if (r.ok) {
        out->push_back({"endpoint.resolve", Severity::Ok,
                        probe.host + " resolves to " + r.detail + " (" + Ms(r.took) + ")", ""});
    } else {
        out->push_back({"endpoint.resolve", Severity::Fail,
                        probe.host + " does not resolve: " + r.detail, builtIn,
                        builtIn.empty() ? "the name is misspelt in " + file +
                                              " or unknown to this machine's resolver "
                                              "(/etc/resolv.conf), which doctor cannot tell apart"
                                        : ""});
        return;
    }
    const ProbeStep& c = probe.connect;
    const std::string elsewhere = "what listens (or a firewall between) is on the far side; if " +
                                  target + " is the wrong place, correct it in " + file;
    if (c.ok) {
        out->push_back({"endpoint.connect", Severity::Ok,
                        "TCP connection to " + target + " (" + c.detail + ") in " + Ms(c.took),
                        ""});
    } else {
        out->push_back({"endpoint.connect", Severity::Fail,
                        "no TCP connection to " + target + ": " + c.detail, builtIn,
                        builtIn.empty() ? elsewhere : ""});
        return;
    }
    const ProbeStep& h = probe.http;
    if (!h.ok) {
        out->push_back({"endpoint.http", Severity::Fail,
                        "no HTTP answer from " + s.endpoint + ": " + h.detail, builtIn,
                        builtIn.empty() ? elsewhere : ""});
        return;
    }
    Finding f{"endpoint.http", Severity::Ok,
              s.endpoint + " answers " + h.detail + " in " + Ms(h.took), ""};
    const long status = probe.httpStatus;
    if (status == 500) {
        // A SOAP service may well answer a bare GET with a fault.
        f.severity = Severity::Warn;
    } else if (status >= 400) {
        f.severity = Severity::Fail;
        if (!builtIn.empty())
            f.fix = builtIn;
        else if (status == 407)
            f.fix = "the proxy " + target +
                    " wants credentials, which Quillon does not send: name one that does not "
                    "in " +
                    file + " (proxy = host:port), or remove the proxy line";
        else if (probe.viaProxy && status >= 502 && status <= 504)
            f.fix = "the proxy " + target +
                    " cannot reach the service: check the proxy, or name "
                    "another in " +
                    file + " (proxy = host:port)";
        else if (status >= 500)
            f.fix =
                "the service is down or overloaded: run doctor again later, and if it stays "
                "so, tell the service's operator; if " +
                s.endpoint +
                " is the wrong one, "
                "write the right endpoint into " +
                file;
        else
            f.fix = "write the service's own URL into " + file +
                    " as the line `endpoint = http://<host>/keluserandhardwareservice.asmx`";
    }
    out->push_back(f);
}

Finding SerialFinding() {
    Finding f{"sn-ini", Severity::Ok, "", ""};
    std::string cwd = "the current directory";
    if (char buffer[4096]; ::getcwd(buffer, sizeof buffer) != nullptr)
        cwd = EscapeForDisplay(buffer);
    std::string serial;
    FileProblem problem;
    if (!ReadFixedSerialFile(&serial, &problem)) {
        if (problem.missing) {
            f.text = "no SN.ini in " + cwd + ": the comparison with a fixed serial is off";
        } else {
            f.severity = Severity::Warn;
            f.text = "SN.ini in " + cwd + ": " + problem.what +
                     "; the comparison with a fixed serial is off";
        }
        return f;
    }
    bool digits = serial.size() == kFixedSerialLength;
    for (char c : serial)
        digits = digits && c >= '0' && c <= '9';
    if (!digits) {
        f.severity = Severity::Warn;
        f.text = "SN.ini in " + cwd + " does not start with 9 digits (" +
                 std::to_string(serial.size()) + " bytes read): the comparison will not agree";
        return f;
    }
    f.text = "SN.ini in " + cwd + " holds the fixed serial " + serial;
    return f;
}

}  // namespace

std::vector<Finding> DoctorFindings(const DoctorSetup& setup) {
    const Credentials who = setup.kit.who != nullptr ? *setup.kit.who : Credentials::OfProcess();
    const KitFacts facts = GatherKitFacts(setup.kit);
    const LoginReport login = QueryLoginSessions(::getpid());

    std::vector<Finding> findings = DiagnoseReceivers(facts, &login);
    findings.push_back(DiagnoseSession(facts, login));
    ServiceFindings(who, &findings);
    EndpointFindings(setup, &findings);
    findings.push_back(SerialFinding());
    return findings;
}
