// The listener: a socket that listens on the port, or nothing left open.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <fcntl.h>
#include <iterator>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "capture.h"
#include "fds.h"
#include "logText.h"
#include "sandbox.h"
#include "tcpServer.h"

namespace {

using ::testing::HasSubstr;

// From here on, every listen() of this process fails with err, whatever the
// socket: a seccomp filter answers the call in the kernel's place. Used in a
// child process only.
bool refuseListen(int err)
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_listen, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(err) & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

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

// listen fails after a good bind (another socket that shares the address
// started listening first): the failure is said on standard error, no
// "created" line, the socket closed, errno still tells why. Run in a child
// (googletest's death test), as the filter cannot be taken back; the child's
// exit status says which check failed, its standard error carries the line.
TEST_F(Listener, FailedListenSaysSoAndLeavesNoDescriptorOpen)
{
    enum Failure { kNone, kNoFilter, kDescriptor, kErrno, kFds, kSuccessLine };
    const auto child = [] {
        if (!refuseListen(EADDRINUSE)) {
            return kNoFilter;
        }
        const auto fdsBefore = sandbox::openFds();
        sandbox::OutputCapture out;
        errno = 0;
        const int fd = tcpServerLisener(kServerPort);
        const int err = errno;
        const std::string log = out.finish();
        if (fd != -1) {
            return kDescriptor;
        }
        if (err != EADDRINUSE) {
            return kErrno;
        }
        if (sandbox::openFds() != fdsBefore) {
            return kFds;
        }
        if (log.find("Server Socket created") != std::string::npos) {
            return kSuccessLine;
        }
        return kNone;
    };
    EXPECT_EXIT(std::_Exit(child()), ::testing::ExitedWithCode(kNone),
                R"(\[src/tcpServer\] tcpServerLisener\(\) #[0-9]+ listen failed\. Error)");
}

} // namespace
