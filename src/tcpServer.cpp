// The test station's side of the gateway: one listening socket on port 6666,
// one client at a time; each request frame the codec completes is handed to
// the dispatcher and its reply sent back.
#include "tcpServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fdOwner.h"
#include "log.h"
#include "peripher/peripher.h"

namespace {

constexpr char kLogModule[] = "src/tcpServer";

// The peripheral context of the connection being served.
PeripherCtx peripherCtx;

const char *dottedQuad(uint32_t addrNet, char (&text)[INET_ADDRSTRLEN])
{
    in_addr a{};
    a.s_addr = addrNet;
    if (inet_ntop(AF_INET, &a, text, sizeof text) == nullptr) {
        text[0] = '\0';
    }
    return text;
}

} // namespace

int tcpServerLisener(int port)
{
    // Close-on-exec: the tests start gateway scripts in the background
    // ("... blink &", "smartconfig.sh &"); they must not inherit the
    // listening socket (a restarted service could not bind while they run)
    // or a client's socket (the station would never see it closed).
    // Closed again on every failure (a close that succeeds leaves errno, which
    // the caller reports, as the failed call set it); handed to the caller
    // once it listens.
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        GW_ERR("Could not create socket\n");
        return -1;
    }
    const int on = 1;
    const int rc = setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (rc < 0) {
        GW_ERR("Reuse Address Error:%s.\r\n\n", std::strerror(errno));
        return rc;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0) {
        GW_ERR("bind failed. Error\r\n\n");
        return -1;
    }
    // listen can still be refused after a successful bind: another socket
    // that shares the address (SO_REUSEADDR) may have started listening on
    // the port in between. The service would then sit on a socket that
    // never accepts a station.
    if (listen(fd.get(), kListenBacklog) < 0) {
        GW_ERR("listen failed. Error\r\n\n");
        return -1;
    }
    GW_LOG("Server Socket created.\r\n\n");
    return fd.release();
}

int tcpServerAccept(int listenFd, ClientInfo *client)
{
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    const int fd = accept4(listenFd, reinterpret_cast<sockaddr *>(&peer), &peerLen, SOCK_CLOEXEC);
    if (fd < 0) {
        GW_ERR("Connecte Error:%s\r\n\n", std::strerror(errno));
        return fd;
    }
    client->fd = fd;
    client->addr = peer.sin_addr.s_addr;
    client->port = peer.sin_port;
    char ip[INET_ADDRSTRLEN];
    GW_LOG("Connected Client IP:%s, Port: %d\r\n\n", dottedQuad(client->addr, ip), ntohs(client->port));
    return fd;
}

void connectHandler(const ClientInfo &client)
{
    state_reset();
    ctxPeripherInit(&peripherCtx);

    const ClientInfo info = client;
    char ip[INET_ADDRSTRLEN];
    dottedQuad(info.addr, ip);
    GW_LOG("Clinet fd:%d, IP:%s, Port:%d\r\n\n", info.fd, ip, ntohs(info.port));

    for (;;) {
        // Set afresh before every wait: the limit is 60 s of silence.
        timeval timeout{kIdleTimeoutSec, 0};
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(info.fd, &readSet);
        const int rc = select(info.fd + 1, &readSet, nullptr, nullptr, &timeout);
        if (rc == -1) {
            GW_ERR("Select Error:%s\n\n", std::strerror(errno));
            break;
        }
        if (rc == 0) {
            GW_LOG("Timeout.\r\n\n");
            break;
        }
        GW_LOG("Select Event Come in\n\n");
        if (FD_ISSET(info.fd, &readSet) && msgHandler(info.fd) != 0) {
            break;
        }
    }

    close(info.fd);
    GW_LOG("Connection Closing, Remote IP:%s Port:%d. Closing\r\n\n", ip, ntohs(info.port));
}

int msgHandler(int fd)
{
    GW_LOG("Select Read Event Come in\r\n\n");
    std::array<uint8_t, kRecvChunk> chunk;
    const ssize_t got = recv(fd, chunk.data(), chunk.size(), 0);
    if (got == 0) {
        GW_ERR("Socket Connect Break\r\n\n");
        return -1;
    }

    // Every frame the chunk completes is answered, in order; the bytes of a
    // frame still unfinished at the end stay in the receive state and are
    // completed by the next chunk.
    const int n = static_cast<int>(got);
    int offset = 0;
    do {
        int used = 0;
        const int frameLen = msgComing(chunk.data() + offset, n - offset, &used);
        offset += used;
        if (frameLen <= 0) {
            return 0;
        }
        MsgFrame msg;
        if (protcolAnlyse(completedFrame(), static_cast<uint32_t>(frameLen), &msg) < 0) {
            GW_LOG("Protcol Error\n\n");
            return -2;
        }
        if (cmdForward(fd, msg) < 0) {
            return -3; // the reply could not be sent whole: the client is dropped
        }
    } while (offset < n);
    return 0;
}

int protcolAnlyse(const uint8_t *frame, uint32_t length, MsgFrame *msg)
{
    if (length < 3) {
        GW_LOG("Frame Get Length too Short.\r\n\n");
        return -1;
    }
    msg->cmd = static_cast<uint16_t>(frame[1] * 256 + frame[2]);
    msg->len = static_cast<uint16_t>(frame[3] * 256 + frame[4]);
    // Nothing reads the payload; keep what fits the room and what the frame
    // really holds.
    size_t copy = msg->len;
    if (copy > msg->payload.size()) {
        copy = msg->payload.size();
    }
    if (length < kFrameOverhead + copy) {
        copy = length > kFrameOverhead ? length - kFrameOverhead : 0;
    }
    std::memcpy(msg->payload.data(), frame + 5, copy);
    GW_LOG("Frame Get CMD:0x%04x, Payload Length:%d\r\n\n", msg->cmd, msg->len);
    return 0;
}

int cmdForward(int fd, const MsgFrame &msg)
{
    if ((msg.cmd >> 8) < (kFirstUndispatchedCmd >> 8)) {
        if (peripherHandler(msg.cmd, &peripherCtx) > 0 && ctxSendMsg(fd, msg.cmd, peripherCtx) < 0) {
            return -1;
        }
    }
    return 0;
}

long ctxSendMsg(int fd, uint16_t cmd, const PeripherCtx &ctx)
{
    GW_LOG("Send Message CMD:0x%04X.\r\n\n", cmd);
    return msg_frame_put(fd, cmd, ctx.reply.data(), ctx.replyLen);
}
