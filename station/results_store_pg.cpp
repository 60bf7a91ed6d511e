#include "station/results_store_pg.h"

#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <future>
#include <nlohmann/json.hpp>
#include <system_error>
#include <thread>

using Clock = std::chrono::steady_clock;
using nlohmann::json;

namespace {

constexpr std::chrono::seconds kDefaultConnectTimeout{5};
// A ROLLBACK after a failed statement, and the cancel request after a time-out.
constexpr std::chrono::milliseconds kRollbackBound{2000};
constexpr std::chrono::milliseconds kCancelBound{1000};
// Taken while the schema is created or migrated, so that stations connecting for the
// first time at once do not race on it. "quillon" in ASCII.
constexpr const char* kSchemaLockKey = "31935768019365742";
constexpr const char* kFetch = "FETCH 500 FROM quillon_runs";

struct Migration {
    int version;
    std::vector<const char*> statements;
};

const std::vector<Migration>& Migrations() {
    static const std::vector<Migration> migrations{
        {1,
         {
             R"(CREATE TABLE runs (
                id TEXT PRIMARY KEY,
                station TEXT NOT NULL,
                operator TEXT NOT NULL,
                label_serial TEXT NOT NULL,
                token_serial TEXT NOT NULL,
                unit_serial TEXT NOT NULL,
                started_us BIGINT NOT NULL,
                ended_us BIGINT NOT NULL,
                version TEXT NOT NULL,
                outcome TEXT NOT NULL,
                failed_step TEXT NOT NULL,
                why TEXT NOT NULL,
                exit_status INT NOT NULL,
                retest INT NOT NULL,
                decode_result INT,
                calibration TEXT NOT NULL,
                passwords TEXT NOT NULL,
                pid INT,
                host TEXT))",
             R"(CREATE TABLE receivers (
                run_id TEXT NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
                seq INT NOT NULL,
                role TEXT NOT NULL,
                state TEXT NOT NULL,
                node TEXT NOT NULL,
                usb_path TEXT NOT NULL,
                vendor INT NOT NULL,
                product INT NOT NULL,
                PRIMARY KEY (run_id, seq)))",
             R"(CREATE TABLE steps (
                run_id TEXT NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
                seq INT NOT NULL,
                name TEXT NOT NULL,
                outcome TEXT NOT NULL,
                why TEXT NOT NULL,
                code INT NOT NULL,
                started_us BIGINT NOT NULL,
                ended_us BIGINT NOT NULL,
                PRIMARY KEY (run_id, seq)))",
             R"(CREATE TABLE keys (
                run_id TEXT NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
                seq INT NOT NULL,
                key_id INT NOT NULL,
                name TEXT NOT NULL,
                presses INT NOT NULL,
                first_press_ms BIGINT,
                durations_ms TEXT NOT NULL,
                missing BOOLEAN NOT NULL,
                doubled BOOLEAN NOT NULL,
                stuck BOOLEAN NOT NULL,
                PRIMARY KEY (run_id, seq)))",
             R"(CREATE TABLE service_calls (
                run_id TEXT NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
                seq INT NOT NULL,
                kind TEXT NOT NULL,
                outcome TEXT NOT NULL,
                result INT,
                at_us BIGINT NOT NULL,
                PRIMARY KEY (run_id, seq)))",
             "CREATE INDEX runs_started ON runs (started_us)",
             "CREATE INDEX runs_station_unit ON runs (station, unit_serial)",
         }},
    };
    return migrations;
}

constexpr const char* kBegin = R"(
INSERT INTO runs (id, station, operator, label_serial, token_serial, unit_serial, started_us,
                  ended_us, version, outcome, failed_step, why, exit_status, retest,
                  decode_result, calibration, passwords, pid, host)
VALUES ($1, $2, $3, $4, $5, $6, $7, 0, $8, 'STARTED', '', '', 0, 0, NULL, '', '[]', $9, $10)
ON CONFLICT (id) DO NOTHING)";

// A finished row is left as it is: no row comes back then.
constexpr const char* kFinish = R"(
INSERT INTO runs AS r (id, station, operator, label_serial, token_serial, unit_serial,
                       started_us, ended_us, version, outcome, failed_step, why, exit_status,
                       retest, decode_result, calibration, passwords, pid, host)
VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13,
        (SELECT count(*) FROM runs e
          WHERE e.station = $2 AND e.unit_serial = $6 AND $6 <> ''
            AND e.outcome <> 'STARTED' AND e.started_us < $7 AND e.id <> $1),
        $14, $15, $16, $17, $18)
