// The station's side of the wire: request frames, the reply parser, the
// connection with its time-outs.
#include "wire/connection.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "frame.h"

namespace station {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

std::vector<uint8_t> encodeRequest(uint16_t code, const std::vector<uint8_t> &payload)
{
    const uint16_t n = static_cast<uint16_t>(payload.size() > kFrameMaxPayload ? kFrameMaxPayload : payload.size());
    std::vector<uint8_t> out(size_t{n} + kFrameOverhead);
    frameBuild(out.data(), out.size(), code, payload.data(), n);
    return out;
}

void ReplyParser::feed(const uint8_t *bytes, size_t n) { pending_.insert(pending_.end(), bytes, bytes + n); }

std::optional<Reply> ReplyParser::next()
{
    for (;;) {
        size_t start = 0;
        while (start < pending_.size() && pending_[start] != kFrameHeader) {
            ++start;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(start));
        if (pending_.size() < kFrameOverhead) {
            return std::nullopt;
        }
        const size_t n = size_t{pending_[3]} << 8 | pending_[4];
        if (pending_.size() < n + kFrameOverhead) {
            return std::nullopt;
        }
        if (frameXor(pending_.data() + 1, n + 4) != pending_[5 + n]) {
            // Not a frame after all: look for the next header.
            pending_.erase(pending_.begin());
            continue;
        }
        Reply reply;
        reply.code = static_cast<uint16_t>(pending_[1] << 8 | pending_[2]);
        reply.payload.assign(pending_.begin() + 5, pending_.begin() + 5 + static_cast<long>(n));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(n + kFrameOverhead));
        return reply;
    }
}

Connection::Connection(Connection &&other) noexcept
    : fd_(other.fd_), closed_(other.closed_), parser_(std::move(other.parser_))
{
    other.fd_ = -1;
}

Connection::~Connection() { close(); }

void Connection::close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

namespace {

// Connects one address within the deadline; the socket or -1 with the error.
int connectOne(const addrinfo &ai, Clock::time_point deadline, int wakeFd, std::string &error)
{
    const int fd = socket(ai.ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    if (connect(fd, ai.ai_addr, ai.ai_addrlen) != 0 && errno != EINPROGRESS) {
        error = std::string("connect: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    for (;;) {
        pollfd p[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
        const int rc = poll(p, wakeFd >= 0 ? 2 : 1, remainingMs(deadline));
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc > 0 && wakeFd >= 0 && (p[1].revents & POLLIN) != 0) {
            error = "connect: stopped";
            ::close(fd);
            return -1;
        }
        if (rc <= 0) {
            error = "connect: timed out";
            ::close(fd);
            return -1;
        }
        break;
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
    if (soError != 0) {
        error = std::string("connect: ") + std::strerror(soError);
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

bool Connection::open(const std::string &host, uint16_t port, int timeoutMs, std::string &error)
{
    return open(host, port, timeoutMs, -1, error);
}

bool Connection::open(const std::string &host, uint16_t port, int timeoutMs, int wakeFd, std::string &error)
{
    close();
    closed_ = false;
    parser_ = ReplyParser{};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    const int gai = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (gai != 0 || found == nullptr) {
        error = "cannot resolve " + host + ": " + gai_strerror(gai);
        return false;
    }
    // Every address the name has, in the resolver's order, within the one
    // time-out.
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (const addrinfo *ai = found; ai != nullptr; ai = ai->ai_next) {
        fd_ = connectOne(*ai, deadline, wakeFd, error);
        if (fd_ >= 0) {
            break;
        }
    }
    freeaddrinfo(found);
    return fd_ >= 0;
}

bool Connection::sendBytes(const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                pollfd p{fd_, POLLOUT, 0};
                poll(&p, 1, 1000);
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool Connection::sendRequest(uint16_t code, const std::vector<uint8_t> &payload)
{
    return sendBytes(encodeRequest(code, payload));
}

std::optional<Reply> Connection::waitReply(uint16_t code, int timeoutMs)
{
    Reply reply;
    uint16_t strayCode = 0;
    if (waitReply(code, timeoutMs, -1, reply, strayCode) == Wait::kReply) {
        return reply;
    }
    return std::nullopt;
}

Connection::Wait Connection::waitReply(uint16_t code, int timeoutMs, int wakeFd, Reply &reply, uint16_t &strayCode)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const uint16_t wanted = static_cast<uint16_t>(code | kReplyCodeBit);
    for (;;) {
        while (auto next = parser_.next()) {
            if (next->code == wanted) {
                reply = std::move(*next);
                return Wait::kReply;
            }
            strayCode = next->code;
        }
        if (closed_ || fd_ < 0) {
            return Wait::kClosed;
        }
        pollfd p[2] = {{fd_, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int rc = poll(p, wakeFd >= 0 ? 2 : 1, remainingMs(deadline));
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0) {
            closed_ = true;
            return Wait::kClosed;
        }
        if (wakeFd >= 0 && (p[1].revents & POLLIN) != 0) {
            return Wait::kWoken;
        }
        if (rc == 0) {
            return Wait::kTimeout;
        }
        uint8_t buf[4096];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                continue;
            }
            closed_ = true;
            continue;
        }
        parser_.feed(buf, static_cast<size_t>(n));
    }
}

bool Connection::waitClosed(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!closed_) {
        pollfd p{fd_, POLLIN, 0};
        const int rc = poll(&p, 1, remainingMs(deadline));
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc <= 0) {
            return false;
        }
        uint8_t buf[4096];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            parser_.feed(buf, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            closed_ = true;
        }
    }
    return true;
}

} // namespace station
