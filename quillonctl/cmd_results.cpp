// quillonctl results: the runs of the results store, newest first, as a table, CSV,
// JSON Lines or JUnit XML; or their summary; or the records still waiting for the
// shared database sent.

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "quillonctl/ctl.h"
#include "quillonctl/texts.h"
#include "service/service_config.h"
#include "station/results_export.h"
#include "station/results_open.h"

namespace {

std::string Cut(std::string text, std::size_t width) {
    if (text.size() > width)
        text = std::string(Utf8Prefix(text, width - 1)) + "~";
    return text;
}

std::string Pad(const std::string& text, std::size_t width) {
    const std::string cut = Cut(text, width);
    return cut + std::string(width - cut.size(), ' ');
}

std::string StartedText(UtcMicros t) {
    // UTC as stored; a line's stations may sit in several zones.
    std::string text = UtcText(t);
    return text.substr(0, 19);
}

void TableHeader(std::ostream& out) {
    out << Pad(Translate("quillonctl", "started (UTC)"), 20)
        << Pad(Translate("quillonctl", "outcome"), 8) << Pad(Translate("quillonctl", "unit"), 12)
        << Pad(Translate("quillonctl", "station"), 14)
        << Pad(Translate("quillonctl", "operator"), 10) << Pad(Translate("quillonctl", "retest"), 7)
        << Translate("quillonctl", "why") << "\n";
}

void TableRow(std::ostream& out, const RunRecord& r) {
    out << Pad(StartedText(r.started), 20) << Pad(std::string(RunOutcomeKey(r.outcome)), 8)
        << Pad(UnitSerial(r), 12) << Pad(r.station, 14) << Pad(r.operatorId, 10)
        << Pad(std::to_string(r.retest), 7) << r.why << "\n";
}

nlohmann::json SummaryJson(const ResultsSummary& summary) {
    return {{"runs", summary.runs},
            {"units", summary.units},
            {"first_pass_units", summary.firstPassUnits},
            {"first_pass_yield", summary.firstPassYield},
            {"retests", summary.retests},
            {"by_outcome", summary.byOutcome},
            {"failures_by_step", summary.failuresByStep},
            {"failures_by_key", summary.failuresByKey}};
}

std::optional<UtcMicros> DateOption(const std::optional<std::string>& text, const char* option,
                                    bool* bad) {
    if (!text)
        return std::nullopt;
    const std::optional<UtcMicros> t = UtcFromText(*text);
    if (!t) {
        Fail(Format(
            Translate("quillonctl", "%s: \"%s\" is no date (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SSZ)"),
            option, text->c_str()));
        *bad = true;
    }
    return t;
}

}  // namespace

int RunResults(const CtlOptions& options, const ResultsSettings& given) {
    std::string error;
    RunFilter filter;
    bool bad = false;
    filter.since = DateOption(given.since, "--since", &bad);
    filter.until = DateOption(given.until, "--until", &bad);
    if (bad)
        return kExitUsage;
    filter.serial = given.serial;
    filter.station = given.station;
    if (given.outcome) {
        std::string upper;
        for (char c : *given.outcome)
            upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
        filter.outcome = RunOutcomeFromKey(upper);
        if (!filter.outcome)
            return Fail(Format(Translate("quillonctl",
                                         "--outcome: \"%s\" is none of PASS, FAIL, ERROR, "
                                         "ABORTED, STARTED"),
                               given.outcome->c_str()));
    }
    const std::string format = options.json ? "json" : given.format;

    const ServiceConfig config = LoadServiceConfig(ConfigEnvironment::FromProcess());
    if (!config.ok())
        return Fail(config.error);
    OpenedResults opened = OpenResults(given.db, config.settings.results, &error);
    if (!opened.store)
        return Fail(error);

    if (given.flush) {
        if (!opened.flush) {
            if (options.json)
                PrintJson({{"delivered", 0}, {"waiting", 0}});
            else
                std::printf("%s\n", Format(Translate("quillonctl",
                                                     "nothing to send: %s is the store itself"),
                                           opened.where.c_str())
                                        .c_str());
            return kExitOk;
        }
        int delivered = 0;
        int left = 0;
        const bool ok = opened.flush(&delivered, &left, &error);
        if (options.json) {
            nlohmann::json object{{"delivered", delivered}, {"waiting", left}};
            if (!ok)
                object["error"] = error;
            PrintJson(object);
        } else {
            std::printf(Translate("quillonctl", "%d record(s) sent to %s, %d waiting"), delivered,
                        opened.where.c_str(), left);
            std::printf("\n");
            if (!ok)
                std::fprintf(stderr, "quillonctl: %s\n", error.c_str());
        }
        return ok ? kExitOk : kExitServiceFailed;
    }

    if (given.summary) {
        const std::optional<ResultsSummary> summary = opened.store->Summarize(filter);
        if (!summary)
            return Fail(opened.store->LastError());
        if (format == "json") {
            PrintJson(SummaryJson(*summary));
            return kExitOk;
        }
        std::printf(Translate("quillonctl", "runs: %lld"), static_cast<long long>(summary->runs));
        std::printf("\n");
        std::printf(Translate("quillonctl", "units: %lld"), static_cast<long long>(summary->units));
        std::printf("\n");
        std::printf(Translate("quillonctl", "first-pass yield: %.1f %% (%lld of %lld)"),
                    summary->firstPassYield * 100, static_cast<long long>(summary->firstPassUnits),
                    static_cast<long long>(summary->units));
        std::printf("\n");
        std::printf(Translate("quillonctl", "retests: %lld"),
                    static_cast<long long>(summary->retests));
        std::printf("\n");
        for (const auto& [outcome, n] : summary->byOutcome)
            std::printf("  %s: %lld\n", outcome.c_str(), static_cast<long long>(n));
        if (!summary->failuresByStep.empty()) {
            std::printf("%s\n", Translate("quillonctl", "failures by step:"));
            for (const auto& [step, n] : summary->failuresByStep)
                std::printf("  %s: %lld\n", step.c_str(), static_cast<long long>(n));
        }
        if (!summary->failuresByKey.empty()) {
            std::printf("%s\n", Translate("quillonctl", "failures by key:"));
            for (const auto& [key, n] : summary->failuresByKey)
                std::printf("  %s: %lld\n", key.c_str(), static_cast<long long>(n));
        }
        return kExitOk;
    }

    std::ostream& out = std::cout;
    if (format == "csv")
        WriteCsvHeader(out);
    else if (format == "junit")
        WriteJunitOpen(out);
    else if (format == "table")
        TableHeader(out);
    const bool ok = opened.store->Query(filter, [&](const RunRecord& record) {
        if (format == "csv")
            WriteCsvRow(out, record);
        else if (format == "json")
            out << JsonText(RecordJson(record)) << "\n";
        else if (format == "junit")
            WriteJunitSuite(out, record);
        else
            TableRow(out, record);
        return static_cast<bool>(out);
    });
    if (format == "junit")
        WriteJunitClose(out);
    out.flush();
    if (!ok)
        return Fail(opened.store->LastError());
    if (!out)
        return Fail(Translate("quillonctl", "cannot write the output"));
    return kExitOk;
}
