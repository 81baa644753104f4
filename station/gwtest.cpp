// gwtest: the test station's client of a gateway's test service.
//
//   gwtest call HOST[:PORT] CODE [--timeout SECONDS]
//   gwtest run HOST[:PORT] --model MODEL [--timeout SECONDS]
//   gwtest plan MODEL
//
// call sends one request and prints the reply; run runs the whole test plan
// of a model on one connection and prints a report; plan lists a model's
// plan. Exit status: 0 pass, 1 fail, 2 no reply in time, 3 connection
// error, 64 usage error (run: the worst outcome of its tests).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "plans.h"
#include "station.h"

namespace {

constexpr int kExitPass = 0;
constexpr int kExitFail = 1;
constexpr int kExitNoReply = 2;
constexpr int kExitConnection = 3;
constexpr int kExitUsage = 64;
// The longest test of the service (a 3G SIM check with all its retries)
// runs about 75 s; the default leaves room for it.
constexpr int kDefaultTimeoutSec = 90;
constexpr int kConnectTimeoutMs = 5000;

int usage()
{
    std::fprintf(stderr, "usage: gwtest call HOST[:PORT] CODE [--timeout SECONDS]\n"
                         "       gwtest run HOST[:PORT] --model MODEL [--timeout SECONDS]\n"
                         "       gwtest plan MODEL\n"
                         "  CODE is hexadecimal with 0x (0x0005) or decimal; MODEL is GWM0101, GWM0202,\n"
                         "  GWM0303 or GWM0404; the time-out is per test.\n"
                         "  exit status: 0 pass, 1 fail, 2 no reply in time, 3 connection error\n");
    return kExitUsage;
}

bool openTarget(const std::string &target, station::Connection &conn, int &exitStatus)
{
    std::string host;
    uint16_t port = 0;
    if (!station::parseHostPort(target, host, port)) {
        std::fprintf(stderr, "gwtest: bad address '%s' (want HOST or HOST:PORT)\n", target.c_str());
        exitStatus = kExitUsage;
        return false;
    }
    std::string error;
    if (!conn.open(host, port, kConnectTimeoutMs, error)) {
        std::fprintf(stderr, "gwtest: %s:%u: %s\n", host.c_str(), port, error.c_str());
        exitStatus = kExitConnection;
        return false;
    }
    return true;
}

// The reply data as a person reads it: text where it is text, else hex.
std::string shownData(const std::vector<uint8_t> &data)
{
    if (data.empty()) {
        return "";
    }
    if (const auto text = station::dataAsText(data)) {
        return "\"" + *text + "\"";
    }
    return station::hexBytes(data);
}

int plan(const std::string &model)
{
    const auto steps = station::planFor(model);
    if (steps.empty()) {
        std::fprintf(stderr, "gwtest: no plan for model '%s'\n", model.c_str());
        return kExitUsage;
    }
    for (const auto &step : steps) {
        std::printf("0x%04x  %.*s\n", step.code, static_cast<int>(step.name.size()), step.name.data());
    }
    return kExitPass;
}

int run(const std::string &target, const std::string &model, int timeoutSec)
{
    const auto steps = station::planFor(model);
    if (steps.empty()) {
        std::fprintf(stderr, "gwtest: no plan for model '%s'\n", model.c_str());
        return kExitUsage;
    }
    station::Connection conn;
    int status = kExitPass;
    if (!openTarget(target, conn, status)) {
        return status;
    }
    std::printf("%-6s  %-28s  %-8s  %7s  %s\n", "code", "test", "result", "time", "data");
    int passed = 0;
    int failed = 0;
    int silent = 0;
    const auto started = std::chrono::steady_clock::now();
    for (const auto &step : steps) {
        const auto t0 = std::chrono::steady_clock::now();
        if (conn.closedByPeer() && !openTarget(target, conn, status)) {
            return status;
        }
        std::optional<station::Reply> reply;
        if (conn.sendRequest(step.code)) {
            reply = conn.waitReply(step.code, timeoutSec * 1000);
        }
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::string result = "no reply";
        std::string data;
        if (reply && !reply->payload.empty()) {
            result = reply->payload[0] == 0 ? "pass" : "FAIL";
            data = shownData(std::vector<uint8_t>(reply->payload.begin() + 1, reply->payload.end()));
        }
        if (result == "pass") {
            ++passed;
        } else if (result == "FAIL") {
            ++failed;
        } else {
            ++silent;
        }
        std::printf("0x%04x  %-28.*s  %-8s  %6.1fs  %s\n", step.code, static_cast<int>(step.name.size()),
                    step.name.data(), result.c_str(), secs, data.c_str());
        std::fflush(stdout);
    }
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s: %zu tests, %d pass, %d fail, %d no reply, %.0f s\n", model.c_str(), steps.size(), passed, failed,
                silent, total);
    if (silent > 0) {
        return kExitNoReply;
    }
    return failed > 0 ? kExitFail : kExitPass;
}

