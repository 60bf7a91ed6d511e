#include "tests/support/pg_server.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "tests/support/child_process.h"

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::seconds kProgramBound{90};

bool Executable(const fs::path& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

// pg_config's, else the newest of Debian's /usr/lib/postgresql/<version>/bin.
std::string ServerBinDir() {
    if (FILE* pipe = ::popen("pg_config --bindir 2>/dev/null", "r")) {
        char line[4096] = {};
        const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
        ::pclose(pipe);
        std::string dir = read ? line : "";
        while (!dir.empty() && (dir.back() == '\n' || dir.back() == ' '))
            dir.pop_back();
        if (!dir.empty() && Executable(fs::path(dir) / "initdb") &&
            Executable(fs::path(dir) / "pg_ctl")) {
            return dir;
        }
    }
    std::string best;
    int bestVersion = -1;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const fs::path bin = entry.path() / "bin";
        const int version = std::atoi(entry.path().filename().c_str());
        if (version > bestVersion && Executable(bin / "initdb") && Executable(bin / "pg_ctl")) {
            bestVersion = version;
            best = bin;
        }
    }
    return best;
}

std::string RunUser() {
    for (const char* path : {"/usr/sbin/runuser", "/sbin/runuser", "/usr/bin/runuser"}) {
        if (Executable(path))
            return path;
    }
    return {};
}

std::string RandomHex(std::size_t n) {
    std::random_device random;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < n; ++i)
        text += kHex[random() % 16];
    return text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct ConnFree {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};

}  // namespace

PgServer::PgServer() : m_bin(ServerBinDir()), m_asRoot(::geteuid() == 0) {
    if (m_bin.empty()) {
        m_setupError =
            "no PostgreSQL server programs (pg_config --bindir, /usr/lib/postgresql/*/bin): "
            "install postgresql (scripts/bootstrap)";
        return;
    }
    // A socket's path has room for about 100 bytes; the postgres user must reach it.
    std::error_code ec;
    fs::path base = m_asRoot ? fs::path("/tmp") : fs::temp_directory_path(ec);
    if (ec || base.string().size() > 60)
        base = "/tmp";
    std::string pattern = (base / "quillon-pg-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        m_setupError = "cannot make a directory in " + base.string();
        return;
    }
    m_dir = pattern;
    m_dataDir = m_dir + "/data";
    m_socketDir = m_dir + "/socket";
    m_logFile = m_dir + "/server.log";
    m_passFile = m_dir + "/pgpass";
    fs::create_directory(m_socketDir, ec);
    if (m_asRoot) {
        const passwd* postgres = ::getpwnam("postgres");
        if (postgres == nullptr || RunUser().empty()) {
            m_setupError =
                "PostgreSQL does not run as root, and there is no postgres user (Debian's "
                "postgresql package makes it) or no runuser";
            return;
        }
        for (const std::string& dir : {m_dir, m_socketDir}) {
            if (::chown(dir.c_str(), postgres->pw_uid, postgres->pw_gid) != 0) {
                m_setupError = "cannot give " + dir + " to the postgres user";
                return;
            }
        }
    }
    // The socket is in a directory of this server's own, so any number is free; one
    // per process keeps the logs of parallel tests apart.
    static std::atomic<int> counter{0};
    m_port = 20000 + static_cast<int>((static_cast<unsigned>(::getpid()) * 7U +
                                       static_cast<unsigned>(counter++)) %
                                      40000U);
    // Characters that must survive libpq's password file and SCRAM, and that are easy
    // to find in a message.
    m_password = "Pw-" + RandomHex(20) + "-x!";
}

