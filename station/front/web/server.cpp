// The station page's HTTP server on cpp-httplib. The only file that includes
// the library's header.
#include "front/web/server.h"

#include <httplib.h>

#include "front/web/json.h"
#include "front/web/page.h"
#include "front/web/slots.h"
#include "records/reader.h"

namespace station::web {

namespace {

constexpr size_t kMaxBody = 16 * 1024;
constexpr int kKeepAliveMs = 5000; // a comment line on a quiet stream, so a closed page is noticed

const char *typeOf(std::string_view name)
{
    if (name.ends_with(".html")) {
        return "text/html; charset=utf-8";
    }
    if (name.ends_with(".css")) {
        return "text/css; charset=utf-8";
    }
    if (name.ends_with(".js")) {
        return "text/javascript; charset=utf-8";
    }
    if (name.ends_with(".svg")) {
        return "image/svg+xml";
    }
    return "application/octet-stream";
}

void sendJson(httplib::Response &res, int status, const std::string &json)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(json, "application/json");
}

void sendError(httplib::Response &res, int status, const std::string &message)
{
    Json object(json_object());
    put(object.get(), "error", message);
    sendJson(res, status, dump(object.get()));
}

// Equal without telling by its time how much of the token was right.
bool sameToken(const std::string &given, const std::string &token)
{
    unsigned diff = given.size() == token.size() ? 0U : 1U;
    for (size_t i = 0; i < given.size(); ++i) {
        diff |= static_cast<unsigned>(static_cast<unsigned char>(given[i]) ^
                                      static_cast<unsigned char>(token[i % std::max<size_t>(token.size(), 1)]));
    }
    return diff == 0;
}

} // namespace

struct Server::Impl {
    ServerConfig config;
    Hub &hub;
    Runner &runner;
    History *history;
    httplib::Server http;
    int port = 0;
    std::mutex stateMutex;
    bool stopRequested = false;
    bool serving = false;

    Impl(ServerConfig c, Hub &h, Runner &r, History *hist) : config(std::move(c)), hub(h), runner(r), history(hist) {}

    // The checks of every action: a JSON body from this page's own origin,
    // and the token when the station has one. False with the response set.
    bool actionAllowed(const httplib::Request &req, httplib::Response &res) const
    {
        if (!config.token.empty()) {
            std::string given = req.get_header_value("X-Gwtest-Token");
            const std::string auth = req.get_header_value("Authorization");
            if (given.empty() && auth.rfind("Bearer ", 0) == 0) {
                given = auth.substr(7);
            }
            if (given.empty()) {
                sendError(res, 401, "this station needs its token for that");
                return false;
            }
            if (!sameToken(given, config.token)) {
                sendError(res, 403, "wrong token");
                return false;
            }
        }
        // A form of another site cannot send JSON without asking first (and
        // nothing here answers that question), nor fake its Origin.
        const std::string type = req.get_header_value("Content-Type");
        if (type.rfind("application/json", 0) != 0) {
            sendError(res, 415, "actions take a JSON body (Content-Type: application/json)");
            return false;
        }
        const std::string origin = req.get_header_value("Origin");
        if (!origin.empty() && origin != "http://" + req.get_header_value("Host")) {
            sendError(res, 403, "actions come from the station's own page only");
            return false;
        }
        return true;
    }

    Json body(const httplib::Request &req, httplib::Response &res) const
    {
        const std::string text = req.body.empty() ? "{}" : req.body;
        Json object = parseObject(text);
        if (!object) {
            sendError(res, 400, "the body is not a JSON object");
        }
        return object;
    }

