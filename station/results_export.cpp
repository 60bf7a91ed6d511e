#include "station/results_export.h"

#include <cstdio>
#include <limits>
#include <ostream>
#include <string>

namespace {

using nlohmann::json;

constexpr std::string_view kFormatKeys[] = {"csv", "json", "jsonl", "junit"};

json TimeJson(UtcMicros t) {
    return t == 0 ? json(nullptr) : json(UtcText(t));
}

template <typename T>
json OptionalJson(const std::optional<T>& value) {
    return value ? json(*value) : json(nullptr);
}

// Reads the keys of one JSON object into a record's fields; `ok` turns false at the
// first key of the wrong type or value and stays so.
class Fields {
public:
    explicit Fields(const json& object) : m_object(object), m_ok(object.is_object()) {}

    bool Ok() const { return m_ok; }
    bool Has(const char* key) const { return m_ok && m_object.contains(key); }

    void Text(const char* key, std::string* out) {
        if (const json* value = Find(key)) {
            if (value->is_string())
                *out = value->get<std::string>();
            else
                m_ok = false;
        }
    }

    template <typename T>
    void Integer(const char* key, T* out) {
        if (const json* value = Find(key)) {
            if (!IntegerOf(*value, out))
                m_ok = false;
        }
    }

    template <typename T>
    void Integer(const char* key, std::optional<T>* out) {
        if (const json* value = Find(key)) {
            T number{};
            if (IntegerOf(*value, &number))
                *out = number;
            else
                m_ok = false;
        }
    }

    void Flag(const char* key, bool* out) {
        if (const json* value = Find(key)) {
            if (value->is_boolean())
                *out = value->get<bool>();
            else
                m_ok = false;
        }
    }

    void Time(const char* key, UtcMicros* out) {
        if (const json* value = Find(key)) {
            const auto t =
                value->is_string() ? UtcFromText(value->get<std::string>()) : std::nullopt;
            if (t)
                *out = *t;
            else
                m_ok = false;
        }
    }

    template <typename Outcome>
    void Enum(const char* key, Outcome* out, std::optional<Outcome> (*fromKey)(std::string_view)) {
        if (const json* value = Find(key)) {
            const auto outcome =
                value->is_string() ? fromKey(value->get<std::string>()) : std::nullopt;
            if (outcome)
                *out = *outcome;
            else
                m_ok = false;
        }
    }

    // Each element of the array at `key` through `read`, which returns whether it could.
    template <typename T, typename Read>
    void List(const char* key, std::vector<T>* out, Read read) {
        const json* value = Find(key);
        if (!value)
            return;
        if (!value->is_array()) {
            m_ok = false;
            return;
        }
        for (const auto& item : *value) {
            T element{};
            if (!read(item, &element)) {
                m_ok = false;
                return;
            }
            out->push_back(std::move(element));
        }
    }

private:
    // The value at `key`; none when it is missing or null (the default stays).
    const json* Find(const char* key) const {
        if (!m_ok)
            return nullptr;
        const auto it = m_object.find(key);
        if (it == m_object.end() || it->is_null())
            return nullptr;
        return &*it;
    }

    template <typename T>
    static bool IntegerOf(const json& value, T* out) {
        if (!value.is_number_integer())
            return false;
        if (value.is_number_unsigned()) {
            const auto n = value.get<std::uint64_t>();
            if (n > static_cast<std::uint64_t>(std::numeric_limits<T>::max()))
                return false;
            *out = static_cast<T>(n);
            return true;
        }
        const auto n = value.get<std::int64_t>();
        if (n < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
            n > static_cast<std::int64_t>(std::numeric_limits<T>::max()))
            return false;
        *out = static_cast<T>(n);
        return true;
    }

    const json& m_object;
    bool m_ok;
};

bool StringFromJson(const json& value, std::string* out) {
    if (!value.is_string())
        return false;
    *out = value.get<std::string>();
    return true;
}

bool IntegerFromJson(const json& value, std::int64_t* out) {
    if (!value.is_number_integer() ||
        (value.is_number_unsigned() &&
         value.get<std::uint64_t>() >
             static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())))
        return false;
    *out = value.get<std::int64_t>();
    return true;
}