int call(const std::string &target, const std::string &codeText, int timeoutSec)
{
    const auto code = station::parseCode(codeText);
    if (!code) {
        std::fprintf(stderr, "gwtest: bad command code '%s' (want 0x0000..0xffff)\n", codeText.c_str());
        return kExitUsage;
    }
    station::Connection conn;
    int status = kExitPass;
    if (!openTarget(target, conn, status)) {
        return status;
    }
    if (!conn.sendRequest(*code)) {
        std::fprintf(stderr, "gwtest: %s: sending the request failed\n", target.c_str());
        return kExitConnection;
    }
    const auto reply = conn.waitReply(*code, timeoutSec * 1000);
    if (!reply) {
        if (conn.closedByPeer()) {
            std::printf("code 0x%04x: no reply (the service closed the connection)\n", *code);
        } else {
            std::printf("code 0x%04x: no reply within %d s\n", *code, timeoutSec);
        }
        return kExitNoReply;
    }
    if (reply->payload.empty()) {
        std::printf("code 0x%04x: empty reply\n", *code);
        return kExitFail;
    }
    const uint8_t result = reply->payload[0];
    const std::vector<uint8_t> data(reply->payload.begin() + 1, reply->payload.end());
    std::printf("code 0x%04x: %s (result byte 0x%02x)\n", *code, result == 0 ? "pass" : "fail", result);
    if (!data.empty()) {
        std::printf("  data (%zu bytes): %s\n", data.size(), station::hexBytes(data).c_str());
        if (const auto text = station::dataAsText(data)) {
            std::printf("  text: \"%s\"\n", text->c_str());
        }
    }
    return result == 0 ? kExitPass : kExitFail;
}

} // namespace

int main(int argc, char **argv)
{
    const std::string command = argc >= 2 ? argv[1] : "";
    if (command == "plan") {
        return argc == 3 ? plan(argv[2]) : usage();
    }
    if (command != "call" && command != "run") {
        return usage();
    }
    std::string target;
    std::string code;
    std::string model;
    int timeoutSec = kDefaultTimeoutSec;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--model" && i + 1 < argc && command == "run") {
            model = argv[++i];
        } else if (arg == "--timeout" && i + 1 < argc) {
            char *end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || value <= 0 || value > 3600) {
                std::fprintf(stderr, "gwtest: bad time-out '%s'\n", argv[i]);
                return kExitUsage;
            }
            timeoutSec = static_cast<int>(value);
        } else if (target.empty()) {
            target = arg;
        } else if (code.empty() && command == "call") {
            code = arg;
        } else {
            return usage();
        }
    }
    if (command == "run") {
        return target.empty() || model.empty() ? usage() : run(target, model, timeoutSec);
    }
    if (target.empty() || code.empty()) {
        return usage();
    }
    return call(target, code, timeoutSec);
}
