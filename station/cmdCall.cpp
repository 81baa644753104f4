// gwtest call HOST CODE and gwtest plan MODEL: one request, one plan listing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands.h"
#include "plans.h"
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

void addCallCommands(CLI::App &app, int &status)
{
    auto *callCmd = app.add_subcommand("call", "send one request to a gateway and print its reply");
    static std::string target;
    static std::string code;
    static int timeoutSec = 90;
    callCmd->add_option("HOST", target, "the gateway: HOST or HOST:PORT")->required();
    callCmd->add_option("CODE", code, "the command code: 0x0005 or decimal")->required();
    callCmd->add_option("--timeout", timeoutSec, "seconds to wait for the reply")->check(CLI::Range(1, 3600));
    callCmd->callback([&status] { status = call(target, code, timeoutSec); });

    auto *planCmd = app.add_subcommand("plan", "list a model's test plan");
    static std::string model;
    planCmd->add_option("MODEL", model, "GWM0101, GWM0202, GWM0303 or GWM0404")->required();
    planCmd->callback([&status] { status = plan(model); });
}

} // namespace station::cli
