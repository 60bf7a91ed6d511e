#pragma once

// Run records written out for other programs: CSV for spreadsheets, JSON (one record,
// or JSON Lines) for scripts and the shared database, JUnit XML for CI dashboards.
// Writers stream: each record is written as it comes, nothing is kept.
//
// Passwords appear only when the record holds them (quillonctl test --keep-passwords).

#include <iosfwd>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>

#include "station/run_record.h"

enum class ExportFormat { Csv, Json, JsonLines, Junit };
// "csv", "json", "jsonl", "junit".
std::string_view ExportFormatKey(ExportFormat format);
std::optional<ExportFormat> ExportFormatFromKey(std::string_view key);

// The record with stable snake_case keys; times as UtcText (null for 0). Strings are
// the record's bytes: dump() them with error_handler_t::replace, since a serial read
// off a device need not be UTF-8.
nlohmann::json RecordJson(const RunRecord& record);
// The record back; nothing when a key holds the wrong type or an unknown outcome or
// time. Missing keys take the record's defaults; "unit_serial" is ignored.
std::optional<RunRecord> RecordFromJson(const nlohmann::json& json);

// The CSV header row and one row per run (RFC 4180, CRLF). Lists (steps, keys missing,
// passwords, ...) are joined with ';' in one field.
void WriteCsvHeader(std::ostream& out);
void WriteCsvRow(std::ostream& out, const RunRecord& record);

// One record as a line of JSON.
void WriteJsonLine(std::ostream& out, const RunRecord& record);

// <testsuites>, then a <testsuite> per run with a <testcase> per step, then </testsuites>.
// Bytes XML 1.0 cannot hold (control characters, invalid UTF-8) are written as "\xNN".
void WriteJunitOpen(std::ostream& out);
void WriteJunitSuite(std::ostream& out, const RunRecord& record);
void WriteJunitClose(std::ostream& out);

// Any of the formats through one interface: Write() each record, then End() once.
// Json is an array of records.
class RecordWriter {
public:
    virtual ~RecordWriter() = default;
    virtual void Write(const RunRecord& record) = 0;
    virtual void End() = 0;
};
std::unique_ptr<RecordWriter> MakeRecordWriter(ExportFormat format, std::ostream& out);
