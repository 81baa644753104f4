// The service's footprint at run time, on the native build in a sandbox:
// its resident and private memory while it serves 10,000 requests (and
// whether they grow after the first 1,000), and the CPU ticks it takes
// while it idles, without a station and with a silent one connected (59 s
// at most: at 60 s of silence the service drops it).
// Figures, not a test: run as root. script/bench runs it and prints its rows
// in the footprint table; alone it prints them as tab-separated lines
// (figure, measured, goal, verdict).
//   build/bench/bench_footprint [--idle SECONDS] [--requests N]
//   (defaults: 60 s of each idle, 10,000 requests)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "overlay.h"
#include "sandbox.h"
#include "serviceProcess.h"
#include "wire/connection.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Memory {
    long residentKiB = 0;
    long privateKiB = 0; // private clean and dirty pages
};

long fieldKiB(const std::string &path, const std::string &key)
{
    std::ifstream in(path);
    long total = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, key.size(), key) == 0) {
            total += std::strtol(line.c_str() + key.size(), nullptr, 10);
        }
    }
    return total;
}

Memory memoryOf(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    return {fieldKiB(proc + "/status", "VmRSS:"),
            fieldKiB(proc + "/smaps_rollup", "Private_Clean:") + fieldKiB(proc + "/smaps_rollup", "Private_Dirty:")};
}

// User and system time of the process, in clock ticks.
long ticksOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> f;
    for (std::string word; fields >> word;) {
        f.push_back(word);
    }
    // From the state on: utime and stime are fields 14 and 15 of the line.
    return f.size() > 12 ? std::stol(f[11]) + std::stol(f[12]) : -1;
}

bool openConnection(station::Connection &conn)
{
    std::string error;
    for (int tries = 0; tries < 500; ++tries) {
        if (conn.open("127.0.0.1", 6666, 1000, error)) {
            return true;
        }
        usleep(10000);
    }
    std::fprintf(stderr, "bench_footprint: cannot connect: %s\n", error.c_str());
    return false;
}

void row(const std::string &figure, const std::string &measured, const std::string &goal, const std::string &verdict)
{
    std::printf("%s\t%s\t%s\t%s\n", figure.c_str(), measured.c_str(), goal.c_str(), verdict.c_str());
}

std::string withCommas(long n)
{
    const std::string digits = std::to_string(n < 0 ? -n : n);
    std::string text = n < 0 ? "-" : "";
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) {
            text += ',';
        }
        text += digits[i];
    }
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    int idleSeconds = 60;
    long requests = 10000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--idle" || arg == "--requests") && i + 1 < argc) {
            const long value = std::strtol(argv[++i], nullptr, 10);
            if (arg == "--idle") {
                idleSeconds = static_cast<int>(std::min(value, 86400L));
            } else {
                requests = value;
            }
        } else {
            std::fprintf(stderr, "usage: bench_footprint [--idle SECONDS] [--requests N]\n");
            return 64;
        }
    }
    if (idleSeconds <= 0 || requests < 1000) {
        std::fprintf(stderr, "bench_footprint: --idle wants 1 s or more, --requests 1000 or more\n");
        return 64;
    }
    if (const std::string error = sandbox::enter(); !error.empty()) {
        std::fprintf(stderr, "bench_footprint: %s (run as root)\n", error.c_str());
        return 1;
    }
    sandbox::writeFile("/tmp/sysinfo/model", "GWM0202\n");
    sandbox::overlayDir("/etc");
    sandbox::writeFile("/etc/tovak_build", "VERSION=2.3.7-r1024\n");
    // The log lines are not kept: the service is measured, not its log.
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    sandbox::ServiceProcess service;
    if (!service.start(GWTESTD_BIN, {}, {sandbox::kStdioKit, devNull})) {
        std::fprintf(stderr, "bench_footprint: the service did not start\n");
        return 1;
    }
    const pid_t pid = service.pid();

    // Requests: the model and the build version in turn, 100 to a
    // connection, as a station's plans send them.
    Memory peak;
    Memory warm;
    Memory end;
    long answered = 0;
    station::Connection conn;
    for (long n = 1; n <= requests; ++n) {
        if ((n - 1) % 100 == 0) {
            conn.close();
            if (!openConnection(conn)) {
                return 1;
            }
        }
        const uint16_t code = n % 2 != 0 ? 0x0005 : 0x0002;
        if (conn.sendRequest(code)) {
            const auto reply = conn.waitReply(code, 5000);
            if (reply && !reply->payload.empty() && reply->payload[0] == 0) {
                ++answered;
            }
        }
        if (n % 100 == 0) {
            // Sampled while the station is connected.
            const Memory now = memoryOf(pid);
            peak.residentKiB = std::max(peak.residentKiB, now.residentKiB);
            peak.privateKiB = std::max(peak.privateKiB, now.privateKiB);
            if (n == 1000) {
                warm = now;
            }
            end = now;
        }
    }
    conn.close();

    // Idling: no station, then a station that connects and sends nothing.
    usleep(200000);
    long before = ticksOf(pid);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const long idleTicks = ticksOf(pid) - before;
    station::Connection silent;
    if (!openConnection(silent)) {
        return 1;
    }
    // While it is connected: the service drops a station silent for 60 s,
    // which is work, not idling.
    const int silentSeconds = std::min(idleSeconds, 59);
    usleep(200000);
    before = ticksOf(pid);
    std::this_thread::sleep_for(std::chrono::seconds(silentSeconds));
    const long silentTicks = ticksOf(pid) - before;
    silent.close();
    const bool alive = service.running();
    service.stop();
    close(devNull);

    const std::string count = withCommas(requests);
    const std::string idle = std::to_string(idleSeconds) + " s";
    row("requests answered (pass)", withCommas(answered) + " of " + count, "all",
        answered == requests ? "ok" : "MISSED");
    row("resident memory serving " + count + " requests", withCommas(peak.residentKiB) + " KiB", "", "");
    row("private memory serving " + count + " requests", withCommas(peak.privateKiB) + " KiB", "", "");
    const long grewResident = end.residentKiB - warm.residentKiB;
    const long grewPrivate = end.privateKiB - warm.privateKiB;
    row("growth from request 1,000 to " + count + " (resident / private)",
        withCommas(grewResident) + " / " + withCommas(grewPrivate) + " KiB", "none",
        grewResident <= 0 && grewPrivate <= 0 ? "ok" : "GROWS");
    row("CPU ticks over " + idle + " idle, no station", std::to_string(idleTicks), "0", idleTicks == 0 ? "ok" : "OVER");
    row("CPU ticks over " + std::to_string(silentSeconds) + " s idle, a silent station connected",
        std::to_string(silentTicks), "0", silentTicks == 0 ? "ok" : "OVER");
    if (!alive) {
        std::fprintf(stderr, "bench_footprint: the service ended during the run\n");
        return 1;
    }
    return 0;
}