// ---- CSV

void CsvField(std::ostream& out, std::string_view field) {
    if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
        out << field;
        return;
    }
    out << '"';
    for (const char c : field) {
        if (c == '"')
            out << '"';
        out << c;
    }
    out << '"';
}

template <typename List, typename Part>
std::string Joined(const List& list, Part part) {
    std::string joined;
    for (const auto& item : list) {
        const std::string text = part(item);
        if (text.empty())
            continue;
        if (!joined.empty())
            joined += ';';
        joined += text;
    }
    return joined;
}

std::string KeysWhere(const std::vector<KeyRecord>& keys, bool KeyRecord::*flag) {
    return Joined(keys, [flag](const KeyRecord& k) { return k.*flag ? k.name : std::string(); });
}

// ---- XML

// `text` as XML 1.0 character data or attribute value: markup escaped, and what XML
// cannot carry (control characters, bytes that are not UTF-8, U+FFFE and U+FFFF)
// written as "\xNN" per byte. In attributes tabs and line ends are character
// references, so that a parser's normalization keeps them.
std::string Xml(std::string_view text, bool attribute) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    auto escapeByte = [&](unsigned char b) {
        out += "\\x";
        out += kHex[b >> 4];
        out += kHex[b & 0x0f];
    };
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    for (std::size_t i = 0; i < size;) {
        const unsigned char b = bytes[i];
        if (b < 0x80) {
            switch (b) {
                case '&':
                    out += "&amp;";
                    break;
                case '<':
                    out += "&lt;";
                    break;
                case '>':
                    out += "&gt;";
                    break;
                case '"':
                    out += "&quot;";
                    break;
                case '\'':
                    out += "&apos;";
                    break;
                case '\t':
                    out += attribute ? "&#9;" : "\t";
                    break;
                case '\n':
                    out += attribute ? "&#10;" : "\n";
                    break;
                case '\r':
                    out += "&#13;";
                    break;
                default:
                    if (b < 0x20)
                        escapeByte(b);
                    else
                        out += static_cast<char>(b);
            }
            ++i;
            continue;
        }
        // The length of a well-formed UTF-8 sequence led by `b`, and its second byte's range.
        std::size_t length = 0;
        unsigned char low = 0x80, high = 0xbf;
        if (b >= 0xc2 && b <= 0xdf) {
            length = 2;
        } else if (b >= 0xe0 && b <= 0xef) {
            length = 3;
            if (b == 0xe0)
                low = 0xa0;  // no overlong forms
            if (b == 0xed)
                high = 0x9f;  // no surrogates
        } else if (b >= 0xf0 && b <= 0xf4) {
            length = 4;
            if (b == 0xf0)
                low = 0x90;
            if (b == 0xf4)
                high = 0x8f;  // nothing above U+10FFFF
        }
        bool valid =
            length > 0 && i + length <= size && bytes[i + 1] >= low && bytes[i + 1] <= high;
        for (std::size_t k = 2; valid && k < length; ++k)
            valid = bytes[i + k] >= 0x80 && bytes[i + k] <= 0xbf;
        // U+FFFE and U+FFFF are not XML characters.
        if (valid && length == 3 && b == 0xef && bytes[i + 1] == 0xbf && bytes[i + 2] >= 0xbe)
            valid = false;
        if (!valid) {
            // One byte at a time: whatever follows may begin a good sequence.
            escapeByte(b);
            ++i;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

std::string Seconds(UtcMicros from, UtcMicros to) {
    char text[32];
    const double seconds = to > from ? static_cast<double>(to - from) / 1e6 : 0.0;
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

void Property(std::ostream& out, std::string_view name, std::string_view value) {
    out << "      <property name=\"" << name << "\" value=\"" << Xml(value, true) << "\"/>\n";
}

// ---- Writers

class CsvWriter : public RecordWriter {
public:
    explicit CsvWriter(std::ostream& out) : m_out(out) { WriteCsvHeader(m_out); }
    void Write(const RunRecord& record) override { WriteCsvRow(m_out, record); }
    void End() override { m_out.flush(); }

private:
    std::ostream& m_out;
};

class JsonArrayWriter : public RecordWriter {
public:
    explicit JsonArrayWriter(std::ostream& out) : m_out(out) {}
    void Write(const RunRecord& record) override {
        m_out << (m_first ? "[\n" : ",\n")
              << RecordJson(record).dump(-1, ' ', false, json::error_handler_t::replace);
        m_first = false;
    }
    void End() override {
        m_out << (m_first ? "[]\n" : "\n]\n");
        m_out.flush();
    }

private:
    std::ostream& m_out;
    bool m_first = true;
};

class JsonLinesWriter : public RecordWriter {
public:
    explicit JsonLinesWriter(std::ostream& out) : m_out(out) {}
    void Write(const RunRecord& record) override { WriteJsonLine(m_out, record); }
    void End() override { m_out.flush(); }

private:
    std::ostream& m_out;
};

class JunitWriter : public RecordWriter {
public:
    explicit JunitWriter(std::ostream& out) : m_out(out) { WriteJunitOpen(m_out); }
    void Write(const RunRecord& record) override { WriteJunitSuite(m_out, record); }
    void End() override {
        WriteJunitClose(m_out);
        m_out.flush();
    }

private:
    std::ostream& m_out;
};

}  // namespace

std::string_view ExportFormatKey(ExportFormat format) {
    return kFormatKeys[static_cast<std::size_t>(format)];
}

std::optional<ExportFormat> ExportFormatFromKey(std::string_view key) {
    for (std::size_t i = 0; i < std::size(kFormatKeys); ++i) {
        if (kFormatKeys[i] == key)
            return static_cast<ExportFormat>(i);
    }
    return std::nullopt;
}

nlohmann::json RecordJson(const RunRecord& record) {
    json receivers = json::array();
    for (const auto& r : record.receivers) {
        receivers.push_back({{"role", r.role},
                             {"state", r.state},
                             {"node", r.node},
                             {"usb_path", r.usbPath},
                             {"vendor", r.vendor},
                             {"product", r.product}});
    }
    json steps = json::array();
    for (const auto& s : record.steps) {
        steps.push_back({{"name", s.name},
                         {"outcome", StepOutcomeKey(s.outcome)},
                         {"why", s.why},
                         {"code", s.code},
                         {"started", TimeJson(s.started)},
                         {"ended", TimeJson(s.ended)}});
    }
    json keys = json::array();
    for (const auto& k : record.keys) {
        keys.push_back({{"id", k.id},
                        {"name", k.name},
                        {"presses", k.presses},
                        {"first_press_ms", OptionalJson(k.firstPressMs)},
                        {"durations_ms", k.durationsMs},
                        {"missing", k.missing},
                        {"doubled", k.doubled},
                        {"stuck", k.stuck}});
    }
    json calls = json::array();
    for (const auto& c : record.serviceCalls) {
        calls.push_back({{"kind", c.kind},
                         {"outcome", c.outcome},
                         {"result", OptionalJson(c.result)},
                         {"at", TimeJson(c.at)}});
    }
    json out = {{"id", record.id},
                {"station", record.station},
                {"operator", record.operatorId},
                {"label_serial", record.labelSerial},
                {"token_serial", record.tokenSerial},
                {"unit_serial", UnitSerial(record)},
                {"started", TimeJson(record.started)},
                {"ended", TimeJson(record.ended)},
                {"version", record.version},
                {"outcome", RunOutcomeKey(record.outcome)},
                {"failed_step", record.failedStep},
                {"why", record.why},
                {"exit_status", record.exitStatus},
                {"retest", record.retest},
                {"receivers", std::move(receivers)},
                {"steps", std::move(steps)},
                {"keys", std::move(keys)},
                {"decode_result", OptionalJson(record.decodeResult)},
                {"service_calls", std::move(calls)},
                {"calibration", record.calibration}};
    if (!record.passwords.empty())
        out["passwords"] = record.passwords;
    return out;
}

std::optional<RunRecord> RecordFromJson(const nlohmann::json& value) {
    Fields f(value);
    if (!f.Has("id") || !f.Has("outcome"))
        return std::nullopt;
    RunRecord record;
    f.Text("id", &record.id);
    f.Text("station", &record.station);
    f.Text("operator", &record.operatorId);
    f.Text("label_serial", &record.labelSerial);
    f.Text("token_serial", &record.tokenSerial);
    f.Time("started", &record.started);
    f.Time("ended", &record.ended);
    f.Text("version", &record.version);
    f.Enum("outcome", &record.outcome, &RunOutcomeFromKey);
    f.Text("failed_step", &record.failedStep);
    f.Text("why", &record.why);
    f.Integer("exit_status", &record.exitStatus);
    f.Integer("retest", &record.retest);
    f.List("receivers", &record.receivers, [](const json& item, ReceiverRecord* r) {
        Fields g(item);
        g.Text("role", &r->role);
        g.Text("state", &r->state);
        g.Text("node", &r->node);
        g.Text("usb_path", &r->usbPath);
        g.Integer("vendor", &r->vendor);
        g.Integer("product", &r->product);
        return g.Ok();
    });
    f.List("steps", &record.steps, [](const json& item, StepRecord* s) {
        Fields g(item);
        g.Text("name", &s->name);
        g.Enum("outcome", &s->outcome, &StepOutcomeFromKey);
        g.Text("why", &s->why);
        g.Integer("code", &s->code);
        g.Time("started", &s->started);
        g.Time("ended", &s->ended);
        return g.Ok();
    });
    f.List("keys", &record.keys, [](const json& item, KeyRecord* k) {
        Fields g(item);
        g.Integer("id", &k->id);
        g.Text("name", &k->name);
        g.Integer("presses", &k->presses);
        g.Integer("first_press_ms", &k->firstPressMs);
        g.List("durations_ms", &k->durationsMs, IntegerFromJson);
        g.Flag("missing", &k->missing);
        g.Flag("doubled", &k->doubled);
        g.Flag("stuck", &k->stuck);
        return g.Ok();
    });
    f.Integer("decode_result", &record.decodeResult);
    f.List("service_calls", &record.serviceCalls, [](const json& item, ServiceCallRecord* c) {
        Fields g(item);
        g.Text("kind", &c->kind);
        g.Text("outcome", &c->outcome);
        g.Integer("result", &c->result);
        g.Time("at", &c->at);
        return g.Ok();
    });
    f.Text("calibration", &record.calibration);
    f.List("passwords", &record.passwords, StringFromJson);
    if (!f.Ok() || record.id.empty())
        return std::nullopt;
    return record;
}

void WriteCsvHeader(std::ostream& out) {
    out << "id,station,operator,label_serial,token_serial,unit_serial,started,ended,version,"
           "outcome,failed_step,why,exit_status,retest,decode_result,calibration,receivers,"
           "steps,keys_missing,keys_doubled,keys_stuck,service_calls,passwords\r\n";
}

void WriteCsvRow(std::ostream& out, const RunRecord& r) {
    const std::string fields[] = {
        r.id,
        r.station,
        r.operatorId,
        r.labelSerial,
        r.tokenSerial,
        UnitSerial(r),
        r.started ? UtcText(r.started) : std::string(),
        r.ended ? UtcText(r.ended) : std::string(),
        r.version,
        std::string(RunOutcomeKey(r.outcome)),
        r.failedStep,
        r.why,
        std::to_string(r.exitStatus),
        std::to_string(r.retest),
        r.decodeResult ? std::to_string(*r.decodeResult) : std::string(),
        r.calibration,
        Joined(r.receivers, [](const ReceiverRecord& x) { return x.role + ":" + x.state; }),
        Joined(r.steps,
               [](const StepRecord& x) {
                   return x.name + ":" + std::string(StepOutcomeKey(x.outcome));
               }),
        KeysWhere(r.keys, &KeyRecord::missing),
        KeysWhere(r.keys, &KeyRecord::doubled),
        KeysWhere(r.keys, &KeyRecord::stuck),
        Joined(r.serviceCalls, [](const ServiceCallRecord& x) { return x.kind + ":" + x.outcome; }),
        Joined(r.passwords, [](const std::string& x) { return x; }),
    };
    bool first = true;
    for (const auto& field : fields) {
        if (!first)
            out << ',';
        first = false;
        CsvField(out, field);
    }
    out << "\r\n";
}

void WriteJsonLine(std::ostream& out, const RunRecord& record) {
    out << RecordJson(record).dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
}

void WriteJunitOpen(std::ostream& out) {
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"quillon test\">\n";
}

void WriteJunitClose(std::ostream& out) {
    out << "</testsuites>\n";
}

void WriteJunitSuite(std::ostream& out, const RunRecord& r) {
    int failures = 0, errors = 0, skipped = 0;
    for (const auto& s : r.steps) {
        failures += s.outcome == StepOutcome::Fail;
        errors += s.outcome == StepOutcome::Error || s.outcome == StepOutcome::Aborted;
        skipped += s.outcome == StepOutcome::Skipped;
    }
    // A run that did not pass while none of its steps says why (it ended before them,
    // or is still running) still shows as an error.
    const bool runError = r.outcome != RunOutcome::Pass && failures == 0 && errors == 0;
    const std::size_t tests = r.steps.size() + (runError ? 1 : 0);
    errors += runError;

    const std::string unit = UnitSerial(r);
    out << "  <testsuite name=\"" << Xml(unit.empty() ? r.id : unit, true) << "\" tests=\"" << tests
        << "\" failures=\"" << failures << "\" errors=\"" << errors << "\" skipped=\"" << skipped
        << "\" timestamp=\"" << UtcText(r.started) << "\" time=\"" << Seconds(r.started, r.ended)
        << "\">\n";
    out << "    <properties>\n";
    Property(out, "run_id", r.id);
    Property(out, "station", r.station);
    Property(out, "operator", r.operatorId);
    Property(out, "label_serial", r.labelSerial);
    Property(out, "token_serial", r.tokenSerial);
    Property(out, "version", r.version);
    Property(out, "outcome", RunOutcomeKey(r.outcome));
    Property(out, "exit_status", std::to_string(r.exitStatus));
    Property(out, "retest", std::to_string(r.retest));
    if (r.decodeResult)
        Property(out, "decode_result", std::to_string(*r.decodeResult));
    if (!r.calibration.empty())
        Property(out, "calibration", r.calibration);
    for (const auto& password : r.passwords)
        Property(out, "password", password);
    out << "    </properties>\n";

    for (const auto& s : r.steps) {
        out << "    <testcase name=\"" << Xml(s.name, true) << "\" classname=\"eol\" time=\""
            << Seconds(s.started, s.ended) << '"';
        const std::string why = Xml(s.why, true);
        switch (s.outcome) {
            case StepOutcome::Pass:
                out << "/>\n";
                continue;
            case StepOutcome::Skipped:
                out << ">\n      <skipped message=\"" << why << "\"/>\n";
                break;
            case StepOutcome::Fail:
            case StepOutcome::Error:
            case StepOutcome::Aborted: {
                const char* element = s.outcome == StepOutcome::Fail ? "failure" : "error";
                out << ">\n      <" << element << " message=\"" << why << "\" type=\""
                    << StepOutcomeKey(s.outcome) << "\">" << Xml(s.why, false) << "</" << element
                    << ">\n";
                break;
            }
        }
        out << "    </testcase>\n";
    }
    if (runError) {
        const std::string why = r.why.empty() ? std::string(RunOutcomeKey(r.outcome)) : r.why;
        out << "    <testcase name=\"run\" classname=\"eol\" time=\"" << Seconds(r.started, r.ended)
            << "\">\n      <error message=\"" << Xml(why, true) << "\" type=\""
            << RunOutcomeKey(r.outcome) << "\">" << Xml(why, false)
            << "</error>\n    </testcase>\n";
    }
    out << "  </testsuite>\n";
}

std::unique_ptr<RecordWriter> MakeRecordWriter(ExportFormat format, std::ostream& out) {
    switch (format) {
        case ExportFormat::Csv:
            return std::make_unique<CsvWriter>(out);
        case ExportFormat::Json:
            return std::make_unique<JsonArrayWriter>(out);
        case ExportFormat::JsonLines:
            return std::make_unique<JsonLinesWriter>(out);
        case ExportFormat::Junit:
            return std::make_unique<JunitWriter>(out);
    }
    return nullptr;
}
