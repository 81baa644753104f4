// Serial lines of the gateway: the cellular modems' AT ports (/dev/ttyUSB<n>,
// /dev/ttyS1, /dev/ttyS2) and the NXP radio's UART. A port is opened raw,
// 8N1, without flow control, and is known only by its descriptor, which is
// non-blocking: reads and writes wait in select for at most the caller's
// time-out (milliseconds).
#pragma once

// Opens the tty at the given rate (bits per second, one of the supported
// rates). Returns the descriptor, or -1 (unsupported rate, nothing opened;
// or open failed), -2 (settings unreadable), -3 (settings refused).
int serial_open(const char *path, int baud);

// One write of the whole buffer once the port is writable. Returns the bytes
// written, 0 when the port did not become writable in time, -1 bad argument,
// -2 select failed, -3 port not ready or write failed.
int serial_write(int fd, const void *data, int len, int timeoutMs);

// One read of whatever has arrived once the port is readable; the buffer is
// not terminated. Returns the bytes read, 0 when nothing arrived in time,
// -1 bad argument, -2 select failed, -3 port not ready, -4 end of file or
// read error (the other side hung up).
int serial_read(int fd, void *buf, int size, int timeoutMs);

// Discards unread input and applies the settings of the port opened last.
// Returns 0, -1 bad descriptor, -2 settings refused.
int serial_clear(int fd);

// Closes the port. Returns 0, or -1 for a descriptor of 0 or less, which is
// left alone (standard input is never closed here).
int serial_close(int fd);

// Owner of what serial_open returned: closes the port when it goes out of
// scope, whatever its descriptor. A service started with standard input
// closed gets its port as descriptor 0, which serial_close refuses; the owner
// closes that one too. A negative value (a failed open) closes nothing.
class SerialPort {
public:
    explicit SerialPort(int fd) : fd_(fd) {}
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;
    ~SerialPort();
    int fd() const { return fd_; }

private:
    int fd_;
};
