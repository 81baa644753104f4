// The options that gwtest run and gwtest serve share: which model, which
// tests, and the station's name. One reading of them, so that a plan typed
// for the terminal is taken the same way by the page.
#include <unistd.h>

#include "catalogue.h"
#include "front/commands.h"
#include "wire/connection.h"

namespace station::cli {

bool parseModelOption(const std::string &text, std::string &model, std::string &error)
{
    std::string upper = text;
    for (char &c : upper) {
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    if (upper == "AUTO") {
        model = "auto";
        return true;
    }
    if (catalogue::modelBit(upper) != 0) {
        model = upper;
        return true;
    }
    error = "unknown model '" + text + "' (expected auto, GWM0101, GWM0202, GWM0303 or GWM0404)";
    return false;
}

bool parseTestList(const std::vector<std::string> &names, const char *option, std::vector<uint16_t> &codes,
                   std::string &error)
{
    for (const std::string &name : names) {
        const catalogue::Test *row = catalogue::findName(name, catalogue::kEveryModel);
        if (row == nullptr) {
            if (const auto code = parseCode(name)) {
                row = catalogue::findAny(*code);
            }
        }
        if (row == nullptr) {
            error = "unknown test '" + name + "' in " + option +
                    " (expected test names such as mac, ping-host, led-power, or codes such as 0x0101; "
                    "`gwtest codes` lists them)";
            return false;
        }
        codes.push_back(row->code);
    }
    return true;
}

bool parseSkipList(const std::vector<std::string> &names, std::vector<uint16_t> &codes, std::string &error)
{
    if (!parseTestList(names, "--skip", codes, error)) {
        return false;
    }
    for (uint16_t code : codes) {
        if (code == 0x0005 || code == 0x0001) {
            error = std::string("--skip ") + (code == 0x0005 ? "model" : "mac") +
                    ": the station always asks the model and the MAC (the model chooses the plan, the MAC "
                    "names the unit in the records)";
            return false;
        }
    }
    return true;
}

std::string defaultStationName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "station";
    }
    return name;
}

} // namespace station::cli
