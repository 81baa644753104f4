// The test sandbox: a test process enters private mount and network
// namespaces and lays out exactly the gateway files it needs at the
// service's real paths. Needs root; refuses (fails, never skips) without it.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <sys/types.h>

namespace sandbox {

// Enters new mount and network namespaces (mounts private, loopback up) and
// puts a fresh tmpfs over /tmp. The source and build trees stay reachable at
// their paths even when they live under /tmp. Returns "" or an error text.
std::string enter();

// A fresh tmpfs at the path (created first); source and build trees under
// it are bound back into place.
void mountTmpfs(const std::string &path);

// Writes a file, creating its parent directories.
void writeFile(const std::string &path, const std::string &content, mode_t mode = 0644);
std::string readFile(const std::string &path);
bool exists(const std::string &path);
void mkdirs(const std::string &path, mode_t mode = 0755);

// Binds a private file with the given content over an existing file, such
// as /etc/hosts or /proc/net/route.
void bindFile(const std::string &target, const std::string &content);

// A fresh /dev: null, zero, random, urandom, tty, a new devpts instance and
// ptmx, so ptys can be bound in as /dev/ttyS1 and the like.
void freshDev();

// Runs a shell command line; returns its exit status (-1 if it didn't run).
int sh(const std::string &command);

// Directory of scratch files of this test (in the sandbox's /tmp).
std::string scratchDir();

// Base fixture of every test that needs the sandbox. A fixture lays out
// what its tests need in SetUpSandbox(), never in SetUp(): that runs only
// once the sandbox was entered, so nothing is ever laid out on the machine
// itself. A fixture derived from another calls the base's SetUpSandbox()
// first.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() final;
    virtual void SetUpSandbox() {}
};

} // namespace sandbox
