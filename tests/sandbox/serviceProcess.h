// The real gwtestd binary run as a child of the test, inside the test's
// sandbox, with its standard output and error in files the test reads; the
// base fixture of the tests that run it, and their requests over TCP.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "sandbox.h"
#include "wire/connection.h"

namespace sandbox {

// The child's standard input and output: the kit's own (/dev/null and a
// file the test reads), closed, or a descriptor of the test's.
inline constexpr int kStdioKit = -1;
inline constexpr int kStdioClosed = -2;
struct Stdio {
    int in = kStdioKit;
    int out = kStdioKit;
};

// With GWTEST_VALGRIND=1 in the environment, the service (GWTESTD_BIN, not
// other programs) runs under valgrind's memcheck, and each run is judged by
// its error summary when the process has ended: the service ends by a signal,
// so valgrind's own error exit status never applies.
bool underValgrind();

class ServiceProcess {
public:
    ServiceProcess() = default;
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    // Starts the program (the service by default) with the given arguments.
    bool start(const std::string &binary = GWTESTD_BIN, const std::vector<std::string> &args = {}, Stdio stdio = {});
    // Starts the service and waits until it listens; false on failure.
    bool startListening(int timeoutMs = 10000);

    std::string out() const;
    std::string err() const;
    // Waits until the text appears in standard output (or error).
    bool waitForOut(const std::string &text, int timeoutMs) const;
    bool waitForErr(const std::string &text, int timeoutMs) const;
    // Waits for the process to end by itself; its exit status, or -1 when it
    // was killed by a signal, or empty on time-out.
    std::optional<int> waitExit(int timeoutMs);
    bool running();
    // Ends the process (SIGTERM, then SIGKILL) and reaps it.
    void stop();
    pid_t pid() const { return pid_; }

private:
    void reaped();

    pid_t pid_ = -1;
    std::string vgPath_; // valgrind's log, when the service runs under it
    std::string outPath_;
    std::string errPath_;
};

// Base fixture of the tests that run the service.
class ServiceTest : public SandboxTest {
protected:
    // Starts the service and waits until it listens (a failure when not).
    void startService();
    // A service still known to the test must still run, and no sanitizer
    // may have spoken on its standard error.
    void TearDown() override;

    ServiceProcess service;
};

// Connects to the service in this sandbox (127.0.0.1:6666).
station::Connection connectService(int timeoutMs = 5000);

// Sends one request and waits for its reply's payload; empty when no reply
// came in time (or the request could not be sent).
std::optional<std::vector<uint8_t>> ask(station::Connection &conn, uint16_t code, int timeoutMs);

// The bytes of a request frame.
std::vector<uint8_t> requestFrame(uint16_t code, const std::vector<uint8_t> &payload = {});

} // namespace sandbox
