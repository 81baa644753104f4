// gwtestd: the production-line test service of the gateway.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "tcpServer.h"

namespace {

constexpr char kLogModule[] = "src/main";
constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 1;
constexpr int kVersionPatch = 3;

} // namespace

int main()
{
    // Line-buffered, so every log line reaches a pipe or a log file at once
    // and nothing is lost when the service is killed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    GW_LOG("Build:%s %s, Version:%d.%d.%d\n\n", __DATE__, __TIME__, kVersionMajor, kVersionMinor, kVersionPatch);

    const int listenFd = tcpServerLisener(kServerPort);
    if (listenFd <= 0) {
        GW_ERR("Error: %s\r\n\n", std::strerror(errno));
        return 1;
    }
    for (;;) {
        ClientInfo client{};
        if (tcpServerAccept(listenFd, &client) <= 0) {
            GW_ERR("Remote Connection Failed:%s\n\n", std::strerror(errno));
            continue;
        }
        connectHandler(client);
    }
}
