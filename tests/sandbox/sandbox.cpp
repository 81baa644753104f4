// Entering the sandbox, files at the gateway's paths inside it, and the base
// fixture.
#include "sandbox.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <net/if.h>
#include <sched.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace sandbox {

namespace {

void check(bool ok, const std::string &what)
{
    if (!ok) {
        ADD_FAILURE() << "sandbox: " << what << ": " << std::strerror(errno);
    }
}

bool isUnder(const std::string &path, const std::string &dir)
{
    if (dir == "/") {
        return true;
    }
    return path == dir ||
           (path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/');
}

// The trees that tests and stand-in tools are run from.
std::vector<std::string> keptTrees() { return {GW_SOURCE_DIR, GW_BUILD_DIR}; }

bool loopbackUp()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    ifreq req{};
    std::strncpy(req.ifr_name, "lo", sizeof req.ifr_name - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &req) == 0;
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP | IFF_RUNNING);
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &req) == 0;
    close(fd);
    return ok;
}

} // namespace

void mkdirs(const std::string &path, mode_t mode)
{
    std::string sofar;
    std::stringstream parts(path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty()) {
            continue;
        }
        sofar += "/" + part;
        if (mkdir(sofar.c_str(), mode) != 0 && errno != EEXIST) {
            check(false, "mkdir " + sofar);
            return;
        }
    }
}

void mountTmpfs(const std::string &path)
{
    // Hold on to the trees under the path before covering them.
    std::vector<std::pair<std::string, int>> held;
    for (const std::string &tree : keptTrees()) {
        if (isUnder(tree, path) && tree != path) {
            held.emplace_back(tree, open(tree.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        }
    }
    mkdirs(path);
    check(mount("tmpfs", path.c_str(), "tmpfs", 0, "mode=0755") == 0, "mount tmpfs on " + path);
    for (auto &[tree, fd] : held) {
        mkdirs(tree);
        const std::string from = "/proc/self/fd/" + std::to_string(fd);
        check(mount(from.c_str(), tree.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0, "bind back " + tree);
        close(fd);
    }
}

std::string enter()
{
    if (geteuid() != 0) {
        return "the sandbox needs root (private mount and network namespaces); run the tests as root";
    }
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        return std::string("unshare(CLONE_NEWNS | CLONE_NEWNET): ") + std::strerror(errno);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return std::string("making mounts private: ") + std::strerror(errno);
    }
    if (!loopbackUp()) {
        return std::string("bringing up lo: ") + std::strerror(errno);
    }
    mountTmpfs("/tmp");
    mkdirs(scratchDir());
    return "";
}

void writeFile(const std::string &path, const std::string &content, mode_t mode)
{
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        mkdirs(path.substr(0, slash));
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        check(false, "create " + path);
        return;
    }
    const ssize_t n = write(fd, content.data(), content.size());
    check(n == static_cast<ssize_t>(content.size()), "write " + path);
    fchmod(fd, mode);
    close(fd);
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

bool exists(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

void bindFile(const std::string &target, const std::string &content)
{
    static int serial = 0;
    const std::string source = scratchDir() + "/bound-" + std::to_string(++serial);
    writeFile(source, content);
    if (!exists(target)) {
        writeFile(target, "");
    }
    check(mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0, "bind over " + target);
}

void freshDev()
{
    check(mount("tmpfs", "/dev", "tmpfs", MS_NOSUID, "mode=0755") == 0, "mount tmpfs on /dev");
    struct Node {
        const char *name;
        unsigned major;
        unsigned minor;
    };
    static constexpr Node kNodes[] = {
        {"null", 1, 3}, {"zero", 1, 5}, {"random", 1, 8}, {"urandom", 1, 9}, {"tty", 5, 0},
    };
    for (const Node &node : kNodes) {
        const std::string path = std::string("/dev/") + node.name;
        check(mknod(path.c_str(), S_IFCHR | 0666, makedev(node.major, node.minor)) == 0, "mknod " + path);
        chmod(path.c_str(), 0666);
    }
    mkdirs("/dev/pts");
    mkdirs("/dev/shm");
    check(mount("devpts", "/dev/pts", "devpts", MS_NOSUID | MS_NOEXEC, "newinstance,ptmxmode=0666,mode=0620") == 0,
          "mount devpts");
    check(symlink("pts/ptmx", "/dev/ptmx") == 0, "symlink /dev/ptmx");
}

int sh(const std::string &command)
{
    std::fflush(nullptr);
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

std::string scratchDir() { return "/tmp/.sandbox"; }

void SandboxTest::SetUp()
{
    const std::string error = enter();
    ASSERT_EQ(error, "") << "cannot set up the test sandbox";
    // A mount that failed on the way in would leave the machine's own files
    // where the fixture lays out the gateway's.
    ASSERT_FALSE(HasFailure()) << "the test sandbox is incomplete";
    SetUpSandbox();
}

} // namespace sandbox
