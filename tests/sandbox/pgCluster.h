// A throwaway PostgreSQL 15 server for one test: a cluster made by initdb in
// a temporary directory, run by an unprivileged user (the tests run as root,
// and the server refuses root), reached on a Unix socket in that directory
// only (no TCP port), and removed at the end. No system-wide service is
// touched. The server is the test process's child and is told to stop if
// the test process dies, so a crashed test leaves no server behind.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
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

// A socket of its own in front of a cluster, for the moments a real server
// passes through too quickly for a test to land in them on purpose: each new
// connection is answered as the test says, as a server starting up answers
// (SQLSTATE 57P03), as a server that is gone (closed unanswered), or by
// passing it through to the cluster. A cut ends every connection passed
// through, as the server's stop does. Clients reach it with url().
class PgFrontDoor {
public:
    enum class Answer { kPassThrough, kStartingUp, kGone };

    explicit PgFrontDoor(const PgCluster &cluster);
    ~PgFrontDoor();
    PgFrontDoor(const PgFrontDoor &) = delete;
    PgFrontDoor &operator=(const PgFrontDoor &) = delete;

    bool ready() const { return listener_ >= 0; }
    const std::string &error() const { return error_; }
    // The cluster's URL for a database, on this door's socket.
    std::string url(const std::string &database) const;

    // How every new connection is answered from now on, after the next
    // ones, answered as `first` says in its order.
    void answer(Answer always, std::vector<Answer> first = {});
    // Ends every connection passed through so far, both ends.
    void cut();
    // How many connections got each answer.
    int answered(Answer answer) const;

private:
    void serve();
    void handle(int client);
    void relay(int client, int server);

    const PgCluster &cluster_;
    std::string dir_;
    std::string error_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    mutable std::mutex mu_;
    Answer always_ = Answer::kPassThrough;
    std::deque<Answer> next_;
    int counts_[3] = {0, 0, 0};
    std::vector<int> relayed_; // both ends of every connection passed through
    std::vector<std::thread> relays_;
    std::thread thread_;
};

} // namespace sandbox
