#include "pgCluster.h"

#include <libpq-fe.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

namespace {

// The socket name libpq looks for in a host directory (port 5432).
constexpr const char *kSocketName = "/.s.PGSQL.5432";

bool readAll(int fd, void *buf, size_t size)
{
    auto *p = static_cast<char *>(buf);
    while (size > 0) {
        const ssize_t n = read(fd, p, size);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        size -= size_t(n);
    }
    return true;
}

uint32_t bigEndian(const unsigned char *p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

// Reads the client's startup packet, declining SSL and GSS encryption as a
// server without them does. False when the client gave up.
bool readStartup(int fd)
{
    for (int i = 0; i < 3; ++i) {
        unsigned char head[8];
        if (!readAll(fd, head, sizeof head)) {
            return false;
        }
        const uint32_t length = bigEndian(head);
        const uint32_t code = bigEndian(head + 4);
        if (length < 8 || length > 10000) {
            return false;
        }
        std::vector<char> rest(length - 8);
        if (!readAll(fd, rest.data(), rest.size())) {
            return false;
        }
        if (code != 80877103 && code != 80877104) { // not an SSLRequest nor a GSSENCRequest
            return true;
        }
        if (write(fd, "N", 1) != 1) {
            return false;
        }
    }
    return false;
}

// The ErrorResponse of a server that is starting up, byte for byte.
std::string startingUpAnswer()
{
    std::string fields;
    for (const auto &[type, value] : {std::pair<char, const char *>{'S', "FATAL"},
                                      {'V', "FATAL"},
                                      {'C', "57P03"},
                                      {'M', "the database system is starting up"},
                                      {'F', "postmaster.c"},
                                      {'L', "2400"},
                                      {'R', "ProcessStartupPacket"}}) {
        fields += type;
        fields += value;
        fields += '\0';
    }
    fields += '\0';
    const uint32_t length = uint32_t(fields.size() + 4);
    std::string message = "E";
    for (int shift = 24; shift >= 0; shift -= 8) {
        message += char((length >> shift) & 0xff);
    }
    return message + fields;
}

} // namespace

PgFrontDoor::PgFrontDoor(const PgCluster &cluster) : cluster_(cluster)
{
    char templ[] = "/tmp/gwtest-pgdoor-XXXXXX";
    if (!mkdtemp(templ)) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    dir_ = templ;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s%s", dir_.c_str(), kSocketName);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0 ||
        pipe2(wake_, O_CLOEXEC) != 0) {
        error_ = std::string("the door's socket: ") + std::strerror(errno);
        if (fd >= 0) {
            close(fd);
        }
        return;
    }
    listener_ = fd;
    thread_ = std::thread([this] { serve(); });
}

PgFrontDoor::~PgFrontDoor()
{
    if (thread_.joinable()) {
        if (write(wake_[1], "x", 1) != 1) {
            // The thread then ends at its next connection; nothing better to do.
        }
        thread_.join();
    }
    cut();
    for (int fd : {listener_, wake_[0], wake_[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

std::string PgFrontDoor::url(const std::string &database) const
{
    std::string u = cluster_.url(database);
    const std::string host = "host=" + cluster_.socketDir();
    return u.replace(u.find(host), host.size(), "host=" + dir_);
}

void PgFrontDoor::answer(Answer always, std::vector<Answer> first)
{
    std::lock_guard lock(mu_);
    always_ = always;
    next_.assign(first.begin(), first.end());
}

int PgFrontDoor::answered(Answer answer) const
{
    std::lock_guard lock(mu_);
    return counts_[int(answer)];
}

void PgFrontDoor::cut()
{
    std::vector<std::thread> relays;
    {
        std::lock_guard lock(mu_);
        for (int fd : relayed_) {
            shutdown(fd, SHUT_RDWR); // the relay sees the end, closes both and ends
        }
        relayed_.clear();
        relays.swap(relays_);
    }
    for (auto &t : relays) {
        t.join();
    }
}

void PgFrontDoor::serve()
{
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents) {
            return;
        }
        const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            handle(client);
        }
    }
}

void PgFrontDoor::handle(int client)
{
    Answer answer;
    {
        std::lock_guard lock(mu_);
        answer = next_.empty() ? always_ : next_.front();
        if (!next_.empty()) {
            next_.pop_front();
        }
        ++counts_[int(answer)];
    }
    if (answer == Answer::kGone) {
        close(client);
        return;
    }
    if (answer == Answer::kStartingUp) {
        timeval wait{5, 0};
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        if (readStartup(client)) {
            const std::string reply = startingUpAnswer();
            if (send(client, reply.data(), reply.size(), MSG_NOSIGNAL) != ssize_t(reply.size())) {
                // The client went away first: it learns nothing either way.
            }
        }
        close(client);
        return;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s%s", cluster_.socketDir().c_str(), kSocketName);
    const int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0 || connect(server, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (server >= 0) {
            close(server);
        }
        close(client);
        return;
    }
    std::lock_guard lock(mu_);
    relayed_.insert(relayed_.end(), {client, server});
    relays_.emplace_back([this, client, server] { relay(client, server); });
}

void PgFrontDoor::relay(int client, int server)
{
    char buf[16384];
    for (bool open = true; open;) {
        pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            open = errno == EINTR;
            continue;
        }
        for (int i = 0; i < 2 && open; ++i) {
            if (!fds[i].revents) {
                continue;
            }
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            open = n > 0 && send(fds[1 - i].fd, buf, size_t(n), MSG_NOSIGNAL) == n;
        }
    }
    std::lock_guard lock(mu_);
    std::erase(relayed_, client);
    std::erase(relayed_, server);
    close(client);
    close(server);
}

} // namespace sandbox
