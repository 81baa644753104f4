// A throwaway PostgreSQL 15 server for one test: a cluster made by initdb in
// a temporary directory, run by an unprivileged user (the tests run as root,
// and the server refuses root), reached on a Unix socket in that directory
// only (no TCP port), and removed at the end. No system-wide service is
// touched. The server is the test process's child and is told to stop if
// the test process dies, so a crashed test leaves no server behind.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace sandbox {

class PgCluster {
public:
    struct Options {
        // Password authentication (scram-sha-256) for every connection,
        // instead of trust; the superuser's password is kPassword.
        bool password = false;
    };
    static constexpr const char *kSuperuser = "postgres";
    static constexpr const char *kPassword = "line-secret";

    PgCluster() : PgCluster(Options{}) {}
    explicit PgCluster(Options options);
    ~PgCluster();
    PgCluster(const PgCluster &) = delete;
    PgCluster &operator=(const PgCluster &) = delete;

    // False (with the server's log in error()) when initdb or the first
    // start failed.
    bool ready() const { return ready_; }
    const std::string &error() const { return error_; }

    // Fast shutdown (clients are disconnected) and a new start of the same
    // cluster, as an operator's restart of the line's server does.
    bool stop();
    bool start();
    bool running() const { return pid_ > 0; }

    // A libpq URL for a database of this cluster, on its socket; with the
    // password when the cluster wants one (or the one given).
    std::string url(const std::string &database) const;
    std::string url(const std::string &database, const std::string &password) const;
    const std::string &socketDir() const { return dir_; }

    // CREATE DATABASE as the superuser; false with why in error().
    bool createDatabase(const std::string &name);
    // Runs SQL as the superuser in a database; false with why in error().
    bool exec(const std::string &database, const std::string &sql);
    // The first column of the first row of a query, "" when none.
    std::string query(const std::string &database, const std::string &sql);

    std::string log() const;

private:
    bool runAsServerUser(const std::vector<std::string> &argv);
    bool waitReady();

    Options options_;
    std::string dir_; // the socket directory, with data/ and the log
    pid_t pid_ = -1;
    bool ready_ = false;
    mutable std::string error_;
};

} // namespace sandbox