ON CONFLICT (id) DO UPDATE SET
    station = EXCLUDED.station, operator = EXCLUDED.operator,
    label_serial = EXCLUDED.label_serial, token_serial = EXCLUDED.token_serial,
    unit_serial = EXCLUDED.unit_serial, started_us = EXCLUDED.started_us,
    ended_us = EXCLUDED.ended_us, version = EXCLUDED.version, outcome = EXCLUDED.outcome,
    failed_step = EXCLUDED.failed_step, why = EXCLUDED.why,
    exit_status = EXCLUDED.exit_status, retest = EXCLUDED.retest,
    decode_result = EXCLUDED.decode_result, calibration = EXCLUDED.calibration,
    passwords = EXCLUDED.passwords,
    pid = coalesce(r.pid, EXCLUDED.pid), host = coalesce(r.host, EXCLUDED.host)
WHERE r.outcome = 'STARTED'
RETURNING retest)";

constexpr const char* kStoredRetest = "SELECT retest FROM runs WHERE id = $1";

// The children come as one JSON array each, so that a record takes a few statements
// whatever its number of keys.
constexpr const char* kInsertReceivers = R"(
INSERT INTO receivers (run_id, seq, role, state, node, usb_path, vendor, product)
SELECT $1, c.seq, c.role, c.state, c.node, c.usb_path, c.vendor, c.product
  FROM json_to_recordset($2::json) AS c(seq INT, role TEXT, state TEXT, node TEXT,
                                        usb_path TEXT, vendor INT, product INT))";
constexpr const char* kInsertSteps = R"(
INSERT INTO steps (run_id, seq, name, outcome, why, code, started_us, ended_us)
SELECT $1, c.seq, c.name, c.outcome, c.why, c.code, c.started_us, c.ended_us
  FROM json_to_recordset($2::json) AS c(seq INT, name TEXT, outcome TEXT, why TEXT, code INT,
                                        started_us BIGINT, ended_us BIGINT))";
constexpr const char* kInsertKeys = R"(
INSERT INTO keys (run_id, seq, key_id, name, presses, first_press_ms, durations_ms, missing,
                  doubled, stuck)
SELECT $1, c.seq, c.key_id, c.name, c.presses, c.first_press_ms, c.durations_ms, c.missing,
       c.doubled, c.stuck
  FROM json_to_recordset($2::json) AS c(seq INT, key_id INT, name TEXT, presses INT,
                                        first_press_ms BIGINT, durations_ms TEXT,
                                        missing BOOLEAN, doubled BOOLEAN, stuck BOOLEAN))";
constexpr const char* kInsertServiceCalls = R"(
INSERT INTO service_calls (run_id, seq, kind, outcome, result, at_us)
SELECT $1, c.seq, c.kind, c.outcome, c.result, c.at_us
  FROM json_to_recordset($2::json) AS c(seq INT, kind TEXT, outcome TEXT, result INT,
                                        at_us BIGINT))";

// $1 since, $2 until, $3 serial, $4 station, $5 outcome; NULL where the filter has none.
#define QUILLON_RUN_FILTER                                                                \
    " WHERE ($1::BIGINT IS NULL OR r.started_us >= $1::BIGINT)"                           \
    "   AND ($2::BIGINT IS NULL OR r.started_us < $2::BIGINT)"                            \
    "   AND ($3::TEXT IS NULL OR r.label_serial = $3::TEXT OR r.token_serial = $3::TEXT)" \
    "   AND ($4::TEXT IS NULL OR r.station = $4::TEXT)"                                   \
    "   AND ($5::TEXT IS NULL OR r.outcome = $5::TEXT)"

// Columns 0..15 of the run, then its children as JSON arrays of arrays.
constexpr const char* kDeclareQuery =
    "DECLARE quillon_runs NO SCROLL CURSOR FOR"
    " SELECT r.id, r.station, r.operator, r.label_serial, r.token_serial, r.started_us,"
    "   r.ended_us, r.version, r.outcome, r.failed_step, r.why, r.exit_status, r.retest,"
    "   r.decode_result, r.calibration, r.passwords,"
    "   (SELECT coalesce(json_agg(json_build_array(c.role, c.state, c.node, c.usb_path,"
    "      c.vendor, c.product) ORDER BY c.seq), '[]') FROM receivers c WHERE c.run_id = r.id),"
    "   (SELECT coalesce(json_agg(json_build_array(c.name, c.outcome, c.why, c.code,"
    "      c.started_us, c.ended_us) ORDER BY c.seq), '[]') FROM steps c WHERE c.run_id = r.id),"
    "   (SELECT coalesce(json_agg(json_build_array(c.key_id, c.name, c.presses,"
    "      c.first_press_ms, c.durations_ms, c.missing, c.doubled, c.stuck) ORDER BY c.seq),"
    "      '[]') FROM keys c WHERE c.run_id = r.id),"
    "   (SELECT coalesce(json_agg(json_build_array(c.kind, c.outcome, c.result, c.at_us)"
    "      ORDER BY c.seq), '[]') FROM service_calls c WHERE c.run_id = r.id)"
    " FROM runs r" QUILLON_RUN_FILTER " ORDER BY r.started_us DESC, r.id DESC";

