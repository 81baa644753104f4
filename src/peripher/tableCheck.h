// The dispatch tables against the catalogue of test codes: a model answers
// exactly the codes the catalogue lists for it, through the general table
// or its own. Checked at compile time where the tables are defined.
#pragma once

#include <span>

#include "catalogue.h"
#include "peripher/peripher.h"

namespace tableCheck {

constexpr bool holds(std::span<const CmdEntry> rows, uint16_t code)
{
    for (const CmdEntry &row : rows) {
        if (row.cmd == code) {
            return true;
        }
    }
    return false;
}

// True when the codes of `general` and `own` are the catalogue's codes of
// `model`, no more and no less.
constexpr bool agreesWithCatalogue(uint8_t model, std::span<const CmdEntry> general, std::span<const CmdEntry> own)
{
    for (std::span<const CmdEntry> rows : {general, own}) {
        for (const CmdEntry &row : rows) {
            if (!catalogue::answers(row.cmd, model)) {
                return false;
            }
        }
    }
    for (const catalogue::Test &t : catalogue::kTests) {
        if ((t.models & model) != 0 && !holds(general, t.code) && !holds(own, t.code)) {
            return false;
        }
    }
    return true;
}

} // namespace tableCheck
