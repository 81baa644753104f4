// The real gwtestd binary in a sandbox, driven over a real socket.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sandbox.h"
#include "serviceProcess.h"

namespace {

using ::testing::HasSubstr;
using Bytes = std::vector<uint8_t>;

class Service : public sandbox::SandboxTest {
protected:
    void SetUp() override
    {
        SandboxTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        sandbox::writeFile("/tmp/sysinfo/model", "gwm0202\n");
    }
    void startService() { ASSERT_TRUE(service.startListening()) << service.err(); }

    sandbox::ServiceProcess service;
};

TEST_F(Service, ModelQueryWithLowerCaseModelFile)
{
    startService();
    auto conn = sandbox::connectService();
    ASSERT_TRUE(conn.sendRequest(0x0005));
    const auto reply = conn.waitReply(0x0005, 5000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload, (Bytes{0x00, 'g', 'w', 'm', '0', '2', '0', '2', '\n', 0x00}));
    EXPECT_THAT(service.out(), HasSubstr("Device Model:GWM0202\n\n"));
}

} // namespace
