// `gwtest report`: what a user types to select the records (a date, a MAC),
// into the form the records compare with.
#include "report/report.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace station::report {

namespace {

bool allDigits(std::string_view s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

bool parseSince(const std::string &text, std::string &iso, std::string &error)
{
    std::string t = text;
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) {
        t.pop_back();
    }
    // Date, then optional T or space, hours:minutes, optional :seconds.
    std::string date = t.substr(0, 10);
    std::string rest = t.size() > 10 ? t.substr(10) : "";
    bool ok = date.size() == 10 && date[4] == '-' && date[7] == '-' && allDigits(date.substr(0, 4)) &&
              allDigits(date.substr(5, 2)) && allDigits(date.substr(8, 2));
    std::string hh = "00", mm = "00", ss = "00";
    if (ok && !rest.empty()) {
        ok = (rest[0] == 'T' || rest[0] == 't' || rest[0] == ' ') && (rest.size() == 6 || rest.size() == 9) &&
             rest[3] == ':' && (rest.size() == 6 || rest[6] == ':');
        if (ok) {
            hh = rest.substr(1, 2);
            mm = rest.substr(4, 2);
            ss = rest.size() == 9 ? rest.substr(7, 2) : "00";
            ok = allDigits(hh) && allDigits(mm) && allDigits(ss);
        }
    }
    if (ok) {
        int y = std::stoi(date.substr(0, 4)), mo = std::stoi(date.substr(5, 2)), d = std::stoi(date.substr(8, 2));
        static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        ok = mo >= 1 && mo <= 12 && d >= 1 && d <= kDays[mo - 1] && !(mo == 2 && d == 29 && !leap) &&
             std::stoi(hh) < 24 && std::stoi(mm) < 60 && std::stoi(ss) < 60;
    }
    if (!ok) {
        error = "--since: '" + text + "' is not a date; expected YYYY-MM-DD, YYYY-MM-DDTHH:MM or " +
                "YYYY-MM-DDTHH:MM:SS (UTC)";
        return false;
    }
    iso = date + "T" + hh + ":" + mm + ":" + ss + ".000Z";
    return true;
}

bool normaliseMac(const std::string &text, std::string &mac)
{
    std::string hex;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (c != ':' && c != '-') {
            return false;
        }
    }
    if (hex.size() != 12) {
        return false;
    }
    mac.clear();
    for (size_t i = 0; i < 12; i += 2) {
        if (i > 0) {
            mac += ':';
        }
        mac += hex.substr(i, 2);
    }
    return true;
}

} // namespace station::report