// One consistent answer: rows of (what, name, count).
constexpr const char* kSummarize =
    "WITH f AS (SELECT r.* FROM runs r" QUILLON_RUN_FILTER
    ")"
    " SELECT 'runs', '', count(*) FROM f"
    " UNION ALL SELECT 'units', '', count(DISTINCT unit_serial) FROM f WHERE unit_serial <> ''"
    " UNION ALL SELECT 'first_pass', '', count(*) FROM"
    "   (SELECT DISTINCT ON (unit_serial) outcome FROM f WHERE unit_serial <> ''"
    "     ORDER BY unit_serial, started_us, id) first WHERE first.outcome = 'PASS'"
    " UNION ALL SELECT 'retests', '', count(*) FROM f WHERE retest > 0"
    " UNION ALL SELECT 'outcome', outcome, count(*) FROM f GROUP BY outcome"
    " UNION ALL SELECT 'step', failed_step, count(*) FROM f"
    "   WHERE failed_step <> '' AND outcome <> 'PASS' GROUP BY failed_step"
    " UNION ALL SELECT 'key', k.name, count(*) FROM keys k JOIN f ON f.id = k.run_id"
    "   WHERE k.missing OR k.doubled OR k.stuck GROUP BY k.name";

#undef QUILLON_RUN_FILTER

// libpq's messages end in a newline and go on in tab-indented lines.
std::string OneLine(std::string_view text) {
    std::string line;
    bool gap = false;
    for (const char c : text) {
        if (c == '\n' || c == '\r' || c == '\t') {
            gap = true;
            continue;
        }
        if (gap && !line.empty() && line.back() != ' ')
            line += ' ';
        gap = false;
        if (c != ' ' || line.empty() || line.back() != ' ')
            line += c;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

std::string Describe(std::string_view host, std::string_view port, std::string_view dbname,
                     std::string_view user) {
    std::string where = "PostgreSQL at ";
    where += host.empty() ? std::string_view("the local socket") : host;
    if (!port.empty())
        where.append(":").append(port);
    if (!dbname.empty())
        where.append(", database ").append(dbname);
    if (!user.empty())
        where.append(", user ").append(user);
    return where;
}

std::string DescribeConnection(const PGconn* conn) {
    auto text = [](const char* value) { return std::string_view(value != nullptr ? value : ""); };
    return Describe(text(PQhost(conn)), text(PQport(conn)), text(PQdb(conn)), text(PQuser(conn)));
}

// Ready events of `fd`, 0 when `deadline` passed first, -1 on an error.
int WaitFor(int fd, short events, Clock::time_point deadline) {
    if (fd < 0)
        return -1;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return 0;
        pollfd p{fd, events, 0};
        const int n =
            ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left.count(), INT_MAX)));
        if (n > 0)
            return p.revents;
        if (n < 0 && errno != EINTR)
            return -1;
    }
}

std::string Replace(std::string text, const std::string& secret) {
    if (secret.empty())
        return text;
    for (std::size_t at = text.find(secret); at != std::string::npos;
         at = text.find(secret, at + 3)) {
        text.replace(at, secret.size(), "***");
    }
    return text;
}

std::string Scrubbed(std::string text, const std::vector<std::string>& secrets) {
    for (const std::string& secret : secrets)
        text = Replace(std::move(text), secret);
    return text;
}

bool ValidText(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == 0)
            return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t more;
        std::uint32_t cp;
        if ((c & 0xe0U) == 0xc0U) {
            more = 1;
            cp = c & 0x1fU;
        } else if ((c & 0xf0U) == 0xe0U) {
            more = 2;
            cp = c & 0x0fU;
        } else if ((c & 0xf8U) == 0xf0U) {
            more = 3;
            cp = c & 0x07U;
        } else {
            return false;
        }
        if (s.size() - i <= more)
            return false;
        for (std::size_t k = 1; k <= more; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xc0U) != 0x80U)
                return false;
            cp = (cp << 6) | (next & 0x3fU);
        }
        const bool overlong =
            (more == 1 && cp < 0x80) || (more == 2 && cp < 0x800) || (more == 3 && cp < 0x10000);
        if (overlong || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
            return false;
        i += more + 1;
    }
    return true;
}

