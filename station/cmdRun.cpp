// gwtest run: a model's whole plan on a gateway.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "catalogue.h"
#include "commands.h"
#include "decode.h"
#include "station.h"

namespace station::cli {

namespace {

constexpr int kConnectTimeoutMs = 5000;

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

int run(const std::string &target, const std::string &model, int timeoutSec)
{
    const auto steps = catalogue::plan(catalogue::modelBit(model));
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
    for (const catalogue::Test *row : steps) {
        const catalogue::Test &step = *row;
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
            result = reply->payload[0] == 0 ? "pass" : "fail";
            data = station::decodeData(step.decoder, std::span(reply->payload).subspan(1));
        }
        if (result == "pass") {
            ++passed;
        } else if (result == "fail") {
            ++failed;
        } else {
            ++silent;
        }
        std::printf("0x%04x  %-28.*s  %-8s  %6.1fs  %s\n", step.code, static_cast<int>(step.title.size()),
                    step.title.data(), result.c_str(), secs, data.c_str());
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

} // namespace

void addRunCommand(CLI::App &app, int &status)
{
    auto *runCmd = app.add_subcommand("run", "run a model's whole test plan on a gateway");
    static std::string target;
    static std::string model;
    static int timeoutSec = 90;
    runCmd->add_option("HOST", target, "the gateway: HOST or HOST:PORT")->required();
    runCmd->add_option("--model", model, "GWM0101, GWM0202, GWM0303 or GWM0404")->required();
    runCmd->add_option("--timeout", timeoutSec, "seconds to wait for each reply")->check(CLI::Range(1, 3600));
    runCmd->callback([&status] { status = run(target, model, timeoutSec); });
}

} // namespace station::cli
