// Fake sysfs directories on tmpfs, with the rest of sysfs kept in place.
#include "sysTree.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "sandbox.h"

namespace sandbox {

namespace {

std::string parentOf(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

void fail(const std::string &what) { ADD_FAILURE() << "sandbox: " << what << ": " << std::strerror(errno); }

// Covers dir with a tmpfs that shows the same entries: directories and files
// bound back from the covered tree, symbolic links made again.
void coverKeepingEntries(const std::string &dir)
{
    struct Entry {
        std::string name;
        mode_t type;
        int fd;             // O_PATH descriptor of what is bound back
        std::string target; // of a symbolic link
    };
    std::vector<Entry> entries;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        fail("open " + dir);
        return;
    }
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            continue;
        }
        Entry entry{name, static_cast<mode_t>(st.st_mode & S_IFMT), -1, ""};
        if (S_ISLNK(st.st_mode)) {
            std::vector<char> target(PATH_MAX);
            const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
            if (n < 0) {
                continue;
            }
            entry.target.assign(target.data(), static_cast<size_t>(n));
        } else {
            entry.fd = open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
            if (entry.fd < 0) {
                continue;
            }
        }
        entries.push_back(entry);
    }
    closedir(d);

    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        fail("mount tmpfs on " + dir);
    }
    for (const Entry &entry : entries) {
        const std::string path = dir + "/" + entry.name;
        if (entry.type == S_IFLNK) {
            if (symlink(entry.target.c_str(), path.c_str()) != 0) {
                fail("symlink " + path);
            }
            continue;
        }
        const bool made = entry.type == S_IFDIR ? mkdir(path.c_str(), 0755) == 0
                                                : close(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)) == 0;
        const std::string from = "/proc/self/fd/" + std::to_string(entry.fd);
        if (!made || mount(from.c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            fail("bind back " + path);
        }
        close(entry.fd);
    }
}

} // namespace

void mountSysTmpfs(const std::string &path)
{
    std::string existing = path;
    std::string missing;
    while (!exists(existing)) {
        missing = existing;
        existing = parentOf(existing);
    }
    if (!missing.empty() && mkdir(missing.c_str(), 0755) != 0) {
        coverKeepingEntries(existing);
    }
    mountTmpfs(path);
}

} // namespace sandbox