// PostgreSQL keeps text as UTF-8 without NUL bytes; anything else would be refused or
// cut short, so it is refused here, by name.
std::optional<std::string> TextProblem(const RunRecord& r) {
    std::optional<std::string> problem;
    auto check = [&](const char* what, const std::string& value) {
        if (!problem && !ValidText(value))
            problem = std::string("the run's ") + what +
                      " is not UTF-8 text without NUL bytes, which PostgreSQL cannot keep";
    };
    check("id", r.id);
    check("station", r.station);
    check("operator", r.operatorId);
    check("label serial", r.labelSerial);
    check("token serial", r.tokenSerial);
    check("version", r.version);
    check("failed step", r.failedStep);
    check("reason", r.why);
    check("calibration", r.calibration);
    for (const std::string& p : r.passwords)
        check("password", p);
    for (const ReceiverRecord& c : r.receivers) {
        check("receiver role", c.role);
        check("receiver state", c.state);
        check("receiver node", c.node);
        check("receiver USB path", c.usbPath);
    }
    for (const StepRecord& c : r.steps) {
        check("step name", c.name);
        check("step reason", c.why);
    }
    for (const KeyRecord& c : r.keys)
        check("key name", c.name);
    for (const ServiceCallRecord& c : r.serviceCalls) {
        check("service call kind", c.kind);
        check("service call outcome", c.outcome);
    }
    if (!problem && r.id.empty())
        problem = "the run has no id";
    return problem;
}

bool Failed(const PGresult* result) {
    const ExecStatusType status = PQresultStatus(result);
    return status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK;
}

std::optional<std::string> Number(std::int64_t n) {
    return std::to_string(n);
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

template <typename T>
bool ParseNumber(std::string_view text, T* value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
    return ec == std::errc() && end == text.data() + text.size();
}

json ChildrenJson(const RunRecord& r, std::size_t which) {
    json rows = json::array();
    int seq = 0;
    switch (which) {
        case 0:
            for (const ReceiverRecord& c : r.receivers)
                rows.push_back({{"seq", seq++},
                                {"role", c.role},
                                {"state", c.state},
                                {"node", c.node},
                                {"usb_path", c.usbPath},
                                {"vendor", c.vendor},
                                {"product", c.product}});
            break;
        case 1:
            for (const StepRecord& c : r.steps)
                rows.push_back({{"seq", seq++},
                                {"name", c.name},
                                {"outcome", StepOutcomeKey(c.outcome)},
                                {"why", c.why},
                                {"code", c.code},
                                {"started_us", c.started},
                                {"ended_us", c.ended}});
            break;
        case 2:
            for (const KeyRecord& c : r.keys)
                rows.push_back({{"seq", seq++},
                                {"key_id", c.id},
                                {"name", c.name},
                                {"presses", c.presses},
                                {"first_press_ms", c.firstPressMs ? json(*c.firstPressMs) : json()},
                                {"durations_ms", json(c.durationsMs).dump()},
                                {"missing", c.missing},
                                {"doubled", c.doubled},
                                {"stuck", c.stuck}});
            break;
        default:
            for (const ServiceCallRecord& c : r.serviceCalls)
                rows.push_back({{"seq", seq++},
                                {"kind", c.kind},
                                {"outcome", c.outcome},
                                {"result", c.result ? json(*c.result) : json()},
                                {"at_us", c.at}});
            break;
    }
    return rows;
}

template <typename T>
T Get(const json& value) {
    return value.is_null() ? T{} : value.get<T>();
}

// One row of kDeclareQuery; throws json errors and std::runtime_error on what it
// cannot read.
RunRecord ReadRun(const PGresult* rows, int row) {
    auto text = [&](int col) {
        return std::string(PQgetvalue(rows, row, col),
                           static_cast<std::size_t>(PQgetlength(rows, row, col)));
    };
    auto number = [&](int col, const char* what) {
        std::int64_t n = 0;
        if (!ParseNumber(text(col), &n))
            throw std::runtime_error(std::string("its ") + what + " is not a number");
        return n;
    };
    RunRecord r;
    r.id = text(0);
    r.station = text(1);
    r.operatorId = text(2);
    r.labelSerial = text(3);
    r.tokenSerial = text(4);
    r.started = number(5, "start");
    r.ended = number(6, "end");
    r.version = text(7);
    const std::optional<RunOutcome> outcome = RunOutcomeFromKey(text(8));
    if (!outcome)
        throw std::runtime_error("its outcome \"" + text(8) + "\" is not one this program knows");
    r.outcome = *outcome;
    r.failedStep = text(9);
    r.why = text(10);
    r.exitStatus = static_cast<int>(number(11, "exit status"));
    r.retest = static_cast<int>(number(12, "retest count"));
    if (!PQgetisnull(rows, row, 13))
        r.decodeResult = static_cast<int>(number(13, "decode result"));
    r.calibration = text(14);
    r.passwords = json::parse(text(15)).get<std::vector<std::string>>();
    for (const json& c : json::parse(text(16)))
        r.receivers.push_back({c.at(0).get<std::string>(), c.at(1).get<std::string>(),
                               c.at(2).get<std::string>(), c.at(3).get<std::string>(),
                               c.at(4).get<std::uint16_t>(), c.at(5).get<std::uint16_t>()});
    for (const json& c : json::parse(text(17))) {
        StepRecord step;
        step.name = c.at(0).get<std::string>();
        const std::string key = c.at(1).get<std::string>();
        const std::optional<StepOutcome> stepOutcome = StepOutcomeFromKey(key);
        if (!stepOutcome)
            throw std::runtime_error("its step outcome \"" + key +
                                     "\" is not one this program knows");
        step.outcome = *stepOutcome;
        step.why = c.at(2).get<std::string>();
        step.code = c.at(3).get<int>();
        step.started = c.at(4).get<UtcMicros>();
        step.ended = c.at(5).get<UtcMicros>();
        r.steps.push_back(std::move(step));
    }
    for (const json& c : json::parse(text(18))) {
        KeyRecord key;
        key.id = c.at(0).get<std::uint16_t>();
        key.name = c.at(1).get<std::string>();
        key.presses = c.at(2).get<int>();
        if (!c.at(3).is_null())
            key.firstPressMs = c.at(3).get<std::int64_t>();
        key.durationsMs = json::parse(c.at(4).get<std::string>()).get<std::vector<std::int64_t>>();
        key.missing = c.at(5).get<bool>();
        key.doubled = c.at(6).get<bool>();
        key.stuck = c.at(7).get<bool>();
        r.keys.push_back(std::move(key));
    }
    for (const json& c : json::parse(text(19))) {
        ServiceCallRecord call;
        call.kind = c.at(0).get<std::string>();
        call.outcome = c.at(1).get<std::string>();
        if (!c.at(2).is_null())
            call.result = c.at(2).get<std::int32_t>();
        call.at = c.at(3).get<UtcMicros>();
        r.serviceCalls.push_back(std::move(call));
    }
    return r;
}

std::vector<std::optional<std::string>> FilterParams(const RunFilter& filter) {
    std::vector<std::optional<std::string>> params;
    params.push_back(filter.since ? Number(*filter.since) : std::nullopt);
    params.push_back(filter.until ? Number(*filter.until) : std::nullopt);
    params.push_back(filter.serial);
    params.push_back(filter.station);
    params.push_back(filter.outcome ? std::optional<std::string>(RunOutcomeKey(*filter.outcome))
                                    : std::nullopt);
    return params;
}

}  // namespace

