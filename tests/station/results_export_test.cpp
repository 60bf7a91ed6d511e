// The export formats read back by other programs' parsers: CSV by Python's csv module,
// JUnit by Python's xml.etree, JSON by RecordFromJson; each must give the record back.

#include "station/results_export.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/station/sample_run.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// What /usr/bin/python3 running `script` on `input` prints; fails the test when it
// does not end well.
std::string Python(const TempDir& dir, const char* script, const std::string& input) {
    const fs::path scriptPath = dir.path / "read.py";
    const fs::path inputPath = dir.path / "input";
    std::ofstream(scriptPath) << script;
    std::ofstream(inputPath, std::ios::binary) << input;
    const std::string command =
        "/usr/bin/python3 '" + scriptPath.string() + "' '" + inputPath.string() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    if (!pipe)
        return {};
    std::string out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "python3 could not read it:\n"
                                                               << input;
    return out;
}

// The sample as exported once the store has counted it a retest.
RunRecord Full() {
    RunRecord r = SampleRun("0f8e2c1a-4b5d-4e6f-8a9b-0c1d2e3f4a5b");
    r.retest = 2;
    return r;
}

RunRecord Bare() {
    RunRecord r;
    r.id = "11111111-2222-4333-8444-555555555555";
    r.started = 1'796'860'800'000'000;  // 2026-12-10
    r.outcome = RunOutcome::Aborted;
    r.why = "the run ended without its record";
    return r;
}

TEST(ResultsExport, JsonGivesTheRecordBack) {
    const RunRecord full = Full();
    const json j = RecordJson(full);
    EXPECT_EQ(j["label_serial"], "QX-0001");
    EXPECT_EQ(j["started"], "2026-12-09T17:40:01.123456Z");
    EXPECT_EQ(j["steps"][1]["outcome"], "fail");
    EXPECT_EQ(j["keys"][1]["first_press_ms"], nullptr);
    EXPECT_EQ(RecordFromJson(j), full);
    EXPECT_FALSE(RecordJson(Bare()).contains("passwords")) << "none held, none written";

    // JSON Lines and the array, through their writers.
    std::ostringstream lines, array;
    for (auto [format, out] :
         {std::pair{ExportFormat::JsonLines, &lines}, std::pair{ExportFormat::Json, &array}}) {
        auto writer = MakeRecordWriter(format, *out);
        writer->Write(full);
        writer->Write(Bare());
        writer->End();
    }
    std::istringstream in(lines.str());
    std::vector<RunRecord> back;
    for (std::string line; std::getline(in, line);)
        back.push_back(RecordFromJson(json::parse(line)).value_or(RunRecord{}));
    EXPECT_EQ(back, (std::vector<RunRecord>{full, Bare()}));
    const json parsed = json::parse(array.str());
    ASSERT_EQ(parsed.size(), 2u);
    EXPECT_EQ(RecordFromJson(parsed[1]), Bare());

    // A serial that is not UTF-8 is replaced, not an exception in the middle of an export.
    RunRecord odd = Bare();
    odd.labelSerial = "QX\xff";
    std::ostringstream oddLine;
    WriteJsonLine(oddLine, odd);
    EXPECT_EQ(json::parse(oddLine.str())["label_serial"], "QX\xef\xbf\xbd");

    for (const char* bad :
         {R"({"outcome":"PASS"})", R"({"id":"x"})", R"({"id":"x","outcome":"MAYBE"})",
          R"({"id":"x","outcome":"PASS","station":5})",
          R"({"id":"x","outcome":"PASS","started":"2026-02-30"})",
          R"({"id":"x","outcome":"PASS","exit_status":4294967296})",
          R"({"id":"x","outcome":"PASS","keys":[{"id":70000}]})",
          R"({"id":"x","outcome":"PASS","keys":[{"durations_ms":["1"]}]})",
          R"({"id":"x","outcome":"PASS","steps":[{"outcome":"PASS"}]})", "[]"})
        EXPECT_EQ(RecordFromJson(json::parse(bad)), std::nullopt) << bad;
}

// Each row's fields as hex of their bytes, so that nothing is lost on the way back.
constexpr char kReadCsv[] = R"py(
import csv, sys
with open(sys.argv[1], newline='', encoding='utf-8', errors='surrogateescape') as f:
    for row in csv.reader(f, strict=True):
        print(','.join(x.encode('utf-8', 'surrogateescape').hex() for x in row))
)py";

std::vector<std::vector<std::string>> FromHexRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        auto& row = rows.emplace_back();
        std::istringstream fields(line);
        for (std::string hex; std::getline(fields, hex, ',');) {
            std::string bytes;
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
                bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
            row.push_back(bytes);
        }
        if (!line.empty() && line.back() == ',')
            row.emplace_back();
    }
    return rows;
}

