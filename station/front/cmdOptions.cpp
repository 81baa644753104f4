// The options that gwtest run and gwtest serve share: which model, which
// tests, and the station's name. One reading of them, so that a plan typed
// for the terminal is taken the same way by the page.
#include <unistd.h>

#include "catalogue.h"
#include "front/commands.h"
#include "wire/input.h"

namespace station::cli {

bool parseModelOption(const std::string &text, std::string &model, std::string &error)
{
    if (text.size() == 4 && catalogue::detail::equalIgnoringCase(text, "auto")) {
        model = "auto";
        return true;
    }
    if (!parseModel(text, model, error)) {
        error =
            "unknown model '" + text + "' (expected auto or " + std::string(catalogue::kModelList) + ", in any case)";
        return false;
    }
    return true;
}

bool parseTestList(const std::vector<std::string> &names, const char *option, std::vector<uint16_t> &codes,
                   std::string &error)
{
    for (const std::string &name : names) {
        const catalogue::Test *row = parseTest(name, error);
        if (row == nullptr) {
            error = std::string(option) + ": " + error;
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
        if (code == catalogue::kModelQuery || code == catalogue::kMacQuery) {
            error = "--skip " + std::string(catalogue::findAny(code)->name) +
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

bool loadProfileOption(const std::string &path, RunOptions &options, std::vector<std::string> &errors)
{
    options.stationVersion = GWTEST_VERSION;
    if (path.empty()) {
        return true;
    }
    auto profile = loadProfile(path, errors);
    if (!profile) {
        return false;
    }
    options.profile = std::make_shared<const Profile>(std::move(*profile));
    return true;
}

} // namespace station::cli
