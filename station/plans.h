// The test plans of the station: which tests a gateway model offers, in the
// order the line runs them, with the names operators know them by.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace station {

struct PlanStep {
    uint16_t code;
    std::string_view name;
};

// The plan of a model (GWM0101, GWM0202, GWM0303, GWM0404): the tests every
// model offers, then those of the model's hardware. Empty for an unknown model.
std::span<const PlanStep> planFor(std::string_view model);

// The model names that have a plan.
std::span<const std::string_view> plannedModels();

} // namespace station
