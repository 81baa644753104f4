// Single records read back for the page (see reader.h).
#include "records/reader.h"

#include <jansson.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "records/records.h"
#include "records/text.h"

namespace station::records {

namespace {

constexpr size_t kMaxRecordFile = 64 * 1024 * 1024;

// The file of a record name inside `dir`, or empty when it is not a regular
// file there (a link that leads out of the records counts as not there).
std::string recordFile(const std::string &recordsDir, const std::string &sub, const std::string &name)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path root = fs::canonical(recordsDir, ec);
    if (ec) {
        return "";
    }
    const fs::path file = fs::canonical(root / sub / name, ec);
    if (ec || !fs::is_regular_file(file, ec)) {
        return "";
    }
    const auto rel = file.lexically_relative(root);
    if (rel.empty() || *rel.begin() == "..") {
        return "";
    }
    return file.string();
}

} // namespace

bool haveRecords(const std::string &dir)
{
    std::error_code ec;
    return std::filesystem::exists(dir + "/records.db", ec);
}

bool runLines(const std::string &dir, const std::string &runId, std::vector<std::string> &lines)
{
    const std::string path = recordFile(dir, ".", "records.jsonl");
    std::ifstream in(path);
    if (path.empty() || !in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        json_error_t error;
        json_t *object = json_loads(line.c_str(), 0, &error);
        const char *id = object != nullptr ? json_string_value(json_object_get(object, "run_id")) : nullptr;
        if (id != nullptr && runId == id) {
            lines.push_back(line);
        }
        json_decref(object);
    }
    return true;
}

bool readJunit(const std::string &dir, const std::string &name, std::string &text)
{
    const std::string path = recordFile(dir, "junit", name);
    if (path.empty()) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream whole;
    whole << in.rdbuf();
    text = whole.str();
    return text.size() <= kMaxRecordFile;
}

std::string junitOfRun(const std::string &dir, const std::string &batchId, const std::string &runId)
{
    // The JUnit writer names a run by this property of its testsuite.
    const std::string property = "<property name=\"run\" value=\"" + xmlText(runId) + "\"/>";
    const std::string base = junitFileName(batchId);
    for (int n = 1; n < 1000; ++n) {
        std::string name = base; // "<name>~2.xml", piece by piece (GCC 12's -Wrestrict)
        if (n > 1) {
            name += '~';
            name += std::to_string(n);
        }
        name += ".xml";
        std::string text;
        if (!readJunit(dir, name, text)) {
            return "";
        }
        if (text.find(property) != std::string::npos) {
            return name;
        }
    }
    return "";
}

} // namespace station::records
