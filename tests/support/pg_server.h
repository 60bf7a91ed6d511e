#pragma once

// A real PostgreSQL server of a test's own: a fresh cluster in a temporary directory,
// reachable through a Unix socket there only, stopped and removed with the object.
// PostgreSQL does not run as root; as root the cluster belongs to the postgres user
// and its programs run through runuser.
//
// Roles: "postgres", the superuser, logs in without a password; "station" owns the
// database "quillon" and logs in with a password (SCRAM), which the tests give libpq
// through the password file PasswordFile() (PGPASSFILE).

#include <string>
#include <vector>

class PgServer {
public:
    PgServer();
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // The first Start makes the cluster and its roles. Each fails with the reason and
    // the server's log in *error.
    bool Start(std::string* error);
    bool Stop(std::string* error);

    const std::string& SocketDir() const { return m_socketDir; }
    int Port() const { return m_port; }
    const std::string& Dir() const { return m_dir; }
    // The station's password, and a libpq password file (mode 0600) that holds it.
    const std::string& Password() const { return m_password; }
    const std::string& PasswordFile() const { return m_passFile; }
    // "postgresql:///quillon?host=<socket dir>&port=<port>&user=station", no password.
    std::string StationUrl() const;
    std::string AdminUrl(const std::string& dbname = "quillon") const;
    std::string Log() const;

    // The first column of the first row of `sql`, run as the superuser on `dbname`;
    // nothing, with *error, when it fails.
    bool Scalar(const std::string& sql, std::string* value, std::string* error,
                const std::string& dbname = "quillon") const;
    // Creates database `dbname` owned by station.
    bool CreateDatabase(const std::string& dbname, std::string* error) const;

private:
    bool Run(const std::string& program, const std::vector<std::string>& args, std::string* output,
             std::string* error) const;
    bool Initialize(std::string* error);
    std::string Url(const std::string& dbname, const std::string& user) const;

    std::string m_bin;
    std::string m_dir;
    std::string m_dataDir;
    std::string m_socketDir;
    std::string m_logFile;
    std::string m_passFile;
    std::string m_password;
    int m_port = 0;
    bool m_asRoot = false;
    bool m_initialized = false;
    bool m_running = false;
    std::string m_setupError;
};