void PgResultsStore::ResultFree::operator()(pg_result* result) const {
    PQclear(result);
}

std::unique_ptr<PgResultsStore> PgResultsStore::Connect(const std::string& url, std::string* error,
                                                        std::chrono::milliseconds callBound) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr)
            *error = why;
        return nullptr;
    };
    char* parseError = nullptr;
    PQconninfoOption* options = PQconninfoParse(url.c_str(), &parseError);
    if (options == nullptr) {
        std::string why =
            "the shared database's address is not a PostgreSQL URL "
            "(postgresql://user@host:port/database)";
        // libpq quotes the part it could not read, which may be a password.
        if (parseError != nullptr && url.find('@') == std::string::npos &&
            url.find("password") == std::string::npos) {
            why += ": " + OneLine(parseError);
        }
        PQfreemem(parseError);
        return fail(why);
    }
    std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> optionsGuard(options,
                                                                              PQconninfoFree);

    std::vector<std::string> secrets;
    if (const char* env = std::getenv("PGPASSWORD"); env != nullptr && *env != '\0')
        secrets.emplace_back(env);
    std::vector<const char*> keywords, values;
    std::string_view host, port, dbname, user;
    std::chrono::seconds connectTimeout = kDefaultConnectTimeout;
    bool hasTimeout = false;
    for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (o->val == nullptr)
            continue;
        const std::string_view keyword = o->keyword;
        if (keyword == "client_encoding")
            continue;  // the store sends UTF-8
        if (keyword == "password" && *o->val != '\0')
            secrets.emplace_back(o->val);
        if (keyword == "host")
            host = o->val;
        if (keyword == "port")
            port = o->val;
        if (keyword == "dbname")
            dbname = o->val;
        if (keyword == "user")
            user = o->val;
        if (keyword == "connect_timeout") {
            hasTimeout = true;
            int seconds = 0;
            if (ParseNumber(std::string_view(o->val), &seconds) && seconds > 0)
                connectTimeout = std::chrono::seconds(seconds);
        }
        keywords.push_back(o->keyword);
        values.push_back(o->val);
    }
    const std::string defaultTimeout = std::to_string(kDefaultConnectTimeout.count());
    if (!hasTimeout) {
        keywords.push_back("connect_timeout");
        values.push_back(defaultTimeout.c_str());
    }
    keywords.push_back("client_encoding");
    values.push_back("UTF8");
    keywords.push_back("fallback_application_name");
    values.push_back("quillon");
    keywords.push_back(nullptr);
    values.push_back(nullptr);

    const Clock::time_point deadline = Clock::now() + connectTimeout;
    PGconn* conn = PQconnectStartParams(keywords.data(), values.data(), 0);
    if (conn == nullptr)
        return fail("cannot connect to " + Describe(host, port, dbname, user) + ": out of memory");
    // As libpq has it, with the service file's and the environment's defaults.
    std::string where = DescribeConnection(conn);
    // Notices ("relation already exists, skipping") would go to stderr.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    auto abandon = [&](const std::string& why) {
        if (const char* used = PQpass(conn); used != nullptr && *used != '\0')
            secrets.emplace_back(used);
        PQfinish(conn);
        return fail(Scrubbed(why, secrets));
    };
    PostgresPollingStatusType state =
        PQstatus(conn) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK) {
        if (state == PGRES_POLLING_FAILED)
            return abandon("cannot connect to " + where + ": " + OneLine(PQerrorMessage(conn)));
        const int ready =
            WaitFor(PQsocket(conn), state == PGRES_POLLING_READING ? POLLIN : POLLOUT, deadline);
        if (ready == 0) {
            return abandon("cannot connect to " + where + ": no answer within " +
                           std::to_string(connectTimeout.count()) + " s");
        }
        if (ready < 0)
            return abandon("cannot connect to " + where + ": " + std::strerror(errno));
        state = PQconnectPoll(conn);
    }
    if (const char* used = PQpass(conn); used != nullptr && *used != '\0')
        secrets.emplace_back(used);
    if (PQsetnonblocking(conn, 1) != 0)
        return abandon("cannot connect to " + where + ": " + OneLine(PQerrorMessage(conn)));
    where = DescribeConnection(conn);

    std::unique_ptr<PgResultsStore> store(
        new PgResultsStore(conn, std::move(where), std::move(secrets), callBound));
    // The server gives up on a statement by itself too, so that it does not work on
    // for a client that has gone.
    const Result set = store->Exec("SELECT set_config('statement_timeout', $1, false)",
                                   {std::to_string(callBound.count())}, store->CallDeadline());
    if (!set || !store->Migrate())
        return fail(store->LastError());
    return store;
}

