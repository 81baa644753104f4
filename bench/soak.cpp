// Soak of the real service: thousands of connections from stations that
// misbehave in every way seen on a factory line (random bytes, bad checksums,
// 0xFFFF lengths with and without payload, frames cut off, resets, many
// frames per write), each followed by the replies it must get. Prints the
// service's descriptors and memory before and after, and every wrong reply.
// Figures, not a test: run as root (the service runs in private namespaces).
//   build/bench/bench_soak [CONNECTIONS]     default 10000
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "sandbox.h"
#include "serviceProcess.h"
#include "wire/connection.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kModelReply{0x00, 'G', 'W', 'M', '0', '2', '0', '2', '\n', 0x00};

struct Sample {
    int fds = 0;
    long rssKiB = 0;
    long privateKiB = 0; // private clean and dirty
};

long fieldKiB(const std::string &path, const std::string &key)
{
    std::ifstream in(path);
    std::string line;
    long total = 0;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size(), key) == 0) {
            total += std::strtol(line.c_str() + key.size(), nullptr, 10);
        }
    }
    return total;
}

Sample sample(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    Sample s;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator(proc + "/fd")) {
        ++s.fds;
    }
    s.rssKiB = fieldKiB(proc + "/status", "VmRSS:");
    s.privateKiB =
        fieldKiB(proc + "/smaps_rollup", "Private_Clean:") + fieldKiB(proc + "/smaps_rollup", "Private_Dirty:");
    return s;
}

// Random bytes without the frame header byte: noise that cannot start a
// frame, so the replies that follow are exactly known.
Bytes noise(std::mt19937 &rng, size_t n)
{
    Bytes b(n);
    for (uint8_t &x : b) {
        do {
            x = static_cast<uint8_t>(rng());
        } while (x == 0xFE);
    }
    return b;
}

void append(Bytes &to, const Bytes &from) { to.insert(to.end(), from.begin(), from.end()); }

// One station's visit: what it sends, how many model replies it must get,
// and whether it resets the connection instead of reading them.
struct Visit {
    const char *kind;
    Bytes bytes;
    int replies;
    bool reset;
};

Visit makeVisit(std::mt19937 &rng)
{
    const Bytes query = station::encodeRequest(0x0005);
    const int frames = 2 + static_cast<int>(rng() % 49); // 2..50 frames per write
    Visit v{"", {}, 0, false};
    switch (rng() % 7) {
    case 0:
        v.kind = "frames";
        for (int i = 0; i < frames; ++i) {
            append(v.bytes, query);
        }
        v.replies = frames;
        break;
    case 1:
        v.kind = "noise";
        v.bytes = noise(rng, 1 + rng() % 3000);
        append(v.bytes, query);
        v.replies = 1;
        break;
    case 2:
        v.kind = "bad checksum";
        v.bytes = {0xFE, 0x00, 0x05, 0x00, 0x00, static_cast<uint8_t>(0x06 + rng() % 0x80)};
        append(v.bytes, query);
        v.replies = 1;
        break;
    case 3:
        v.kind = "0xFFFF length";
        v.bytes = {0xFE, 0x00, 0x05, 0xFF, 0xFF};
        if (rng() % 2 == 0) {
            append(v.bytes, noise(rng, rng() % 2000));
        }
        append(v.bytes, query);
        v.replies = 1;
        break;
    case 4:
        v.kind = "cut frame";
        append(v.bytes, query);
        v.bytes.push_back(0xFE);
        v.bytes.push_back(0x00); // the rest never comes
        v.replies = 1;
        break;
    case 5:
        v.kind = "reset";
        for (int i = 0; i < frames; ++i) {
            append(v.bytes, query);
        }
        v.reset = true;
        break;
    default:
        v.kind = "random";
        v.bytes.resize(1 + rng() % 2000);
        for (uint8_t &x : v.bytes) {
            x = static_cast<uint8_t>(rng());
        }
        v.reset = true; // what it makes the parser do is not known: read nothing
        break;
    }
    return v;
}

} // namespace

int main(int argc, char **argv)
{
    const int connections = argc > 1 ? std::atoi(argv[1]) : 10000;
    if (connections <= 0) {
        std::fprintf(stderr, "usage: bench_soak [CONNECTIONS]\n");
        return 64;
    }
    if (const std::string error = sandbox::enter(); !error.empty()) {
        std::fprintf(stderr, "bench_soak: %s (run as root)\n", error.c_str());
        return 1;
    }
    sandbox::writeFile("/tmp/sysinfo/model", "GWM0202\n");
    // The service logs a line per received byte; the soak does not keep them.
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    sandbox::ServiceProcess service;
    if (!service.start(GWTESTD_BIN, {}, {sandbox::kStdioKit, devNull})) {
        std::fprintf(stderr, "bench_soak: the service did not start\n");
        return 1;
    }

    std::mt19937 rng(20261210);
    std::array<Sample, 3> samples{};
    int wrong = 0;
    int replies = 0;
    const auto start = Clock::now();
    for (int i = 0; i < connections; ++i) {
        station::Connection conn;
        std::string error;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!conn.open("127.0.0.1", 6666, 1000, error)) {
            if (Clock::now() >= deadline || !service.running()) {
                std::fprintf(stderr, "bench_soak: connection %d: %s\n", i, error.c_str());
                return 1;
            }
            usleep(10000);
        }
        // Sampled while a station is being served, after its first reply.
        const auto takeSample = [&] {
            if (i == 0 || i == 1000) {
                samples[i == 0 ? 0 : 1] = sample(service.pid());
            }
        };
        const Visit v = makeVisit(rng);
        conn.sendBytes(v.bytes);
        if (v.reset) {
            takeSample();
            const linger reset{1, 0};
            setsockopt(conn.fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            continue;
        }
        for (int r = 0; r < v.replies; ++r) {
            const auto reply = conn.waitReply(0x0005, 5000);
            if (!reply || reply->payload != kModelReply) {
                std::fprintf(stderr, "connection %d (%s): reply %d of %d %s\n", i, v.kind, r + 1, v.replies,
                             reply ? "wrong" : "missing");
                ++wrong;
                break;
            }
            ++replies;
        }
        takeSample();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    usleep(200000);                     // the service sees the last station leave
    samples[2] = sample(service.pid()); // no station connected: one descriptor fewer
    const bool alive = service.running();

    std::printf("soak of gwtestd: %d connections in %.1f s, %d replies checked, %d wrong or missing, service %s\n",
                connections, seconds, replies, wrong, alive ? "running" : "ENDED");
    std::printf("%-22s %12s %12s %12s\n", "", "descriptors", "RSS KiB", "private KiB");
    const char *names[] = {"first connection", "after 1000", "at the end"};
    for (size_t k = 0; k < samples.size(); ++k) {
        std::printf("%-22s %12d %12ld %12ld\n", names[k], samples[k].fds, samples[k].rssKiB, samples[k].privateKiB);
    }
    service.stop();
    close(devNull);
    return wrong == 0 && alive ? 0 : 1;
}
