// Overlays that keep writes to system directories in the sandbox.
#include "overlay.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <sys/mount.h>

#include "sandbox.h"

namespace sandbox {

void overlayDir(const std::string &path)
{
    static std::set<std::string> done;
    if (done.count(path) != 0) {
        return;
    }
    const std::string base = scratchDir() + "/overlay-" + std::to_string(done.size());
    mkdirs(base + "/upper");
    mkdirs(base + "/work");
    const std::string options = "lowerdir=" + path + ",upperdir=" + base + "/upper,workdir=" + base + "/work";
    if (mount("overlay", path.c_str(), "overlay", 0, options.c_str()) != 0) {
        ADD_FAILURE() << "sandbox: overlay on " << path << ": " << std::strerror(errno);
        return;
    }
    done.insert(path);
}

} // namespace sandbox
