// What the page starts and stops: runs of the station engine on some of its
// slots. The page's server talks to this interface only, so its routes are
// tested with a runner of the test's own.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"

namespace station::web {

class Runner {
public:
    virtual ~Runner() = default;
    // Starts one run (one batch) of these slots (page slot id, gateway) in
    // the background and returns at once. Its events reach the page with
    // gateway.slot set to the page's slot id. False with the reason when it
    // cannot start.
    virtual bool start(const std::vector<std::pair<int, Target>> &slots, std::string &error) = 0;
    // Ends every run in progress (tests in flight end, the records say so).
    virtual void stop() = 0;
    // The operator's answer to an open prompt, yes or no for every gateway
    // it asks about; false when it is not open.
    virtual bool answer(uint64_t promptId, bool yes) = 0;
    // A gang's answer: no for the gateways of these page slot ids, yes for
    // the rest of its members. False when the prompt is not open or a slot
    // is not one of its members.
    virtual bool answer(uint64_t promptId, const std::vector<int> &noSlots) = 0;
};

} // namespace station::web