PgResultsStore::PgResultsStore(pg_conn* conn, std::string where, std::vector<std::string> secrets,
                               std::chrono::milliseconds callBound)
    : m_conn(conn),
      m_where(std::move(where)),
      m_secrets(std::move(secrets)),
      m_callBound(callBound) {}

PgResultsStore::~PgResultsStore() {
    Drop();
}

PgResultsStore::Deadline PgResultsStore::CallDeadline() const {
    return Clock::now() + m_callBound;
}

std::string PgResultsStore::Scrub(std::string text) const {
    return Scrubbed(std::move(text), m_secrets);
}

void PgResultsStore::Fail(std::string what) {
    m_error = Scrub(std::move(what));
}

void PgResultsStore::Lost(const std::string& what) {
    const std::string why = m_conn != nullptr ? OneLine(PQerrorMessage(m_conn)) : std::string();
    Fail(m_where + ": " + what + (why.empty() ? "" : ": " + why));
    Drop();
}

void PgResultsStore::Drop() {
    if (m_conn != nullptr) {
        PQfinish(m_conn);
        m_conn = nullptr;
    }
}

void PgResultsStore::CancelAndDrop() {
    // PQcancel waits for the server to close the request's connection, which a hung
    // server never does: it gets a moment on a thread of its own, then is left to it.
    if (PGcancel* cancel = PQgetCancel(m_conn); cancel != nullptr) {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> cancelled = done->get_future();
        try {
            std::thread([cancel, done] {
                char ignored[256];
                PQcancel(cancel, ignored, sizeof ignored);
                PQfreeCancel(cancel);
                done->set_value();
            }).detach();
            cancelled.wait_for(kCancelBound);
        } catch (const std::system_error&) {
            PQfreeCancel(cancel);
        }
    }
    Drop();
}

