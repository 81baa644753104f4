// The page's history view from the station's records.db, through the
// report's loader and figures.
#pragma once

#include <string>

#include "front/web/history.h"

namespace station::web {

class RecordsHistory : public History {
public:
    explicit RecordsHistory(std::string dir) : dir_(std::move(dir)) {}
    bool summary(const std::string &since, std::string &json, std::string &error) override;
    bool unit(const std::string &mac, std::string &json, std::string &error) override;

private:
    std::string dir_;
};

} // namespace station::web
