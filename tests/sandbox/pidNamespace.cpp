// Running a body as pid 1 of a private pid namespace.
#include "pidNamespace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sandbox {

void inPrivatePids(const std::function<void()> &body)
{
    // unshare(CLONE_NEWPID) moves only the children of this process; the
    // next fork becomes pid 1 there. Afterwards this process goes back to
    // its own namespace for children, so later forks are ordinary again.
    const int own = open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(own, 0) << std::strerror(errno);
    ASSERT_EQ(unshare(CLONE_NEWPID), 0) << std::strerror(errno);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        bool ready = unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                     mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0;
        if (!ready) {
            std::printf("sandbox: private /proc: %s\n", std::strerror(errno));
            std::fflush(nullptr);
            _exit(2);
        }
        body();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    const bool restored = setns(own, CLONE_NEWPID) == 0;
    close(own);
    ASSERT_GT(child, 0) << std::strerror(errno);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(restored) << "sandbox: cannot return to the test's pid namespace";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the part run with private pids failed (its failures are printed above), status " << status;
}

} // namespace sandbox
