// The station's client against the real service: what it prints and its
// exit status for each kind of outcome.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "command.h"
#include "sandbox.h"
#include "serviceProcess.h"

namespace {

using ::testing::HasSubstr;

using ClientRun = sandbox::CommandRun;

ClientRun runClient(const std::string &args) { return sandbox::runGwtest(args); }

class Client : public sandbox::ServiceTest {};

TEST_F(Client, ExitStatusTellsTheOutcome)
{
    sandbox::writeFile("/tmp/sysinfo/model", "gwm0202\n");
    startService();

    const ClientRun pass = runClient("call 127.0.0.1 0x0005");
    EXPECT_EQ(pass.status, 0) << pass.out;
    EXPECT_THAT(pass.out, HasSubstr("0x0005 model (device model): pass  gwm0202\n"));
    EXPECT_THAT(pass.out, HasSubstr("data: 67 77 6d 30 32 30 32 0a 00"));

    // Codes from 0x1200 up are dropped by the service without a reply.
    const ClientRun silent = runClient("call 127.0.0.1:6666 0x1200 --raw --timeout 1");
    EXPECT_EQ(silent.status, 2) << silent.out;
    EXPECT_THAT(silent.out, HasSubstr("no reply within 1 s"));

    sandbox::sh("rm /tmp/sysinfo/model");
    const ClientRun fail = runClient("call 127.0.0.1 5");
    EXPECT_EQ(fail.status, 1) << fail.out;
    EXPECT_THAT(fail.out, HasSubstr("0x0005 model (device model): fail\n"));
}

TEST_F(Client, ConnectionAndUsageErrors)
{
    const ClientRun refused = runClient("call 127.0.0.1:6667 0x0005 --timeout 1");
    EXPECT_EQ(refused.status, 3) << refused.out;
    EXPECT_THAT(refused.out, HasSubstr("Connection refused"));

    for (const char *bad : {"call 127.0.0.1 0x10000", "call 127.0.0.1 zz", "call 127.0.0.1:0 1", "call",
                            "ring 127.0.0.1 1", "call 127.0.0.1 1 --timeout -3"}) {
        const ClientRun usage = runClient(bad);
        EXPECT_EQ(usage.status, 64) << bad << "\n" << usage.out;
    }
}

} // namespace
