#include "pgCluster.h"

#include <libpq-fe.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "asUser.h"

namespace sandbox {

namespace {

constexpr const char *kBin = "/usr/lib/postgresql/15/bin/";

// In the child: gives up root for the unprivileged user, sends standard
// output and error to the log, and runs the program.
[[noreturn]] void execAsServerUser(const std::vector<std::string> &argv, const std::string &logPath, bool dieWithParent)
{
    if (setgroups(0, nullptr) != 0 || setgid(kNobodyGid) != 0 || setuid(kNobodyUid) != 0) {
        _exit(126);
    }
    if (dieWithParent) {
        // After the change of user, which clears it: a fast shutdown when the
        // test process dies.
        prctl(PR_SET_PDEATHSIG, SIGINT);
    }
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log >= 0) {
        dup2(log, 1);
        dup2(log, 2);
    }
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, 0);
    }
    std::vector<char *> args;
    for (const auto &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

PgCluster::PgCluster(Options options) : options_(options)
{
    char templ[] = "/tmp/gwtest-pg-XXXXXX";
    if (!mkdtemp(templ)) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    dir_ = templ;
    if (chown(dir_.c_str(), kNobodyUid, kNobodyGid) != 0 || chmod(dir_.c_str(), 0700) != 0) {
        error_ = "cannot give " + dir_ + " to the server's user: " + std::strerror(errno);
        return;
    }
    std::vector<std::string> initdb = {
        std::string(kBin) + "initdb", "-D", dir_ + "/data", "-U", kSuperuser, "--no-sync", "-E", "UTF8", "--locale=C"};
    if (options_.password) {
        const std::string pwfile = dir_ + "/pw";
        std::ofstream(pwfile) << kPassword << "\n";
        if (chown(pwfile.c_str(), kNobodyUid, kNobodyGid) != 0) {
            error_ = "cannot give the password file to the server's user";
            return;
        }
        initdb.insert(initdb.end(), {"--auth=scram-sha-256", "--pwfile=" + pwfile});
    } else {
        initdb.emplace_back("--auth=trust");
    }
    if (!runAsServerUser(initdb)) {
        return;
    }
    ready_ = start();
}

PgCluster::~PgCluster()
{
    stop();
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

bool PgCluster::runAsServerUser(const std::vector<std::string> &argv)
{
    const pid_t pid = fork();
    if (pid < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        execAsServerUser(argv, dir_ + "/log", false);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error_ = argv[0] + " failed:\n" + log();
        return false;
    }
    return true;
}

bool PgCluster::start()
{
    if (pid_ > 0) {
        return true;
    }
    const std::vector<std::string> argv = {std::string(kBin) + "postgres",
                                           "-D",
                                           dir_ + "/data",
                                           "-k",
                                           dir_,
                                           "-c",
                                           "listen_addresses=",
                                           "-c",
                                           "fsync=off",
                                           "-c",
                                           "max_connections=50"};
    const pid_t pid = fork();
    if (pid < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        execAsServerUser(argv, dir_ + "/log", true);
    }
    pid_ = pid;
    return waitReady();
}

bool PgCluster::waitReady()
{
    const std::string conninfo = "host=" + dir_ + " dbname=postgres user=" + kSuperuser;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        // A server that answers at all is up (it may still refuse a password).
        if (PQping(conninfo.c_str()) == PQPING_OK) {
            return true;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "the server ended at its start:\n" + log();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error_ = "the server did not answer within 60 s:\n" + log();
    return false;
}

bool PgCluster::stop()
{
    if (pid_ <= 0) {
        return true;
    }
    kill(pid_, SIGINT); // fast shutdown: sessions end, everything committed stays
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return true;
}

std::string PgCluster::url(const std::string &database) const
{
    return options_.password ? url(database, kPassword) : url(database, "");
}

std::string PgCluster::url(const std::string &database, const std::string &password) const
{
    std::string u = std::string("postgresql://") + kSuperuser;
    if (!password.empty()) {
        u += ":" + password;
    }
    return u + "@/" + database + "?host=" + dir_;
}

std::string PgCluster::query(const std::string &database, const std::string &sql)
{
    PGconn *conn = PQconnectdb(url(database).c_str());
    std::string value;
    if (PQstatus(conn) != CONNECTION_OK) {
        error_ = PQerrorMessage(conn);
    } else {
        PGresult *res = PQexec(conn, sql.c_str());
        const auto status = PQresultStatus(res);
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
            error_ = PQresultErrorMessage(res);
        } else if (PQntuples(res) > 0) {
            value = PQgetvalue(res, 0, 0);
        }
        PQclear(res);
    }
    PQfinish(conn);
    return value;
}

bool PgCluster::exec(const std::string &database, const std::string &sql)
{
    error_.clear();
    query(database, sql);
    return error_.empty();
}

bool PgCluster::createDatabase(const std::string &name) { return exec("postgres", "CREATE DATABASE \"" + name + "\""); }

std::string PgCluster::log() const { return readFile(dir_ + "/log"); }

} // namespace sandbox