PgServer::~PgServer() {
    if (m_running) {
        std::string ignored;
        Stop(&ignored);
    }
    if (!m_dir.empty()) {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
}

bool PgServer::Run(const std::string& program, const std::vector<std::string>& args,
                   std::string* output, std::string* error) const {
    std::vector<std::string> argv;
    if (m_asRoot)
        argv = {RunUser(), "-u", "postgres", "--"};
    argv.push_back(m_bin + "/" + program);
    argv.insert(argv.end(), args.begin(), args.end());
    try {
        // In the cluster's directory: the postgres user may not reach ours.
        ChildProcess child(argv, {"LC_ALL=C"}, m_dir);
        const int status = child.Exit(kProgramBound);
        *output = child.Out().Text() + child.Err().Text();
        if (status != 0) {
            *error = program + " failed (" +
                     (status < 0 ? std::string("did not end in time")
                                 : "exit status " + std::to_string(status)) +
                     "):\n" + *output;
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        *error = e.what();
        return false;
    }
}

bool PgServer::Initialize(std::string* error) {
    std::string output;
    if (!Run("initdb",
             {"-D", m_dataDir, "-U", "postgres", "-A", "trust", "-E", "UTF8", "--no-locale", "-N",
              "--no-instructions"},
             &output, error)) {
        return false;
    }
    // The station's role logs in with its password, everyone else is trusted; written
    // over initdb's file, which keeps the file's owner.
    std::ofstream hba(m_dataDir + "/pg_hba.conf", std::ios::trunc);
    hba << "local all station scram-sha-256\nlocal all all trust\n";
    hba.close();
    if (!hba) {
        *error = "cannot write " + m_dataDir + "/pg_hba.conf";
        return false;
    }
    // libpq ignores a password file that others may read.
    {
        std::ofstream pass(m_passFile, std::ios::trunc);
        pass << "*:*:*:station:" << m_password << "\n";
    }
    if (::chmod(m_passFile.c_str(), 0600) != 0) {
        *error = "cannot make " + m_passFile + " private";
        return false;
    }
    return true;
}

bool PgServer::Start(std::string* error) {
    if (!m_setupError.empty()) {
        *error = m_setupError;
        return false;
    }
    const bool first = !m_initialized;
    if (first) {
        if (!Initialize(error))
            return false;
        m_initialized = true;
    }
    const std::string options = "-k " + m_socketDir + " -c listen_addresses='' -p " +
                                std::to_string(m_port) +
                                " -c fsync=off -c max_connections=40 -c shared_buffers=16MB";
    std::string output;
    if (!Run("pg_ctl", {"start", "-w", "-t", "60", "-D", m_dataDir, "-l", m_logFile, "-o", options},
             &output, error)) {
        *error += "\n--- server log ---\n" + Log();
        return false;
    }
    m_running = true;
    if (first) {
        std::unique_ptr<PGconn, ConnFree> conn(PQconnectdb(AdminUrl("postgres").c_str()));
        if (PQstatus(conn.get()) != CONNECTION_OK) {
            *error = std::string("cannot log in as the superuser: ") + PQerrorMessage(conn.get()) +
                     "\n--- server log ---\n" + Log();
            return false;
        }
        char* literal = PQescapeLiteral(conn.get(), m_password.c_str(), m_password.size());
        const std::string createRole =
            std::string("CREATE ROLE station LOGIN PASSWORD ") + (literal ? literal : "''");
        PQfreemem(literal);
        for (const std::string& sql :
             {createRole, std::string("CREATE DATABASE quillon OWNER station")}) {
            PGresult* result = PQexec(conn.get(), sql.c_str());
            const bool done = PQresultStatus(result) == PGRES_COMMAND_OK;
            const std::string why = PQresultErrorMessage(result);
            PQclear(result);
            if (!done) {
                *error = "setting up the server failed: " + why;
                return false;
            }
        }
    }
    return true;
}

bool PgServer::Stop(std::string* error) {
    std::string output;
    if (!Run("pg_ctl", {"stop", "-w", "-t", "60", "-m", "fast", "-D", m_dataDir}, &output, error)) {
        *error += "\n--- server log ---\n" + Log();
        return false;
    }
    m_running = false;
    return true;
}

std::string PgServer::Url(const std::string& dbname, const std::string& user) const {
    return "postgresql:///" + dbname + "?host=" + m_socketDir + "&port=" + std::to_string(m_port) +
           "&user=" + user;
}

std::string PgServer::StationUrl() const {
    return Url("quillon", "station");
}

std::string PgServer::AdminUrl(const std::string& dbname) const {
    return Url(dbname, "postgres") + "&connect_timeout=10";
}

std::string PgServer::Log() const {
    return ReadFile(m_logFile);
}

bool PgServer::Scalar(const std::string& sql, std::string* value, std::string* error,
                      const std::string& dbname) const {
    std::unique_ptr<PGconn, ConnFree> conn(PQconnectdb(AdminUrl(dbname).c_str()));
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        *error = PQerrorMessage(conn.get());
        return false;
    }
    PGresult* result = PQexec(conn.get(), sql.c_str());
    const bool done = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0;
    if (done)
        *value = PQgetvalue(result, 0, 0);
    else
        *error = std::string(PQresultErrorMessage(result)) + " (" + sql + ")";
    PQclear(result);
    return done;
}

bool PgServer::CreateDatabase(const std::string& dbname, std::string* error) const {
    std::unique_ptr<PGconn, ConnFree> conn(PQconnectdb(AdminUrl("postgres").c_str()));
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        *error = PQerrorMessage(conn.get());
        return false;
    }
    char* name = PQescapeIdentifier(conn.get(), dbname.c_str(), dbname.size());
    const std::string sql = std::string("CREATE DATABASE ") + (name ? name : "") + " OWNER station";
    PQfreemem(name);
    PGresult* result = PQexec(conn.get(), sql.c_str());
    const bool done = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!done)
        *error = PQresultErrorMessage(result);
    PQclear(result);
    return done;
}
