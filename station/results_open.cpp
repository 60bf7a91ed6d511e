#include "station/results_open.h"

#include "station/results_store_pg.h"
#include "station/results_store_sqlite.h"
#include "station/spooling_store.h"

namespace {

bool IsPostgresUrl(const std::string& url) {
    return url.starts_with("postgresql://") || url.starts_with("postgres://");
}

// user:password@ in the authority, or a password parameter.
bool HoldsPassword(const std::string& url) {
    const std::size_t start = url.find("://") + 3;
    const std::size_t end = url.find_first_of("/?", start);
    const std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos && authority.substr(0, at).find(':') != std::string::npos)
        return true;
    const std::size_t query = url.find('?');
    if (query == std::string::npos)
        return false;
    const std::string params = "&" + url.substr(query + 1);
    return params.find("&password=") != std::string::npos;
}

}  // namespace

OpenedResults::OpenedResults() = default;
OpenedResults::~OpenedResults() {
    // The spooling store refers to the local one.
    store.reset();
}
OpenedResults::OpenedResults(OpenedResults&&) noexcept = default;
OpenedResults& OpenedResults::operator=(OpenedResults&&) noexcept = default;

OpenedResults OpenResults(const std::string& given, const std::string& configured,
                          std::string* error) {
    OpenedResults opened;
    const std::string url = given.empty() ? configured : given;
    if (!IsPostgresUrl(url)) {
        std::string path = url.starts_with("sqlite:") ? url.substr(7) : url;
        if (path.empty())
            path = DefaultResultsPath();
        if (path.empty()) {
            *error = "no place for the results store: set XDG_STATE_HOME or HOME, or give --db";
            return opened;
        }
        std::unique_ptr<SqliteResultsStore> store = SqliteResultsStore::Open(path, error);
        if (!store)
            return opened;
        opened.where = path;
        opened.store = std::move(store);
        return opened;
    }
    if (HoldsPassword(url)) {
        *error = std::string(given.empty() ? "results" : "--db") +
                 ": the URL holds a password; put it in the password file (~/.pgpass or "
                 "PGPASSFILE) or a service file instead";
        return opened;
    }
    const std::string path = DefaultResultsPath();
    if (path.empty()) {
        *error = "no place for the local results store: set XDG_STATE_HOME or HOME";
        return opened;
    }
    opened.local = SqliteResultsStore::Open(path, error);
    if (!opened.local)
        return opened;
    auto spooling = std::make_unique<SpoolingResultsStore>(
        *opened.local, *opened.local, [url](std::string* why) -> std::unique_ptr<ResultsStore> {
            return PgResultsStore::Connect(url, why);
        });
    SpoolingResultsStore* raw = spooling.get();
    // Host and database only: the URL names no password, but keep its parameters out.
    const std::size_t query = url.find('?');
    opened.where = query == std::string::npos ? url : url.substr(0, query);
    opened.flush = [raw](int* delivered, int* left, std::string* why) {
        const bool ok = raw->Flush(delivered, left);
        if (!ok && why)
            *why = raw->LastError();
        return ok;
    };
    opened.spooled = [raw](std::string* why) {
        if (why)
            *why = raw->SharedProblem();
        return raw->Spooled();
    };
    opened.store = std::move(spooling);
    return opened;
}
