// gwtest serve: the station page. Every gateway of the station as a card in
// a browser, started and answered by touch, with the day's history.
#include <csignal>
#include <cstdio>
#include <memory>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "front/commands.h"
#include "front/lineOptions.h"
#include "front/unitCheck.h"
#include "front/web/engineRunner.h"
#include "front/web/hub.h"
#include "front/web/recordsHistory.h"
#include "front/web/server.h"
#include "front/web/slots.h"
#include "records/records.h"
#include "wire/input.h"

namespace station::cli {

namespace {

struct ServeOptions {
    std::string listen = "127.0.0.1:8080";
    std::string records = "records";
    std::string slotsFile;
    std::string token;
    std::vector<std::string> gateways;
    std::string model = "auto";
    std::vector<std::string> only;
    std::vector<std::string> skip;
    int retries = 0;
    std::string station;
    std::string profile; // the line's profile, "" for none
    std::string db;      // the line's database, --db
    std::string gang = "on";
    int gangWaitSeconds = 20;
};

int serve(const ServeOptions &o)
{
    // The gateways: the slots file, then those on the command line.
    std::vector<Target> targets;
    std::vector<std::string> errors;
    if (!o.slotsFile.empty()) {
        web::readSlotsFile(o.slotsFile, targets, errors);
    }
    for (const std::string &text : o.gateways) {
        Target target;
        std::string error;
        if (parseTarget(text, target, error)) {
            targets.push_back(target);
        } else {
            errors.push_back(error);
        }
    }
    std::string listenHost;
    uint16_t listenPort = 0;
    std::string error;
    if (!parseListen(o.listen, listenHost, listenPort, error)) {
        errors.push_back(error);
    }
    RunOptions run;
    run.retries = o.retries;
    run.station = o.station.empty() ? defaultStationName() : o.station;
    run.gangs = o.gang == "on";
    run.gangWaitMs = o.gangWaitSeconds * 1000;
    loadProfileOption(o.profile, run, errors);
    if (!parseModelOption(o.model, run.model, error)) {
        errors.push_back(error);
    }
    if (!parseTestList(o.only, "--only", run.only, error) || !parseSkipList(o.skip, run.skip, error)) {
        errors.push_back(error);
    }
    if (!errors.empty()) {
        for (const auto &line : errors) {
            std::fprintf(stderr, "gwtest: %s\n", line.c_str());
        }
        return kExitUsage;
    }

    // SIGINT and SIGTERM end the page; a thread of its own waits for them,
    // so they are blocked in every thread started from here on (the
    // records' writer and the line's forwarder are the first).
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // The records are checked before the page opens.
    auto records = openRecords(o.records, error);
    if (!records) {
        std::fprintf(stderr, "gwtest: %s\n", error.c_str());
        return kExitSoftware;
    }
    // The line's database: refused now (wrong password, unknown database),
    // or unreachable and said once while testing goes on.
    std::unique_ptr<line::LineForwarder> lineDb;
    if (const int lineStatus = line::openStationLine(o.db, o.records, lineDb); lineStatus != 0) {
        return lineStatus;
    }
    line::RecordsThenLine sink(records.get(), lineDb.get());
    run.checkUnit = unitChecker(records.get(), o.records, o.db);

    web::Hub hub(!o.token.empty());
    for (const Target &target : targets) {
        hub.addSlot(target);
    }
    web::RecordsHistory history(o.records);
    {
        web::EngineRunner runner(run, hub, &sink);
        web::Server server(web::ServerConfig{o.token, o.records}, hub, runner, &history);
        if (!server.bind(o.listen, error)) {
            std::fprintf(stderr, "gwtest: %s\n", error.c_str());
            return kExitSoftware;
        }
        // The address as a browser takes it, with the port really bound.
        const std::string shownHost = listenHost.find(':') != std::string::npos ? "[" + listenHost + "]" : listenHost;
        const std::string shown = shownHost + ":" + std::to_string(server.port());
        std::printf("gwtest: the station page is at http://%s/ (%zu gateway%s; records in %s%s)\n", shown.c_str(),
                    targets.size(), targets.size() == 1 ? "" : "s", o.records.c_str(),
                    o.token.empty() ? "" : "; actions need the token");
        std::fflush(stdout);
        const bool loopback =
            o.listen.rfind("127.", 0) == 0 || o.listen.rfind("[::1]", 0) == 0 || o.listen.rfind("localhost", 0) == 0;
        if (!loopback && o.token.empty()) {
            std::fprintf(stderr, "gwtest: the page is open to the network without a token: anyone who reaches it "
                                 "can start, stop and answer (see --token)\n");
        }

        std::thread watcher([&server, &runner, signals] {
            int signal = 0;
            sigwait(&signals, &signal);
            if (signal == SIGINT || signal == SIGTERM) {
                runner.stop();
                server.stop();
            }
        });
        const bool served = server.serve();
        if (!served) {
            std::fprintf(stderr, "gwtest: the page could not be served on %s\n", o.listen.c_str());
        }
        // Ends the watcher, whoever ended the server.
        pthread_kill(watcher.native_handle(), SIGTERM);
        watcher.join();
        runner.stop();
        // The runner's destructor waits for every run to end, so the records
        // hold everything measured.
    }
    if (lineDb) {
        lineDb->finish(line::kFinishMs); // what the records hold, sent to the line
    }
    std::printf("gwtest: the station page has stopped; records in %s\n", o.records.c_str());
    return kExitPass;
}

} // namespace

void addServeCommand(CLI::App &app, int &status)
{
    auto *cmd = app.add_subcommand("serve", "serve the station page: every gateway of the station in a browser");
    static ServeOptions o;
    cmd->add_option("GATEWAY", o.gateways, "gateways to add as slots: HOST[:PORT][=LABEL]");
    cmd->add_option("--listen", o.listen, "address of the page (default 127.0.0.1:8080; 0.0.0.0:8080 for the LAN)");
    cmd->add_option("--records", o.records, "the records directory (default ./records)");
    cmd->add_option("--slots", o.slotsFile, "file of the station's gateways, one 'HOST[:PORT] [LABEL]' a line");
    cmd->add_option("--token", o.token, "actions on the page (start, stop, answer, add) need this token")
        ->envname("GWTEST_TOKEN");
    cmd->add_option("--model", o.model,
                    "auto (ask the gateway) or " + std::string(catalogue::kModelList) + ", in any case");
    cmd->add_option("--only", o.only, "run only these tests (names or codes, comma-separated)")->delimiter(',');
    cmd->add_option("--skip", o.skip, "leave these tests out (names or codes, comma-separated)")->delimiter(',');
    cmd->add_option("--retries", o.retries, "extra attempts of a failed or silent test")->check(CLI::Range(0, 5));
    cmd->add_option("--station", o.station, "station id in the records (default: this host's name)");
    cmd->add_option("--profile", o.profile, kProfileHelp)->envname("GWTEST_PROFILE");
    cmd->add_option("--gang", o.gang,
                    "on (default): the gateways of a start that reach the same operator test are asked about "
                    "together, on one card; off: one gateway at a time")
        ->check(CLI::IsMember({"on", "off"}));
    cmd->add_option("--gang-wait", o.gangWaitSeconds,
                    "seconds a gang waits for the rest of its start's gateways before it goes (default 20)")
        ->check(CLI::Range(1, 3600));
    line::attachLineDatabase(cmd, o.db);
    cmd->callback([&status] { status = serve(o); });
}

} // namespace station::cli
