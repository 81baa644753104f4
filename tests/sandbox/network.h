// Network objects of the fake gateway: veth interfaces named as the gateway
// names them (eth0, eth0.2, wlan0) and peer namespaces on their far ends,
// such as the upstream router that answers ping.
#pragma once

#include <string>
#include <sys/types.h>

namespace sandbox {

// A network namespace of its own, held by a child process, with its
// loopback up. The child ends with the object (or with the test process).
class PeerNamespace {
public:
    PeerNamespace();
    ~PeerNamespace();
    PeerNamespace(const PeerNamespace &) = delete;
    PeerNamespace &operator=(const PeerNamespace &) = delete;

    // Process id that names the namespace (for "ip link set ... netns").
    pid_t pid() const { return pid_; }
    // Runs a shell command line inside the namespace; its exit status.
    int sh(const std::string &command) const;
    // Whether the namespace answers ping (it does unless told not to).
    void answerPing(bool answer) const;

private:
    pid_t pid_ = -1;
    int netns_ = -1;
    int lifeline_ = -1;
};

// A veth pair: `name` here, up, with the MAC address when one is given;
// `peerName` on the far end, in `peer` when given, else here and down.
void addVeth(const std::string &name, const std::string &mac, const std::string &peerName,
             const PeerNamespace *peer = nullptr);

// A link to a router: a veth `name` here with `localCidr` (empty: no
// address), its far end `peerName` in the router's namespace with
// `routerCidr`, both up. For example eth0.2 with 192.0.2.2/24 and the
// router at 192.0.2.1/24.
void addRouterLink(const PeerNamespace &router, const std::string &name, const std::string &localCidr,
                   const std::string &peerName, const std::string &routerCidr);

} // namespace sandbox
