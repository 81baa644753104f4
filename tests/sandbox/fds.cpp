// Listing this process's open descriptors.
#include "fds.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <unistd.h>

namespace sandbox {

std::vector<std::string> openFds()
{
    std::vector<std::pair<int, std::string>> found;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return {"cannot list /proc/self/fd"};
    }
    const int own = dirfd(dir);
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const int fd = std::atoi(entry->d_name);
        if (fd == own) {
            continue;
        }
        char target[512];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        found.emplace_back(fd, n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string("?"));
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    std::vector<std::string> lines;
    for (const auto &[fd, target] : found) {
        lines.push_back(std::to_string(fd) + " -> " + target);
    }
    return lines;
}

} // namespace sandbox
