#include "command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace sandbox {

CommandRun runCommand(const std::string &commandLine, Stderr stderrMode)
{
    CommandRun run;
    std::string errPath;
    std::string line = commandLine;
    if (stderrMode == Stderr::kApart) {
        char path[] = "/tmp/command-stderr.XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0) {
            run.err = "cannot make a file for standard error";
            return run;
        }
        close(fd);
        errPath = path;
        line += " 2>" + errPath;
    } else {
        line += " 2>&1";
    }
    // Output still buffered in this process would otherwise come after the child's.
    std::fflush(nullptr);
    const auto started = std::chrono::steady_clock::now();
    FILE *pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) {
        run.err = "cannot start /bin/sh";
        return run;
    }
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
        run.out.append(buf, n);
    }
    const int status = pclose(pipe);
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (!errPath.empty()) {
        std::ifstream err(errPath);
        std::stringstream text;
        text << err.rdbuf();
        run.err = text.str();
        std::remove(errPath.c_str());
    }
    return run;
}

CommandRun runGwtest(const std::string &args, Stderr stderrMode)
{
    return runCommand(std::string(GWTEST_BIN) + " " + args, stderrMode);
}

std::vector<std::string> filesIn(const std::string &dir)
{
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") {
                out.push_back(name);
            }
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace sandbox
