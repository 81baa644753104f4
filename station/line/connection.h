// One connection to the line's PostgreSQL database (libpq), and the few
// calls the station makes on it. Errors are thrown as PgError; a station
// thread catches them and tells apart "the server is gone" (keep the spool,
// try again later) from "the server said no" (a person must act).
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace station::line {

class PgError : public std::runtime_error {
public:
    PgError(const std::string &message, std::string sqlState, bool connectionLost)
        : std::runtime_error(message), sqlState_(std::move(sqlState)), connectionLost_(connectionLost)
    {
    }
    const std::string &sqlState() const { return sqlState_; }
    // True when the connection broke (server stopped, network gone): the
    // work is retried on a new connection.
    bool connectionLost() const { return connectionLost_; }

private:
    std::string sqlState_;
    bool connectionLost_;
};

// How an attempt to connect ended.
enum class Reach {
    kConnected,
    kUnreachable, // nothing answered (server down, network gone): spool and retry
    kRefused,     // the server answered and refused (password, unknown database, no rights)
    kBadAddress,  // the connection string itself is malformed
};

// A query parameter: text, or SQL NULL.
using PgParam = std::optional<std::string>;

// The rows of a query. libpq's own types stay in connection.cpp: no other
// file of the station includes its header.
class PgResult {
public:
    PgResult();
    PgResult(PgResult &&other) noexcept;
    PgResult &operator=(PgResult &&other) noexcept;
    PgResult(const PgResult &) = delete;
    PgResult &operator=(const PgResult &) = delete;
    ~PgResult();

    int rows() const;
    bool isNull(int row, int col) const;
    std::string text(int row, int col) const;
    std::optional<std::string> optText(int row, int col) const;
    long long integer(int row, int col) const;

private:
    friend class PgConn;
    struct Handle; // libpq's result
    std::unique_ptr<Handle> handle_;
};

class PgConn {
public:
    PgConn();
    PgConn(PgConn &&other) noexcept;
    PgConn &operator=(PgConn &&other) noexcept;
    PgConn(const PgConn &) = delete;
    PgConn &operator=(const PgConn &) = delete;
    ~PgConn();

    // Connects with any libpq connection string ("postgresql://..." or
    // "host=... dbname=..."). The station adds bounded waits (connect and
    // TCP time-outs) that the string may override. On failure `error` says
    // why, in libpq's words.
    static PgConn connect(const std::string &url, const std::string &applicationName, Reach &reach, std::string &error);

    bool ok() const;

    PgResult exec(const std::string &sql, const std::vector<PgParam> &params = {});
    void begin() { exec("BEGIN"); }
    void commit() { exec("COMMIT"); }
    // Rolls back an open transaction; quiet when the connection is gone.
    void rollbackQuietly() noexcept;

private:
    struct Handle; // libpq's connection
    explicit PgConn(std::unique_ptr<Handle> handle);
    std::unique_ptr<Handle> handle_;
};

// Whether libpq can parse the connection string at all; false with why.
bool checkConnectionString(const std::string &url, std::string &error);

// The connection string with any password replaced by "***", for messages.
std::string redactedUrl(const std::string &url);

} // namespace station::line