TEST(ResultsExport, CsvReadsBackWithPythonsCsvModule) {
    TempDir dir;
    RunRecord full = Full();
    full.labelSerial = "QX,\"7\"\n\xff";
    std::ostringstream out;
    auto writer = MakeRecordWriter(ExportFormat::Csv, out);
    writer->Write(full);
    writer->Write(Bare());
    writer->End();

    const auto rows = FromHexRows(Python(dir, kReadCsv, out.str()));
    ASSERT_EQ(rows.size(), 3u);
    const std::vector<std::string> header = {
        "id",          "station",       "operator",    "label_serial", "token_serial",
        "unit_serial", "started",       "ended",       "version",      "outcome",
        "failed_step", "why",           "exit_status", "retest",       "decode_result",
        "calibration", "receivers",     "steps",       "keys_missing", "keys_doubled",
        "keys_stuck",  "service_calls", "passwords"};
    EXPECT_EQ(rows[0], header);
    const std::vector<std::string> first = {full.id,
                                            "line-2",
                                            full.operatorId,
                                            full.labelSerial,
                                            "T1234",
                                            full.labelSerial,
                                            "2026-12-09T17:40:01.123456Z",
                                            "2026-12-09T17:40:13.654321Z",
                                            "0.1",
                                            "FAIL",
                                            "keys",
                                            full.why,
                                            "4",
                                            "2",
                                            "-3",
                                            "failed: no answer",
                                            "ir:working;game:absent",
                                            "receivers:pass;keys:fail;token:error;service:aborted;"
                                            "calibration:skipped",
                                            "Back",
                                            "OK",
                                            "Up",
                                            "verify:passed;calibrate:unreachable",
                                            "123456;654321"};
    EXPECT_EQ(rows[1], first);
    ASSERT_EQ(rows[2].size(), header.size());
    EXPECT_EQ(rows[2][6], "2026-12-10T00:00:00.000000Z");
    EXPECT_EQ(rows[2][7], "") << "not ended";
    EXPECT_EQ(rows[2][14], "") << "no frame decoded";
    EXPECT_EQ(rows[2].back(), "") << "no passwords held";
}

constexpr char kReadJunit[] = R"py(
import json, sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
suites = []
for s in root:
    cases = [{'attrib': c.attrib,
              'children': [{'tag': e.tag, 'attrib': e.attrib, 'text': e.text or ''} for e in c]}
             for c in s.findall('testcase')]
    properties = [[p.get('name'), p.get('value')] for p in s.find('properties')]
    suites.append({'attrib': s.attrib, 'properties': properties, 'cases': cases})
print(json.dumps({'tag': root.tag, 'suites': suites}))
)py";

TEST(ResultsExport, JunitStaysWellFormedWhateverTheSerialHolds) {
    TempDir dir;
    RunRecord hostile = Full();
    hostile.labelSerial = std::string(
        "<a href=\"x\">&amp;'\x01\x1b\t\r\n\xff\xc3(\xed\xa0\x80\xef\xbf\xbe ok \xe2\x82\xac");
    hostile.steps[1].why = "]]> & <b>\x02";
    std::ostringstream out;
    auto writer = MakeRecordWriter(ExportFormat::Junit, out);
    writer->Write(hostile);
    writer->Write(Bare());
    writer->End();

    const json parsed = json::parse(Python(dir, kReadJunit, out.str()));
    EXPECT_EQ(parsed["tag"], "testsuites");
    ASSERT_EQ(parsed["suites"].size(), 2u);
    const std::string shown =
        "<a href=\"x\">&amp;'\\x01\\x1B\t\r\n\\xFF\\xC3(\\xED\\xA0\\x80\\xEF\\xBF\\xBE ok "
        "\xe2\x82\xac";

    const json& suite = parsed["suites"][0];
    EXPECT_EQ(suite["attrib"]["name"], shown);
    EXPECT_EQ(suite["attrib"]["tests"], "5");
    EXPECT_EQ(suite["attrib"]["failures"], "1");
    EXPECT_EQ(suite["attrib"]["errors"], "2");
    EXPECT_EQ(suite["attrib"]["skipped"], "1");
    EXPECT_EQ(suite["attrib"]["time"], "12.531");
    const json properties = json::array({{"run_id", hostile.id},
                                         {"station", "line-2"},
                                         {"operator", hostile.operatorId},
                                         {"label_serial", shown},
                                         {"token_serial", "T1234"},
                                         {"version", "0.1"},
                                         {"outcome", "FAIL"},
                                         {"exit_status", "4"},
                                         {"retest", "2"},
                                         {"decode_result", "-3"},
                                         {"calibration", "failed: no answer"},
                                         {"password", "123456"},
                                         {"password", "654321"}});
    EXPECT_EQ(suite["properties"], properties);

    const json& cases = suite["cases"];
    ASSERT_EQ(cases.size(), 5u);
    EXPECT_EQ(cases[0]["attrib"]["name"], "receivers");
    EXPECT_EQ(cases[0]["attrib"]["time"], "0.250");
    EXPECT_TRUE(cases[0]["children"].empty());
    const json failure = cases[1]["children"][0];
    EXPECT_EQ(failure["tag"], "failure");
    EXPECT_EQ(failure["attrib"]["message"], "]]> & <b>\\x02");
    EXPECT_EQ(failure["text"], "]]> & <b>\\x02");
    EXPECT_EQ(cases[2]["children"][0]["tag"], "error");
    EXPECT_EQ(cases[3]["children"][0]["attrib"]["type"], "aborted");
    EXPECT_EQ(cases[4]["children"][0]["tag"], "skipped");

    // Ended before any step: the run itself is the error, and no passwords are shown.
    const json& bare = parsed["suites"][1];
    EXPECT_EQ(bare["attrib"]["name"], Bare().id);
    EXPECT_EQ(bare["attrib"]["errors"], "1");
    ASSERT_EQ(bare["cases"].size(), 1u);
    EXPECT_EQ(bare["cases"][0]["children"][0]["attrib"]["message"],
              "the run ended without its record");
    for (const auto& property : bare["properties"])
        EXPECT_NE(property[0], "password");
}

}  // namespace
