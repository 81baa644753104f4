// Files under the records directory: whole writes, the directory made and
// probed, and the scratch files of gone writers removed (see files.h).
#include "records/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace station::records {

int writeAll(int fd, const std::string &text, size_t &done)
{
    done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Creates a file in `dir` and removes it again: proves the directory takes
// new files (root passes access() even on a read-only mount).
bool probeDir(const std::string &dir, std::string &error)
{
    std::string probe = dir + "/.gwtest-probe-" + std::to_string(getpid());
    int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot write in " + dir + ": " + std::strerror(errno);
        return false;
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

bool makeDir(const std::string &dir, std::string &error)
{
    // Parents too, as mkdir -p.
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') {
            continue;
        }
        std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            error = "cannot create the records directory " + part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat sb {};
    if (::stat(dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
        error = "the records directory " + dir + " is not a directory";
        return false;
    }
    return true;
}

// The writer's process id at the end of a scratch name of ours, 0 when the
// name is not one: ".<name>.xml.<pid>" (a JUnit file on its way) or
// ".gwtest-probe-<pid>" (the check that the directory takes new files).
pid_t scratchWriter(std::string_view name)
{
    if (name.size() < 2 || name[0] != '.') {
        return 0;
    }
    size_t digits = name.size();
    while (digits > 0 && name[digits - 1] >= '0' && name[digits - 1] <= '9') {
        --digits;
    }
    const std::string_view pid = name.substr(digits);
    const std::string_view head = name.substr(0, digits);
    const bool junit = head.size() > 6 && head.ends_with(".xml.");
    const bool probe = head == ".gwtest-probe-";
    if (pid.empty() || pid.size() > 9 || (!junit && !probe)) {
        return 0;
    }
    return static_cast<pid_t>(std::stol(std::string(pid)));
}

// A station killed between writing a scratch file and linking it into place
// (or between the probe's create and unlink) leaves it behind, and nothing
// else would ever remove it. Those of a writer that is gone are removed;
// those of a writer still alive are its work in progress (another station
// may share the directory) and stay.
void removeAbandonedScratch(const std::string &dir)
{
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return;
    }
    while (const dirent *e = ::readdir(d)) {
        const pid_t writer = scratchWriter(e->d_name);
        if (writer > 0 && ::kill(writer, 0) != 0 && errno == ESRCH) {
            ::unlinkat(::dirfd(d), e->d_name, 0);
        }
    }
    ::closedir(d);
}

} // namespace station::records
