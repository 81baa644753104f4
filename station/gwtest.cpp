// gwtest: the test station's client of a gateway's test service.
//
//   gwtest call HOST[:PORT] CODE [--timeout SECONDS]
//
// Sends one request and prints the reply. Exit status: 0 pass, 1 fail,
// 2 no reply in time, 3 connection error, 64 usage error.
#include <cstdio>
#include <cstdlib>
#include <string>

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
                         "  CODE is hexadecimal with 0x (0x0005) or decimal.\n"
                         "  exit status: 0 pass, 1 fail, 2 no reply in time, 3 connection error\n");
    return kExitUsage;
}

int call(const std::string &target, const std::string &codeText, int timeoutSec)
{
    std::string host;
    uint16_t port = 0;
    if (!station::parseHostPort(target, host, port)) {
        std::fprintf(stderr, "gwtest: bad address '%s' (want HOST or HOST:PORT)\n", target.c_str());
        return kExitUsage;
    }
    const auto code = station::parseCode(codeText);
    if (!code) {
        std::fprintf(stderr, "gwtest: bad command code '%s' (want 0x0000..0xffff)\n", codeText.c_str());
        return kExitUsage;
    }

    station::Connection conn;
    std::string error;
    if (!conn.open(host, port, kConnectTimeoutMs, error)) {
        std::fprintf(stderr, "gwtest: %s:%u: %s\n", host.c_str(), port, error.c_str());
        return kExitConnection;
    }
    if (!conn.sendRequest(*code)) {
        std::fprintf(stderr, "gwtest: %s:%u: sending the request failed\n", host.c_str(), port);
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
    if (argc < 2 || std::string(argv[1]) != "call") {
        return usage();
    }
    std::string target;
    std::string code;
    int timeoutSec = kDefaultTimeoutSec;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--timeout" && i + 1 < argc) {
            char *end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || value <= 0 || value > 3600) {
                std::fprintf(stderr, "gwtest: bad time-out '%s'\n", argv[i]);
                return kExitUsage;
            }
            timeoutSec = static_cast<int>(value);
        } else if (target.empty()) {
            target = arg;
        } else if (code.empty()) {
            code = arg;
        } else {
            return usage();
        }
    }
    if (target.empty() || code.empty()) {
        return usage();
    }
    return call(target, code, timeoutSec);
}