    void start(const std::vector<int> &ids, httplib::Response &res)
    {
        std::string error;
        if (!hub.reserve(ids, error)) {
            sendError(res, 409, error);
            return;
        }
        std::vector<std::pair<int, Target>> slots;
        for (int id : ids) {
            slots.emplace_back(id, hub.slot(id)->target);
        }
        if (!runner.start(slots, error)) {
            hub.release(ids, error);
            sendError(res, 500, error);
            return;
        }
        Json reply(json_object());
        json_t *started = json_array();
        for (int id : ids) {
            json_array_append_new(started, json_integer(id));
        }
        put(reply.get(), "started", started);
        sendJson(res, 202, dump(reply.get()));
    }

    static constexpr const char *notOpen = "that question is not open (answered already, or its test ended)";

    // A gang's answer: no for the slots listed (the page's slot ids), yes
    // for the rest of its members.
    void answerGang(uint64_t prompt, const json_t *noValue, httplib::Response &res)
    {
        if (!json_is_array(noValue) || json_array_size(noValue) > 256) {
            sendError(res, 400, "no is the list of slot ids answered no: {\"prompt\": \"17\", \"no\": [2, 5]}");
            return;
        }
        std::vector<int> noSlots;
        size_t index = 0;
        const json_t *item = nullptr;
        json_array_foreach(noValue, index, item)
        {
            if (!json_is_integer(item) || json_integer_value(item) < 0 || json_integer_value(item) > 65535) {
                sendError(res, 400, "no is the list of slot ids answered no: {\"prompt\": \"17\", \"no\": [2, 5]}");
                return;
            }
            const int slot = static_cast<int>(json_integer_value(item));
            if (std::find(noSlots.begin(), noSlots.end(), slot) == noSlots.end()) {
                noSlots.push_back(slot);
            }
        }
        // The page knows the question's gateways: one it does not ask about
        // is a mistake of the sender, told as such (not as a closed question).
        const auto gang = hub.gang(prompt);
        if (!gang) {
            if (const auto slotPrompt = openSlotPrompt(prompt)) {
                // A gateway asked alone: its own slot is the only one.
                for (int slot : noSlots) {
                    if (slot != *slotPrompt) {
                        sendError(res, 422, notMember(slot, {*slotPrompt}));
                        return;
                    }
                }
            }
        } else {
            std::vector<int> members;
            for (const GangMember &member : gang->members) {
                members.push_back(member.slot);
            }
            for (int slot : noSlots) {
                if (std::find(members.begin(), members.end(), slot) == members.end()) {
                    sendError(res, 422, notMember(slot, members));
                    return;
                }
            }
        }
        if (!runner.answer(prompt, noSlots)) {
            sendError(res, 409, notOpen);
            return;
        }
        sendJson(res, 200, "{\"answered\":true}");
    }

    // The slot whose card holds that open question, asked alone.
    std::optional<int> openSlotPrompt(uint64_t prompt) const
    {
        for (const Slot &slot : hub.slots()) {
            if (slot.prompt && slot.prompt->id == prompt) {
                return slot.id;
            }
        }
        return std::nullopt;
    }

    static std::string notMember(int slot, const std::vector<int> &members)
    {
        std::string message = "slot ";
        message += std::to_string(slot);
        message += " is not asked about in that question (its slots: ";
        for (size_t i = 0; i < members.size(); ++i) {
            if (i > 0) {
                message += ", ";
            }
            message += std::to_string(members[i]);
        }
        message += ')';
        return message;
    }

