// Peer namespaces, veth pairs and router links of the fake gateway.
#include "network.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sandbox.h"

namespace sandbox {

namespace {

void run(const std::string &command)
{
    const int status = sandbox::sh(command);
    if (status != 0) {
        ADD_FAILURE() << "sandbox: `" << command << "` ended with " << status;
    }
}

} // namespace

PeerNamespace::PeerNamespace()
{
    int ready[2] = {-1, -1};
    int life[2] = {-1, -1};
    if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(life, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "sandbox: pipe: " << std::strerror(errno);
        return;
    }
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        // The holder: a new namespace, then wait until the test lets go of
        // the lifeline (on purpose or by ending).
        close(ready[0]);
        close(life[1]);
        const char ok = unshare(CLONE_NEWNET) == 0 ? 1 : 0;
        if (write(ready[1], &ok, 1) != 1) {
            _exit(1);
        }
        char byte = 0;
        while (read(life[0], &byte, 1) < 0 && errno == EINTR) {
        }
        _exit(0);
    }
    close(ready[1]);
    close(life[0]);
    lifeline_ = life[1];
    char ok = 0;
    const bool started = pid_ > 0 && read(ready[0], &ok, 1) == 1 && ok == 1;
    close(ready[0]);
    if (!started) {
        ADD_FAILURE() << "sandbox: cannot start a peer network namespace";
        return;
    }
    netns_ = open(("/proc/" + std::to_string(pid_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    if (netns_ < 0) {
        ADD_FAILURE() << "sandbox: peer namespace: " << std::strerror(errno);
        return;
    }
    if (sh("ip link set lo up") != 0) {
        ADD_FAILURE() << "sandbox: peer namespace: loopback";
    }
}

PeerNamespace::~PeerNamespace()
{
    if (netns_ >= 0) {
        close(netns_);
    }
    if (lifeline_ >= 0) {
        close(lifeline_);
    }
    if (pid_ > 0) {
        waitpid(pid_, nullptr, 0);
    }
}

int PeerNamespace::sh(const std::string &command) const
{
    // Step into the namespace for the one command and back: no process ids
    // involved, so it works from a private pid namespace too.
    const int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (home < 0 || netns_ < 0 || setns(netns_, CLONE_NEWNET) != 0) {
        ADD_FAILURE() << "sandbox: entering the peer namespace: " << std::strerror(errno);
        if (home >= 0) {
            close(home);
        }
        return -1;
    }
    const int status = sandbox::sh(command);
    if (setns(home, CLONE_NEWNET) != 0) {
        ADD_FAILURE() << "sandbox: leaving the peer namespace: " << std::strerror(errno);
    }
    close(home);
    return status;
}

void PeerNamespace::answerPing(bool answer) const
{
    const std::string value = answer ? "0" : "1";
    if (sh("echo " + value + " > /proc/sys/net/ipv4/icmp_echo_ignore_all") != 0) {
        ADD_FAILURE() << "sandbox: cannot set the peer's ping answers";
    }
}

void addVeth(const std::string &name, const std::string &mac, const std::string &peerName, const PeerNamespace *peer)
{
    std::string command = "ip link add '" + name + "'";
    if (!mac.empty()) {
        command += " address " + mac;
    }
    command += " type veth peer name '" + peerName + "'";
    if (peer != nullptr) {
        command += " netns " + std::to_string(peer->pid());
    }
    run(command);
    run("ip link set '" + name + "' up");
}

void addRouterLink(const PeerNamespace &router, const std::string &name, const std::string &localCidr,
                   const std::string &peerName, const std::string &routerCidr)
{
    addVeth(name, "", peerName, &router);
    if (!localCidr.empty()) {
        run("ip addr add " + localCidr + " dev '" + name + "'");
    }
    if (router.sh("ip addr add " + routerCidr + " dev '" + peerName + "' && ip link set '" + peerName + "' up") != 0) {
        ADD_FAILURE() << "sandbox: router side of " << name;
    }
}

} // namespace sandbox
