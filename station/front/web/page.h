// The station page's files (HTML, CSS, JavaScript), built into the program
// from station/web/page/, so the page works with no network beyond the
// station itself.
#pragma once

#include <span>
#include <string_view>

namespace station::web {

struct PageFile {
    std::string_view name; // "index.html", "app.js", ...
    std::string_view body;
};

std::span<const PageFile> pageFiles();

} // namespace station::web
