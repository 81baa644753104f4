// The figures of a line of stations: the whole line, then each station's,
// from rows of several stations (the line's database).
#include <cstdio>
#include <map>

#include "report/report.h"

namespace station::report {

std::string formatLine(const records::Rows &rows, const records::Filter &filter, bool json)
{
    std::map<std::string, records::Rows> byStation;
    for (const auto &run : rows.runs) {
        byStation[run.station].runs.push_back(run);
    }
    for (const auto &result : rows.results) {
        byStation[result.station].results.push_back(result);
    }
    const Summary line = summarise(rows, filter);
    std::string out;
    if (json) {
        auto trimmed = [](std::string text) {
            while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
                text.pop_back();
            }
            return text;
        };
        out = "{\"line\": " + trimmed(summaryJson(line)) + ", \"stations\": [";
        bool first = true;
        for (const auto &[station, stationRows] : byStation) {
            // Station ids are the records' own; quote what JSON needs quoted.
            std::string quoted;
            for (const char c : station) {
                if (c == '"' || c == '\\') {
                    quoted += '\\';
                }
                if (static_cast<unsigned char>(c) < 0x20) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    quoted += esc;
                    continue;
                }
                quoted += c;
            }
            out += std::string(first ? "" : ", ") + "{\"station\": \"" + quoted +
                   "\", \"summary\": " + trimmed(summaryJson(summarise(stationRows, filter))) + "}";
            first = false;
        }
        return out + "]}\n";
    }
    std::vector<StationSummary> stations;
    for (const auto &[station, stationRows] : byStation) {
        stations.push_back({station, summarise(stationRows, filter)});
    }
    out = "The line: " + std::to_string(byStation.size()) + " station" + (byStation.size() == 1 ? "" : "s") + "\n\n" +
          formatStationTable(stations) + "\n" + formatSummary(line);
    for (const auto &st : stations) {
        out += "\n== Station " + st.station + "\n\n" + formatSummary(st.summary);
    }
    return out;
}

} // namespace station::report
