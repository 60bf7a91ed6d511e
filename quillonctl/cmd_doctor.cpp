// quillonctl doctor: why the kit does or does not work on this machine, one check per
// line with its verdict, the finding in plain words and the command that fixes it.
// The findings are diagnosis/doctor_findings.h's; this prints them.

#include <cstdio>
#include <string>
#include <vector>

#include "diagnosis/doctor_findings.h"
#include "quillonctl/ctl.h"
#include "quillonctl/texts.h"

int RunDoctor(const CtlOptions& options, const std::string& udevRoot) {
    DoctorSetup setup;
    setup.kit.hid = &CtlHid();
    setup.kit.udevRoot = udevRoot;
    setup.endpoint = options.endpoint;
    setup.endpointOrigin = "--endpoint";
    const std::vector<Finding> findings = DoctorFindings(setup);

    int failed = 0;
    int warned = 0;
    for (const Finding& f : findings) {
        failed += f.severity == Severity::Fail;
        warned += f.severity == Severity::Warn;
    }
    const int status = failed > 0 ? kExitDoctorFailed : kExitOk;
    if (options.json) {
        nlohmann::json checks = nlohmann::json::array();
        for (const Finding& f : findings) {
            checks.push_back({{"check", f.check},
                              {"status", SeverityKey(f.severity)},
                              {"finding", f.text},
                              {"fix", f.fix},
                              {"no_fix", f.noFix}});
        }
        PrintJson({{"checks", checks},
                   {"failed", failed},
                   {"warnings", warned},
                   {"exit_status", status}});
        return status;
    }
    for (const Finding& f : findings) {
        const std::string after =
            !f.fix.empty() ? "; " + Format(Translate("quillonctl", "fix: %s"), f.fix.c_str())
            : !f.noFix.empty()
                ? "; " + Format(Translate("quillonctl", "no fix, because %s"), f.noFix.c_str())
                : "";
        std::printf("%-4s %s: %s%s\n", std::string(SeverityKey(f.severity)).c_str(),
                    f.check.c_str(), f.text.c_str(), after.c_str());
    }
    std::printf(Translate("quillonctl", "%zu checks: %d failed, %d warning%s"), findings.size(),
                failed, warned, warned == 1 ? "" : "s");
    std::printf("\n");
    return status;
}
