// gwtest report: figures over the station's records, or one unit's history.
#include <cstdio>
#include <string>

#include "front/commands.h"
#include "front/lineOptions.h"
#include "line/loader.h"
#include "records/loader.h"
#include "report/report.h"
#include "wire/input.h"

namespace station::cli {

namespace {

struct ReportArgs {
    std::string records = "records";
    std::string since;
    std::string model;
    std::string mac;
    std::string serial;
    bool duplicates = false;
    bool json = false;
    std::string db; // the line's database: every station's records
};

int report(const ReportArgs &args)
{
    records::Filter filter;
    std::string error;
    if (!args.since.empty() && !parseSince(args.since, filter.since, error)) {
        std::fprintf(stderr, "gwtest report: %s\n", error.c_str());
        return kExitUsage;
    }
    if (!args.model.empty() && !parseModel(args.model, filter.model, error)) {
        std::fprintf(stderr, "gwtest report: --model: %s\n", error.c_str());
        return kExitUsage;
    }
    if (!args.mac.empty()) {
        const auto mac = normaliseMac(args.mac);
        if (!mac) {
            std::fprintf(stderr,
                         "gwtest report: --mac: '%s' is not a MAC address; expected 12 hexadecimal digits, alone or "
                         "in pairs parted by colons or dashes (02:47:57:04:04:00)\n",
                         args.mac.c_str());
            return kExitUsage;
        }
        filter.mac = *mac;
    }
    if (!args.serial.empty()) {
        if (!validSerial(args.serial, error)) {
            std::fprintf(stderr, "gwtest report: --serial: %s\n", error.c_str());
            return kExitUsage;
        }
        filter.serial = args.serial;
    }
    // Duplicates are found among the runs alone; their results are not read.
    filter.results = !args.duplicates;
    records::Rows rows;
    const bool loaded = args.db.empty() ? records::loadSqlite(args.records, filter, rows, error)
                                        : line::loadLine(args.db, filter, rows, error);
    if (!loaded) {
        std::fprintf(stderr, "gwtest report: %s\n", error.c_str());
        return kExitSoftware;
    }
    std::string out;
    if (args.duplicates) {
        const auto duplicates = records::findDuplicates(rows.runs);
        out = args.json ? report::duplicatesJson(duplicates) : report::formatDuplicates(duplicates);
    } else if (!filter.mac.empty() || !filter.serial.empty()) {
        const auto history = report::unitHistory(rows, filter);
        out = args.json ? report::historyJson(history) : report::formatHistory(history);
    } else if (!args.db.empty()) {
        out = report::formatLine(rows, filter, args.json); // the line, then each station
    } else {
        const auto summary = report::summarise(rows, filter);
        out = args.json ? report::summaryJson(summary) : report::formatSummary(summary);
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return kExitPass;
}

} // namespace

void addReportCommand(CLI::App &app, int &status)
{
    auto *cmd = app.add_subcommand(
        "report", "figures over the records: units tested, first-pass yield, pass rate and median "
                  "duration per test and per model, the slowest and the most failing tests; with "
                  "--mac or --serial one unit's history; --duplicates the MACs and serial numbers found on more "
                  "than one unit; with --db every station of the line.\nExit status: 0, 64 usage error, "
                  "70 the records could not be read.");
    static ReportArgs args;
    auto *records = cmd->add_option("--records", args.records, "the records directory (default: ./records)");
    cmd->add_option("--since", args.since, "only runs started on or after DATE (UTC): YYYY-MM-DD[THH:MM[:SS]]");
    cmd->add_option("--model", args.model, "only this model: " + std::string(catalogue::kModelList) + ", in any case");
    cmd->add_option("--mac", args.mac, "one unit's history: its MAC, any case, with or without colons");
    auto *serial = cmd->add_option("--serial", args.serial, "one unit's history: the serial number on its label");
    cmd->get_option("--mac")->excludes(serial);
    cmd->add_flag("--duplicates", args.duplicates,
                  "the MACs recorded under more than one serial number, and the serial numbers recorded with more "
                  "than one MAC (with --db: across the line)")
        ->excludes(serial)
        ->excludes("--mac");
    cmd->add_flag("--json", args.json, "JSON instead of text");
    line::attachLineDatabase(cmd, args.db)->excludes(records);
    cmd->callback([&status] { status = report(args); });
}

} // namespace station::cli
