// The station page's HTTP server: the embedded page, the live stream, the
// actions (start, stop, answer, add a slot) and the records' history.
//
// Reads are open to the factory LAN; every action is a POST with a JSON body
// and, when the station has a token, that token. Request handlers never wait
// for the engine: a start hands the run to the runner and returns.
#pragma once

#include <memory>
#include <string>

#include "front/web/history.h"
#include "front/web/hub.h"
#include "front/web/runner.h"

namespace station::web {

struct ServerConfig {
    std::string token;      // empty: actions need no token
    std::string recordsDir; // where records.jsonl and junit/ are; empty: none
};

class Server {
public:
    Server(ServerConfig config, Hub &hub, Runner &runner, History *history);
    ~Server();
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    // Binds the address ("HOST:PORT", "[V6]:PORT"; port 0: any free one).
    // False with the reason.
    bool bind(const std::string &address, std::string &error);
    int port() const;
    // Serves until stop(); false when serving failed.
    bool serve();
    // From any thread: ends the page streams and the server.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace station::web