    void routes()
    {
        using httplib::Request;
        using httplib::Response;

        http.set_payload_max_length(kMaxBody);
        // The library's default also sets SO_REUSEPORT, with which a second
        // station on the same port would start without a word and take half
        // of the requests. SO_REUSEADDR only: a restart binds at once, a
        // second station is refused.
        http.set_socket_options([](socket_t sock) {
            const int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        http.set_default_headers({{"X-Content-Type-Options", "nosniff"}, {"Referrer-Policy", "no-referrer"}});

        for (const PageFile &file : pageFiles()) {
            std::string path = "/";
            if (file.name != "index.html") {
                path.append(file.name);
            }
            http.Get(path, [file](const Request &, Response &res) {
                res.set_header("Content-Security-Policy",
                               "default-src 'self'; img-src 'self' data:; object-src 'none'; frame-ancestors 'none'");
                res.set_header("Cache-Control", "no-cache");
                res.set_content(file.body.data(), file.body.size(), typeOf(file.name));
            });
        }

        http.Get("/api/slots", [this](const Request &, Response &res) {
            std::string json = "{\"tokenRequired\":";
            json += config.token.empty() ? "false" : "true";
            json += ",\"slots\":[";
            const int64_t now = unixMsNow();
            bool first = true;
            for (const Slot &slot : hub.slots()) {
                if (!first) {
                    json += ',';
                }
                json += slotJson(slot, now);
                first = false;
            }
            json += "],\"gangs\":";
            json += hub.gangsJson(now);
            json += ",\"operator\":";
            Json id(jsonText(hub.operatorId()));
            json += dump(id.get());
            json += '}';
            sendJson(res, 200, json);
        });

        http.Get("/api/events", [this](const Request &, Response &res) {
            auto stream = hub.openStream();
            if (!stream) {
                sendError(res, 503, "too many pages open on this station");
                return;
            }
            res.set_header("Cache-Control", "no-store");
            res.set_header("X-Accel-Buffering", "no");
            auto first = std::make_shared<bool>(true);
            res.set_chunked_content_provider(
                "text/event-stream",
                [stream, first](size_t, httplib::DataSink &sink) {
                    std::string out;
                    if (*first) {
                        out = "retry: 1000\n\n"; // a lost stream comes back within a second
                        *first = false;
                    }
                    std::string messages;
                    if (!stream->take(messages, kKeepAliveMs)) {
                        sink.done();
                        return true;
                    }
                    out += messages.empty() ? ": still here\n\n" : messages;
                    return sink.write(out.data(), out.size());
                },
                [this, stream](bool) { hub.closeStream(stream); });
        });

        http.Post("/api/slots", [this](const Request &req, Response &res) {
            if (!actionAllowed(req, res)) {
                return;
            }
            Json object = body(req, res);
            if (!object) {
                return;
            }
            const char *address = json_string_value(json_object_get(object.get(), "address"));
            const json_t *labelValue = json_object_get(object.get(), "label");
            if (address == nullptr) {
                sendError(res, 400, "give the gateway's address: {\"address\": \"HOST[:PORT]\", \"label\": \"A1\"}");
                return;
            }
            Target target;
            std::string error;
            if (!parseAddress(address, target.host, target.port, error)) {
                sendError(res, 400, error);
                return;
            }
            if (labelValue != nullptr && !json_is_null(labelValue)) {
                const char *label = json_string_value(labelValue);
                if (label == nullptr || (*label != '\0' && !validLabel(label, error))) {
                    sendError(res, 400, label == nullptr ? "the label is text" : "bad label: " + error);
                    return;
                }
                target.label = label;
            }
            if (hub.slotCount() >= 256) {
                sendError(res, 409, "this station has 256 slots already");
                return;
            }
            const int id = hub.addSlot(target);
            sendJson(res, 201, slotJson(*hub.slot(id), unixMsNow()));
        });

        http.Post(R"(/api/slots/([^/]+)/start)", [this](const Request &req, Response &res) {
            if (!actionAllowed(req, res)) {
                return;
            }
            const auto id = parseSlotId(req.matches[1], hub.slotCount());
            if (!id) {
                sendError(res, 404, "no slot '" + cleanUtf8(req.matches[1].str().substr(0, 16)) + "'");
                return;
            }
            start({*id}, res);
        });

        http.Post("/api/start-all", [this](const Request &req, Response &res) {
            if (!actionAllowed(req, res)) {
                return;
            }
            start(hub.idleSlots(), res);
        });

        // The person at the station signs in by name or badge number: no
        // password (the token guards actions), kept with every run started
        // from then on. An empty id signs out.
        http.Post("/api/operator", [this](const Request &req, Response &res) {
            if (!actionAllowed(req, res)) {
                return;
            }
            Json object = body(req, res);
            if (!object) {
                return;
            }
            const char *id = json_string_value(json_object_get(object.get(), "operator"));
            std::string error;
            if (id == nullptr) {
                sendError(res, 400, "give the operator's id: {\"operator\": \"op-7\"} (\"\" signs out)");
                return;
            }
            if (*id != '\0' && !validOperatorId(id, error)) {
                sendError(res, 400, error);
                return;
            }
            hub.signIn(id);
            Json reply(json_object());
            put(reply.get(), "operator", std::string(id));
            sendJson(res, 200, dump(reply.get()));
        });

        http.Post("/api/stop", [this](const Request &req, Response &res) {
            if (!actionAllowed(req, res)) {
                return;
            }
            runner.stop();
            sendJson(res, 202, "{\"stopping\":true}");
        });

        http.Post("/api/answer", [this](const Request &req, Response &res) {
            if (!actionAllowed(req, res)) {
                return;
            }
            Json object = body(req, res);
            if (!object) {
                return;
            }
            const json_t *promptValue = json_object_get(object.get(), "prompt");
            const json_t *yesValue = json_object_get(object.get(), "yes");
            std::optional<uint64_t> prompt;
            if (const char *text = json_string_value(promptValue)) {
                const std::string digits = text;
                if (!digits.empty() && digits.size() <= 19 &&
                    std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                    prompt = std::stoull(digits);
                }
            } else if (json_is_integer(promptValue) && json_integer_value(promptValue) >= 0) {
                prompt = static_cast<uint64_t>(json_integer_value(promptValue));
            }
            const json_t *noValue = json_object_get(object.get(), "no");
            if (!prompt || (noValue == nullptr && !json_is_boolean(yesValue)) ||
                (noValue != nullptr && yesValue != nullptr)) {
                sendError(res, 400,
                          "give the prompt and the answer: {\"prompt\": \"17\", \"yes\": true}, or for a gang "
                          "the slots answered no: {\"prompt\": \"17\", \"no\": [2, 5]}");
                return;
            }
            if (noValue == nullptr) {
                if (!runner.answer(*prompt, json_is_true(yesValue))) {
                    sendError(res, 409, notOpen);
                    return;
                }
                sendJson(res, 200, "{\"answered\":true}");
                return;
            }
            answerGang(*prompt, noValue, res);
        });

        http.Get("/api/history", [this](const Request &req, Response &res) {
            if (history == nullptr) {
                sendError(res, 404, "this station keeps no records");
                return;
            }
            const std::string since = req.get_param_value("since");
            if (!since.empty() && !validDay(since)) {
                sendError(res, 400, "since is a day: YYYY-MM-DD");
                return;
            }
            std::string json;
            std::string error;
            if (!history->summary(since, json, error)) {
                sendError(res, 500, error);
                return;
            }
            sendJson(res, 200, json);
        });

        http.Get(R"(/api/units/([^/]+))", [this](const Request &req, Response &res) {
            if (history == nullptr) {
                sendError(res, 404, "this station keeps no records");
                return;
            }
            const auto mac = normaliseMac(req.matches[1]);
            if (!mac) {
                sendError(res, 400, "a MAC is six bytes in hex: 02:47:57:04:04:00");
                return;
            }
            std::string json;
            std::string error;
            if (!history->unit(*mac, json, error)) {
                sendError(res, 500, error);
                return;
            }
            sendJson(res, 200, json);
        });

        http.Get(R"(/records/junit/([^/]+))", [this](const Request &req, Response &res) {
            const std::string name = req.matches[1];
            std::string text;
            if (!safeRecordName(name, ".xml") || config.recordsDir.empty() ||
                !records::readJunit(config.recordsDir, name, text)) {
                sendError(res, 404, "no such JUnit record");
                return;
            }
            res.set_header("Content-Security-Policy", "default-src 'none'");
            res.set_content(text, "application/xml");
        });

        http.Get(R"(/records/runs/([^/]+)\.json)", [this](const Request &req, Response &res) {
            const std::string runId = req.matches[1];
            if (!safeRecordName(runId + ".json", ".json") || config.recordsDir.empty()) {
                sendError(res, 404, "no such run");
                return;
            }
            std::vector<std::string> runLines;
            if (!records::runLines(config.recordsDir, runId, runLines)) {
                sendError(res, 404, "no such run");
                return;
            }
            // The run's lines of records.jsonl, as one JSON array.
            Json lines(json_array());
            for (const std::string &line : runLines) {
                json_error_t error;
                Json object(json_loads(line.c_str(), 0, &error));
                if (object) {
                    json_array_append(lines.get(), object.get());
                }
            }
            if (json_array_size(lines.get()) == 0) {
                sendError(res, 404, "no such run");
                return;
            }
            res.set_header("Content-Security-Policy", "default-src 'none'");
            sendJson(res, 200, dump(lines.get()));
        });

        http.set_error_handler([](const Request &, Response &res) {
            if (res.body.empty()) {
                sendError(res, res.status, res.status == 404 ? "no such page" : "bad request");
            }
        });
        http.set_exception_handler([](const Request &, Response &res, std::exception_ptr) {
            sendError(res, 500, "the station could not answer that");
        });
    }

    static bool validDay(const std::string &day)
    {
        if (day.size() != 10 || day[4] != '-' || day[7] != '-') {
            return false;
        }
        for (size_t i = 0; i < day.size(); ++i) {
            if (i != 4 && i != 7 && (day[i] < '0' || day[i] > '9')) {
                return false;
            }
        }
        const int month = std::stoi(day.substr(5, 2));
        const int dayOfMonth = std::stoi(day.substr(8, 2));
        return month >= 1 && month <= 12 && dayOfMonth >= 1 && dayOfMonth <= 31;
    }
};

Server::Server(ServerConfig config, Hub &hub, Runner &runner, History *history)
    : impl_(std::make_unique<Impl>(std::move(config), hub, runner, history))
{
    // Each open page holds one of these threads for its stream; the rest
    // serve requests.
    impl_->http.new_task_queue = [] { return new httplib::ThreadPool(Hub::kMaxStreams + 8); };
    impl_->routes();
}

Server::~Server() { stop(); }

bool Server::bind(const std::string &address, std::string &error)
{
    std::string host;
    uint16_t port = 0;
    if (!parseListen(address, host, port, error)) {
        return false;
    }
    if (port == 0) {
        impl_->port = impl_->http.bind_to_any_port(host);
    } else if (impl_->http.bind_to_port(host, port)) {
        impl_->port = port;
    } else {
        impl_->port = -1;
    }
    if (impl_->port <= 0) {
        error = "cannot listen on " + address + " (address in use, or not one of this machine's)";
        return false;
    }
    return true;
}

int Server::port() const { return impl_->port; }

bool Server::serve()
{
    {
        std::lock_guard lock(impl_->stateMutex);
        if (impl_->stopRequested) {
            return true;
        }
        impl_->serving = true;
    }
    const bool ok = impl_->http.listen_after_bind();
    std::lock_guard lock(impl_->stateMutex);
    impl_->serving = false;
    return ok;
}

void Server::stop()
{
    impl_->hub.close();
    // The library's stop() acts on a running server only: a stop that comes
    // while serve() is still on its way in waits until the loop runs.
    for (;;) {
        {
            std::lock_guard lock(impl_->stateMutex);
            impl_->stopRequested = true;
            if (!impl_->serving) {
                return;
            }
            if (impl_->http.is_running()) {
                impl_->http.stop();
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace station::web
