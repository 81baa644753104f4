// A fake gateway in the test's own process: a small TCP server that speaks
// the frame format and answers, stalls, closes or vanishes as each test
// needs, one client at a time like the real service. By default it answers
// the model query with its model, the MAC query with 02:47:57:01:01:<port>,
// the build version with "2.3" and every other code with a bare pass.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "wire/connection.h"
#include "wire/input.h"

namespace sandbox {

using Bytes = std::vector<uint8_t>;

// What the fake does with one request.
struct Answer {
    int delayMs = 0;
    std::optional<Bytes> payload; // empty: no reply at all
    bool close = false;           // close the connection instead of replying
    bool vanish = false;          // close it and stop listening: the gateway is gone
    uint16_t code = 0;            // the reply's code, when not the request's
};

class FakeGateway {
public:
    // `busyMs`: accepts no connection during the first busyMs (another
    // station has it).
    explicit FakeGateway(std::string modelText, int busyMs = 0) : model_(std::move(modelText)), busyMs_(busyMs)
    {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(listen_, reinterpret_cast<sockaddr *>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        ::listen(listen_, 3);
        pipe(stop_);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeGateway()
    {
        [[maybe_unused]] auto n = write(stop_[1], "x", 1);
        thread_.join();
        if (listen_ >= 0) {
            close(listen_);
        }
        close(stop_[0]);
        close(stop_[1]);
    }

    uint16_t port() const { return port_; }
    station::Target target(const std::string &label = "") const { return station::Target{"127.0.0.1", port_, label}; }

    // Answers for a code, one per request in turn; the last one stays.
    void set(uint16_t code, std::vector<Answer> answers)
    {
        std::lock_guard lock(mutex_);
        answers_[code] = std::deque<Answer>(answers.begin(), answers.end());
    }

    std::vector<uint16_t> requests()
    {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    int connections() const { return connections_.load(); }

private:
    Answer answerFor(uint16_t code)
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(code);
        auto at = answers_.find(code);
        if (at != answers_.end() && !at->second.empty()) {
            Answer a = at->second.front();
            if (at->second.size() > 1) {
                at->second.pop_front();
            }
            return a;
        }
        Answer a;
        a.payload = Bytes{0};
        if (code == 0x0005) {
            a.payload->insert(a.payload->end(), model_.begin(), model_.end());
            a.payload->push_back(0);
        } else if (code == 0x0001) {
            *a.payload = {0, 0x02, 0x47, 0x57, 0x01, 0x01, static_cast<uint8_t>(port_ & 0xFF)};
        } else if (code == 0x0002) {
            *a.payload = {0, '2', '.', '3', 0};
        }
        return a;
    }

    // false when told to stop
    bool sleepMs(int ms)
    {
        pollfd p{stop_[0], POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }

    void serve()
    {
        if (busyMs_ > 0 && !sleepMs(busyMs_)) {
            return;
        }
        for (;;) {
            pollfd p[2] = {{listen_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            poll(p, 2, -1);
            if (p[1].revents != 0) {
                return;
            }
            const int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            ++connections_;
            const bool gone = serveClient(fd);
            close(fd);
            if (gone) {
                close(listen_);
                listen_ = -1;
                sleepMs(-1);
                return;
            }
        }
    }

    // true when the gateway vanished
    bool serveClient(int fd)
    {
        station::ReplyParser parser;
        for (;;) {
            pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            poll(p, 2, -1);
            if (p[1].revents != 0) {
                return false;
            }
            uint8_t buf[512];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) {
                return false;
            }
            parser.feed(buf, static_cast<size_t>(n));
            while (auto request = parser.next()) {
                const Answer a = answerFor(request->code);
                if (a.delayMs > 0 && !sleepMs(a.delayMs)) {
                    return false;
                }
                if (a.vanish) {
                    return true;
                }
                if (a.close) {
                    return false;
                }
                if (a.payload) {
                    const uint16_t code = a.code != 0 ? a.code : static_cast<uint16_t>(request->code | 0x8000);
                    const Bytes frame = station::encodeRequest(code, *a.payload);
                    send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
                }
            }
        }
    }

    std::string model_;
    int busyMs_ = 0;
    int listen_ = -1;
    uint16_t port_ = 0;
    int stop_[2] = {-1, -1};
    std::mutex mutex_;
    std::map<uint16_t, std::deque<Answer>> answers_;
    std::vector<uint16_t> requests_;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

} // namespace sandbox
