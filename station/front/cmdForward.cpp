// gwtest forward: sends the results that wait in a station's records to the
// line's database, then exits (a station that tested while the database was
// unreachable; gwtest run --db does it itself).
#include <cstdio>
#include <memory>
#include <string>

#include "front/commands.h"
#include "front/lineOptions.h"
#include "records/reader.h"

namespace station::cli {

namespace {

struct ForwardArgs {
    std::string records = "records";
    std::string db;
    int waitSec = 60;
};

int forward(const ForwardArgs &args)
{
    const std::string file = recordsDbPath(args.records);
    if (!records::haveRecords(args.records)) {
        std::fprintf(stderr, "gwtest forward: no records in %s (no %s)\n", args.records.c_str(), file.c_str());
        return kExitSoftware;
    }
    std::unique_ptr<line::LineForwarder> forwarder;
    if (const int status = line::openStationLine(args.db, args.records, forwarder); status != 0) {
        return status;
    }
    const line::ForwardCount count = forwarder->finish(args.waitSec * 1000);
    std::printf("%lld results sent to the line database", count.sent);
    if (count.pending > 0) {
        std::printf(", %lld still waiting in %s\n", count.pending, file.c_str());
    } else if (count.pending < 0) {
        std::printf("; the line database was not reached\n");
    } else {
        std::printf(", none waiting\n");
    }
    return count.pending == 0 ? kExitPass : kExitConnection;
}

} // namespace

void addForwardCommand(CLI::App &app, int &status)
{
    auto *cmd = app.add_subcommand(
        "forward", "send the results that wait in the station's records to the line's database (a station that "
                   "tested while the database was unreachable; gwtest run --db does it itself).\n"
                   "Exit status: 0 nothing left waiting, 3 results still wait (database unreachable), 64 usage "
                   "error, 70 the database refused the station or the records could not be read.");
    static ForwardArgs args;
    cmd->add_option("--records", args.records, "the records directory (default: ./records)");
    line::attachLineDatabase(cmd, args.db)->required();
    cmd->add_option("--wait", args.waitSec, "seconds to keep sending at most (default 60)")->check(CLI::Range(1, 3600));
    cmd->callback([&status] { status = forward(args); });
}

} // namespace station::cli
