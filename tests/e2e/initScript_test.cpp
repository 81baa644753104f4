// End to end: the service on a gwsim board started by the gateway's init
// script, its log as the gateway keeps it. A station that floods port 6666
// with garbage makes some 40 bytes of log per byte; the log stays within its
// bound and the service goes on answering.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "gwsimProcess.h"
#include "sandbox.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// The init script's bound: a file is rotated once it holds 256 KiB, and
// may overshoot that by one copy step of 64 KiB.
constexpr long kLogFileBound = 256 * 1024 + 64 * 1024;

long fileSize(const std::string &path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<long>(size);
}

class GatewayLog : public sandbox::SandboxTest {};

TEST_F(GatewayLog, OneMegabyteOfGarbageKeepsTheLogBoundedAndTheServiceAnswering)
{
    const std::string kept = sandbox::scratchDir() + "/kept";
    sandbox::GwsimInstance sim;
    ASSERT_TRUE(sim.start("GWM0202", "", {"--log", "-", "--keep", kept})) << sim.failure();
    ASSERT_EQ(sim.serviceLogPath(), kept + "/service.log");

    auto conn = sim.connect();
    // No 0xFE among them: no frame ever starts, so the reply that follows is
    // exactly known.
    Bytes garbage(1024 * 1024);
    for (size_t i = 0; i < garbage.size(); ++i) {
        garbage[i] = static_cast<uint8_t>((i * 7) % 0xFE);
    }
    ASSERT_TRUE(conn.sendBytes(garbage));
    EXPECT_EQ(sandbox::call(conn, 0x0005, 240000), (Bytes{0x00, 'g', 'w', 'm', '0', '2', '0', '2', '\n', 0x00}));

    // The reply's lines reach the log a moment after the reply.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (sim.serviceLog().find("Send Message CMD:0x0005.") == std::string::npos && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_THAT(sim.serviceLog(), ::testing::HasSubstr("Send Message CMD:0x0005."));
    EXPECT_GT(fileSize(kept + "/service.log.0"), 0) << "the log was never rotated";
    EXPECT_LE(fileSize(kept + "/service.log.0"), kLogFileBound);
    EXPECT_LE(fileSize(kept + "/service.log"), kLogFileBound);
    std::vector<std::string> logs;
    for (const auto &entry : std::filesystem::directory_iterator(kept)) {
        if (entry.path().filename().string().rfind("service.log", 0) == 0) {
            logs.push_back(entry.path().filename());
        }
    }
    std::sort(logs.begin(), logs.end());
    EXPECT_EQ(logs, (std::vector<std::string>{"service.log", "service.log.0"}));
    conn.close();
    EXPECT_TRUE(sim.stop());
}

} // namespace
