// The listener: a socket that listens on the port, or nothing left open.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "capture.h"
#include "fds.h"
#include "logText.h"
#include "sandbox.h"
#include "tcpServer.h"

namespace {

using ::testing::HasSubstr;

// The sandbox's own network namespace: port 6666 is free for each test.
class Listener : public sandbox::SandboxTest {};

TEST_F(Listener, ListensOnThePortAndClosesOnExec)
{
    sandbox::OutputCapture out;
    const int fd = tcpServerLisener(kServerPort);
    const std::string log = out.finish();
    ASSERT_GE(fd, 0);

    int listening = 0;
    socklen_t len = sizeof listening;
    EXPECT_EQ(getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len), 0);
    EXPECT_EQ(listening, 1);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_THAT(sandbox::maskLineNumbers(log),
                HasSubstr("[src/tcpServer] tcpServerLisener() #N Server Socket created.\r\n\n"));
    close(fd);
}

// bind fails while another socket listens on the port: the listener's socket
// is closed again, and errno still tells why for the caller's report.
TEST_F(Listener, FailedBindLeavesNoDescriptorOpen)
{
    const int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(kServerPort);
    ASSERT_EQ(bind(blocker, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(blocker, 1), 0);

    const auto fdsBefore = sandbox::openFds();
    int fd = 0;
    int err = 0;
    std::string log;
    {
        sandbox::OutputCapture errOut(2);
        errno = 0;
        fd = tcpServerLisener(kServerPort);
        err = errno;
        log = errOut.finish();
    }
    const auto fdsAfter = sandbox::openFds();
    close(blocker);

    EXPECT_EQ(fd, -1);
    EXPECT_EQ(err, EADDRINUSE);
    EXPECT_EQ(fdsAfter, fdsBefore);
    EXPECT_THAT(sandbox::maskLineNumbers(log),
                HasSubstr("[src/tcpServer] tcpServerLisener() #N bind failed. Error\r\n\n"));
}

} // namespace
