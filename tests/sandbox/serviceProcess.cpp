#include "serviceProcess.h"

#include <chrono>
#include <csignal>
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

} // namespace

ServiceProcess::~ServiceProcess() { stop(); }

bool ServiceProcess::start(const std::string &binary, const std::vector<std::string> &args, Stdio stdio)
{
    static int serial = 0;
    mkdirs(scratchDir());
    const std::string base = scratchDir() + "/service-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    outPath_ = base + ".out";
    errPath_ = base + ".err";

    std::vector<std::string> argvStore{binary};
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
        // Nothing else of the test's reaches the service.
        for (const int fd : {in, out, err, stdio.in, stdio.out}) {
            if (fd > 2) {
                close(fd);
            }
        }
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    return true;
}

bool ServiceProcess::startListening(int timeoutMs)
{
    return start() && waitForOut("Server Socket created.", timeoutMs);
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
                pid_ = -1;
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
        pid_ = -1;
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
    if (!waitExit(2000)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
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
