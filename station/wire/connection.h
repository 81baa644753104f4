// The test station's connection to a gateway's test service.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace station {

struct Reply {
    uint16_t code = 0; // as on the wire, reply bit included
    std::vector<uint8_t> payload;
};

// Encodes a request frame.
std::vector<uint8_t> encodeRequest(uint16_t code, const std::vector<uint8_t> &payload = {});

// Incremental reply parser: feed bytes, take complete frames. Bytes before a
// header are skipped; a frame whose checksum fails is dropped.
class ReplyParser {
public:
    void feed(const uint8_t *bytes, size_t n);
    std::optional<Reply> next();

private:
    std::vector<uint8_t> pending_;
};

class Connection {
public:
    Connection() = default;
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    Connection(Connection &&other) noexcept;
    ~Connection();

    // Connects within the time-out; false with a message on failure.
    bool open(const std::string &host, uint16_t port, int timeoutMs, std::string &error);
    // The same, given up early when `wakeFd` becomes readable (a stop).
    bool open(const std::string &host, uint16_t port, int timeoutMs, int wakeFd, std::string &error);
    bool sendBytes(const std::vector<uint8_t> &bytes);
    bool sendRequest(uint16_t code, const std::vector<uint8_t> &payload = {});
    // Waits for the reply to `code` (bit 0x80 set on the high byte).
    // Empty on time-out or when the service closed the connection.
    std::optional<Reply> waitReply(uint16_t code, int timeoutMs);

    // The same, for a caller that must be woken from another thread: the
    // wait also ends when `wakeFd` (an eventfd or a pipe's read end; -1 for
    // none) becomes readable. A reply with another code is kept in
    // `strayCode` (the last one seen; 0 when none).
    enum class Wait : uint8_t { kReply, kTimeout, kClosed, kWoken };
    Wait waitReply(uint16_t code, int timeoutMs, int wakeFd, Reply &reply, uint16_t &strayCode);
    // Waits until the service closes the connection; true when it did.
    bool waitClosed(int timeoutMs);
    bool closedByPeer() const { return closed_; }
    int fd() const { return fd_; }
    void close();

private:
    int fd_ = -1;
    bool closed_ = false;
    ReplyParser parser_;
};

} // namespace station
