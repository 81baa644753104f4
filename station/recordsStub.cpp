// Stand-in for the records until their writer is part of the build: checks
// that the directory can be written and keeps nothing. Built only while
// station/records.cpp does not exist (see CMakeLists.txt).
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "records.h"

namespace station {

namespace {

class NoRecords : public EventSink {
public:
    void onEvent(const Event &) override {}
};

} // namespace

std::unique_ptr<EventSink> openRecords(const std::string &dir, std::string &error)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    const std::string probe = dir + "/.write-test";
    std::ofstream file(probe);
    if (ec || !file) {
        error = "cannot write the records in " + dir + ": " + std::strerror(errno != 0 ? errno : EACCES);
        return nullptr;
    }
    file.close();
    std::filesystem::remove(probe, ec);
    return std::make_unique<NoRecords>();
}

} // namespace station
