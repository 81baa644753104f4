// Running code under test in a child that has dropped root.
#include "asUser.h"

#include <cstdio>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace sandbox {

std::optional<int> runAsUser(const std::function<int()> &fn, uid_t uid, gid_t gid)
{
    int result[2];
    if (pipe(result) != 0) {
        return std::nullopt;
    }
    // Unwritten output would otherwise be written twice, once by each process.
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        close(result[0]);
        close(result[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        close(result[0]);
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0 || geteuid() != uid) {
            _exit(1);
        }
        const int value = fn();
        std::fflush(nullptr);
        const bool sent = write(result[1], &value, sizeof value) == static_cast<ssize_t>(sizeof value);
        _exit(sent ? 0 : 1);
    }
    close(result[1]);
    int value = 0;
    const ssize_t got = read(result[0], &value, sizeof value);
    close(result[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    if (got != static_cast<ssize_t>(sizeof value) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return std::nullopt;
    }
    return value;
}

} // namespace sandbox