PgResultsStore::Result PgResultsStore::Exec(const char* sql, const Params& params,
                                            Deadline deadline) {
    if (m_conn == nullptr) {
        Fail("the connection to " + m_where + " is closed; connect again");
        return {};
    }
    std::vector<const char*> values;
    for (const std::optional<std::string>& p : params)
        values.push_back(p ? p->c_str() : nullptr);
    if (PQsendQueryParams(m_conn, sql, static_cast<int>(values.size()), nullptr, values.data(),
                          nullptr, nullptr, 0) == 0) {
        Lost("cannot send");
        return {};
    }
    auto timedOut = [&] {
        Fail(m_where + ": no answer within " +
             std::to_string(std::chrono::ceil<std::chrono::seconds>(m_callBound).count()) +
             " s; the statement was cancelled and the connection closed");
        CancelAndDrop();
        return Result();
    };
    for (;;) {
        const int flushed = PQflush(m_conn);
        if (flushed == 0)
            break;
        if (flushed < 0) {
            Lost("cannot send");
            return {};
        }
        const int ready = WaitFor(PQsocket(m_conn), POLLIN | POLLOUT, deadline);
        if (ready == 0)
            return timedOut();
        if (ready < 0 || ((ready & POLLIN) != 0 && PQconsumeInput(m_conn) == 0)) {
            Lost("cannot send");
            return {};
        }
    }
    Result result;
    for (;;) {
        while (PQisBusy(m_conn) != 0) {
            const int ready = WaitFor(PQsocket(m_conn), POLLIN, deadline);
            if (ready == 0)
                return timedOut();
            if (ready < 0 || PQconsumeInput(m_conn) == 0) {
                Lost("connection lost");
                return {};
            }
        }
        Result next(PQgetResult(m_conn));
        if (!next)
            break;
        // An error is kept over whatever follows it.
        if (!result || (Failed(next.get()) && !Failed(result.get())))
            result = std::move(next);
    }
    if (!result) {
        Lost("no answer");
        return {};
    }
    if (Failed(result.get())) {
        std::string why;
        if (const char* primary = PQresultErrorField(result.get(), PG_DIAG_MESSAGE_PRIMARY))
            why = primary;
        else
            why = OneLine(PQresultErrorMessage(result.get()));
        if (const char* detail = PQresultErrorField(result.get(), PG_DIAG_MESSAGE_DETAIL))
            why += std::string(" (") + detail + ")";
        if (why.empty())
            why = OneLine(PQerrorMessage(m_conn));
        Fail(m_where + ": " + OneLine(why));
        if (PQstatus(m_conn) == CONNECTION_BAD)
            Drop();
        return {};
    }
    return result;
}

bool PgResultsStore::Exec(const char* sql, Deadline deadline) {
    return static_cast<bool>(Exec(sql, {}, deadline));
}

bool PgResultsStore::Rollback() {
    if (m_conn == nullptr)
        return false;
    const std::string error = m_error;
    const bool done = Exec("ROLLBACK", Clock::now() + kRollbackBound);
    m_error = error;
    return done;
}

bool PgResultsStore::Migrate() {
    const Deadline deadline = CallDeadline();
    if (!Exec("BEGIN", deadline))
        return false;
    Result current;
    if (!Exec("SELECT pg_advisory_xact_lock($1::BIGINT)", {kSchemaLockKey}, deadline) ||
        !Exec("CREATE TABLE IF NOT EXISTS schema_version ("
              " version INT PRIMARY KEY, applied_us BIGINT NOT NULL)",
              deadline) ||
        !(current = Exec("SELECT coalesce(max(version), 0) FROM schema_version", {}, deadline))) {
        Rollback();
        return false;
    }
    int version = 0;
    ParseNumber(std::string_view(PQgetvalue(current.get(), 0, 0)), &version);
    if (version > kSchemaVersion) {
        Rollback();
        Fail(m_where + " holds results of schema version " + std::to_string(version) +
             ", newer than this program's " + std::to_string(kSchemaVersion) +
             ": update quillon on this station");
        return false;
    }
    for (const Migration& migration : Migrations()) {
        if (migration.version <= version)
            continue;
        for (const char* statement : migration.statements) {
            if (!Exec(statement, deadline)) {
                Rollback();
                return false;
            }
        }
        if (!Exec("INSERT INTO schema_version (version, applied_us) VALUES ($1, $2)",
                  {std::to_string(migration.version), Number(UtcNow())}, deadline)) {
            Rollback();
            return false;
        }
    }
    return Exec("COMMIT", deadline);
}

bool PgResultsStore::Begin(const RunRecord& record) {
    if (const std::optional<std::string> problem = TextProblem(record)) {
        Fail(*problem);
        return false;
    }
    return static_cast<bool>(Exec(kBegin,
                                  {record.id, record.station, record.operatorId, record.labelSerial,
                                   record.tokenSerial, UnitSerial(record), Number(record.started),
                                   record.version, Number(::getpid()), HostName()},
                                  CallDeadline()));
}

