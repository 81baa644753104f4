// gwtestd: the production-line test service of the gateway.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "log.h"
#include "tcpServer.h"

namespace {

constexpr char kLogModule[] = "src/main";
constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 1;
constexpr int kVersionPatch = 3;

// Started by a careless init script (`gwtestd <&-`), the service may find
// its standard descriptors closed; the listening socket would then become
// descriptor 0 or 1, and log lines would be written into a station's
// connection. /dev/null takes every closed one, lowest first, as open()
// always returns the lowest free descriptor.
void openClosedStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            [[maybe_unused]] const int opened = open("/dev/null", O_RDWR);
        }
    }
}

// A log reader that goes away (the logger restarted) must cost log lines,
// not the service: SIGPIPE is caught and nothing is done. Caught rather than
// ignored, so the shell tools the tests start get the default back at exec.
void onSigpipe(int) {}

void catchSigpipe()
{
    struct sigaction action {};
    action.sa_handler = onSigpipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
}

} // namespace

int main()
{
    openClosedStandardDescriptors();
    catchSigpipe();

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
