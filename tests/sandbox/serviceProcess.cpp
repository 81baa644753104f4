// Running the service in the sandbox and talking to it.
#include "serviceProcess.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "sandbox.h"

namespace sandbox {

namespace {

using Clock = std::chrono::steady_clock;

bool pollUntil(const std::function<bool()> &done, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Valgrind makes the service start and stop many times slower.
int slowdown() { return underValgrind() ? 10 : 1; }

} // namespace

bool underValgrind()
{
    const char *flag = std::getenv("GWTEST_VALGRIND");
    return flag != nullptr && std::string(flag) == "1";
}

ServiceProcess::~ServiceProcess() { stop(); }

// Called once the process has been reaped: a memcheck run must have ended
// with its error summary, and without errors.
void ServiceProcess::reaped()
{
    pid_ = -1;
    if (vgPath_.empty()) {
        return;
    }
    const std::string log = readFile(vgPath_);
    const auto at = log.find("ERROR SUMMARY: ");
    if (at == std::string::npos) {
        ADD_FAILURE() << "valgrind left no error summary in " << vgPath_ << ":\n" << log;
    } else if (log.compare(at, 24, "ERROR SUMMARY: 0 errors ") != 0) {
        ADD_FAILURE() << "valgrind found errors in the service:\n" << log;
    }
    vgPath_.clear();
}

bool ServiceProcess::start(const std::string &binary, const std::vector<std::string> &args, Stdio stdio)
{
    static int serial = 0;
    mkdirs(scratchDir());
    const std::string base = scratchDir() + "/service-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    outPath_ = base + ".out";
    errPath_ = base + ".err";

    std::vector<std::string> argvStore{binary};
    vgPath_.clear();
    if (binary == GWTESTD_BIN && underValgrind()) {
        vgPath_ = base + ".valgrind";
        argvStore = {"/usr/bin/valgrind", "--tool=memcheck",       "--leak-check=no",
                     "--track-fds=no",    "--log-file=" + vgPath_, binary};
    }
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argvStore) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        return false;
    }
    if (pid_ == 0) {
        const int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        dup2(stdio.in >= 0 ? stdio.in : in, 0);
        dup2(stdio.out >= 0 ? stdio.out : out, 1);
        dup2(err, 2);
        if (stdio.in == kStdioClosed) {
            close(0);
        }
        if (stdio.out == kStdioClosed) {
            close(1);
        }
        // Nothing else of the test's (or of whatever started the test)
        // reaches the service: it starts with its three standard
        // descriptors, as from an init script.
        close_range(3, ~0U, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return true;
}

bool ServiceProcess::startListening(int timeoutMs)
{
    return start() && waitForOut("Server Socket created.", timeoutMs * slowdown());
}

std::string ServiceProcess::out() const { return readFile(outPath_); }
std::string ServiceProcess::err() const { return readFile(errPath_); }

bool ServiceProcess::waitForOut(const std::string &text, int timeoutMs) const
{
    return pollUntil([&] { return out().find(text) != std::string::npos; }, timeoutMs);
}

bool ServiceProcess::waitForErr(const std::string &text, int timeoutMs) const
{
    return pollUntil([&] { return err().find(text) != std::string::npos; }, timeoutMs);
}

std::optional<int> ServiceProcess::waitExit(int timeoutMs)
{
    std::optional<int> result;
    pollUntil(
        [&] {
            int status = 0;
            if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
                result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                reaped();
                return true;
            }
            return false;
        },
        timeoutMs);
    return result;
}

bool ServiceProcess::running()
{
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped();
        return false;
    }
    return true;
}

void ServiceProcess::stop()
{
    if (pid_ <= 0) {
        return;
    }
    kill(pid_, SIGTERM);
    if (!waitExit(2000 * slowdown())) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        if (!vgPath_.empty()) {
            ADD_FAILURE() << "the service under valgrind did not end on SIGTERM";
        }
        vgPath_.clear();
        pid_ = -1;
    }
}

void ServiceTest::startService() { ASSERT_TRUE(service.startListening()) << service.err(); }

void ServiceTest::TearDown()
{
    if (service.pid() > 0) {
        EXPECT_TRUE(service.running()) << "the service ended:\n" << service.err();
    }
    EXPECT_EQ(service.err().find("Sanitizer"), std::string::npos) << service.err();
}

station::Connection connectService(int timeoutMs)
{
    station::Connection conn;
    std::string error;
    EXPECT_TRUE(conn.open("127.0.0.1", 6666, timeoutMs, error)) << error;
    return conn;
}

std::optional<std::vector<uint8_t>> ask(station::Connection &conn, uint16_t code, int timeoutMs)
{
    if (!conn.sendRequest(code)) {
        return std::nullopt;
    }
    auto reply = conn.waitReply(code, timeoutMs);
    if (!reply) {
        return std::nullopt;
    }
    return reply->payload;
}

std::vector<uint8_t> requestFrame(uint16_t code, const std::vector<uint8_t> &payload)
{
    return station::encodeRequest(code, payload);
}

} // namespace sandbox