bool PgResultsStore::InsertChildren(const RunRecord& record, Deadline deadline) {
    const std::array statements{kInsertReceivers, kInsertSteps, kInsertKeys, kInsertServiceCalls};
    for (std::size_t which = 0; which < statements.size(); ++which) {
        const json rows = ChildrenJson(record, which);
        if (rows.empty())
            continue;
        if (!Exec(statements[which], {record.id, rows.dump()}, deadline))
            return false;
    }
    return true;
}

bool PgResultsStore::Finish(RunRecord& record) {
    if (const std::optional<std::string> problem = TextProblem(record)) {
        Fail(*problem);
        return false;
    }
    if (record.outcome == RunOutcome::Started) {
        Fail("a run is finished with its outcome (PASS, FAIL, ERROR or ABORTED), not STARTED");
        return false;
    }
    const Deadline deadline = CallDeadline();
    if (!Exec("BEGIN", deadline))
        return false;
    const Result run =
        Exec(kFinish,
             {record.id, record.station, record.operatorId, record.labelSerial, record.tokenSerial,
              UnitSerial(record), Number(record.started), Number(record.ended), record.version,
              std::string(RunOutcomeKey(record.outcome)), record.failedStep, record.why,
              Number(record.exitStatus),
              record.decodeResult ? Number(*record.decodeResult) : std::nullopt, record.calibration,
              json(record.passwords).dump(), Number(::getpid()), HostName()},
             deadline);
    if (!run) {
        Rollback();
        return false;
    }
    if (PQntuples(run.get()) == 0) {
        // Finished here before (a record delivered again): kept as it was.
        const Result stored = Exec(kStoredRetest, {record.id}, deadline);
        if (stored && PQntuples(stored.get()) == 1)
            ParseNumber(std::string_view(PQgetvalue(stored.get(), 0, 0)), &record.retest);
        Rollback();
        return static_cast<bool>(stored);
    }
    int retest = 0;
    ParseNumber(std::string_view(PQgetvalue(run.get(), 0, 0)), &retest);
    if (!InsertChildren(record, deadline) || !Exec("COMMIT", deadline)) {
        Rollback();
        return false;
    }
    record.retest = retest;
    return true;
}

bool PgResultsStore::Query(const RunFilter& filter,
                           const std::function<bool(const RunRecord&)>& each) {
    // A cursor, so that a long history streams in pieces rather than all at once.
    if (!Exec("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", CallDeadline()))
        return false;
    if (!Exec(kDeclareQuery, FilterParams(filter), CallDeadline())) {
        Rollback();
        return false;
    }
    for (;;) {
        const Result rows = Exec(kFetch, {}, CallDeadline());
        if (!rows) {
            Rollback();
            return false;
        }
        const int count = PQntuples(rows.get());
        for (int row = 0; row < count; ++row) {
            RunRecord record;
            try {
                record = ReadRun(rows.get(), row);
            } catch (const std::exception& e) {
                Fail(m_where + ": run " + std::string(PQgetvalue(rows.get(), row, 0)) +
                     " cannot be read: " + e.what());
                Rollback();
                return false;
            }
            bool more;
            try {
                more = each(record);
            } catch (...) {
                Rollback();  // the next call finds no transaction of this one
                throw;
            }
            if (!more)
                return Exec("COMMIT", CallDeadline());
        }
        if (count == 0)
            return Exec("COMMIT", CallDeadline());
    }
}

std::optional<ResultsSummary> PgResultsStore::Summarize(const RunFilter& filter) {
    const Result rows = Exec(kSummarize, FilterParams(filter), CallDeadline());
    if (!rows)
        return std::nullopt;
    ResultsSummary summary;
    for (int row = 0; row < PQntuples(rows.get()); ++row) {
        const std::string_view what = PQgetvalue(rows.get(), row, 0);
        const std::string name = PQgetvalue(rows.get(), row, 1);
        std::int64_t n = 0;
        ParseNumber(std::string_view(PQgetvalue(rows.get(), row, 2)), &n);
        if (what == "runs")
            summary.runs = n;
        else if (what == "units")
            summary.units = n;
        else if (what == "first_pass")
            summary.firstPassUnits = n;
        else if (what == "retests")
            summary.retests = n;
        else if (what == "outcome")
            summary.byOutcome[name] = n;
        else if (what == "step")
            summary.failuresByStep[name] = n;
        else if (what == "key")
            summary.failuresByKey[name] = n;
    }
    summary.firstPassYield = summary.units > 0 ? static_cast<double>(summary.firstPassUnits) /
                                                     static_cast<double>(summary.units)
                                               : 0.0;
    return summary;
}
