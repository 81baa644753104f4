// The catalogue of test codes: plans in an order the gateway's tests allow,
// names and models as stations look them up, the durations stations wait,
// and the check that holds the service's dispatch tables to it.
#include "catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "peripher/tableCheck.h"

namespace {

using catalogue::kTests;

std::vector<std::string> planNames(uint8_t model)
{
    std::vector<std::string> names;
    for (const catalogue::Test *t : catalogue::plan(model)) {
        names.emplace_back(t->name);
    }
    return names;
}

long indexOf(const std::vector<std::string> &names, const std::string &name)
{
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// Tests that build on an earlier one: the SIM checks reuse the tty the AT
// test found (the 2G SIM check fails outright without a passed AT test), the
// exclusion removes what the inclusion added, the restore stops the blink.
// clang-format off
const std::vector<std::pair<std::string, std::string>> kBefore{
    {"model", "mac"},
    {"modem-usb", "modem-at"},
    {"modem-at", "sim"},
    {"zwave-include", "zwave-exclude"},
    {"leds-blink", "leds-restore"},
};
// clang-format on

TEST(CataloguePlan, OrderLetsEachTestBuildOnTheOnesBefore)
{
    for (const catalogue::ModelName &m : catalogue::kModels) {
        const auto names = planNames(m.model);
        EXPECT_EQ(names.front(), "model") << m.name << ": the model comes first, so a wrong one stops a run at once";
        for (const auto &[first, then] : kBefore) {
            const long a = indexOf(names, first);
            const long b = indexOf(names, then);
            if (a >= 0 && b >= 0) {
                EXPECT_LT(a, b) << m.name << ": " << first << " before " << then;
            }
        }
        // The operator's tests come together at the end: one person is asked
        // about a gateway once, not between automatic tests.
        bool operatorSeen = false;
        for (const catalogue::Test *t : catalogue::plan(m.model)) {
            if (t->op != catalogue::Operator::kNone) {
                operatorSeen = true;
            } else {
                EXPECT_FALSE(operatorSeen) << m.name << ": automatic test " << t->name << " after an operator's test";
            }
        }
    }
}

TEST(CataloguePlan, EveryModelHasItsRowsOnce)
{
    for (const catalogue::ModelName &m : catalogue::kModels) {
        const auto steps = catalogue::plan(m.model);
        size_t rows = 0;
        for (const catalogue::Test &t : kTests) {
            rows += (t.models & m.model) != 0 ? 1 : 0;
        }
        EXPECT_EQ(steps.size(), rows) << m.name;
        for (size_t i = 0; i < steps.size(); ++i) {
            for (size_t j = i + 1; j < steps.size(); ++j) {
                EXPECT_NE(steps[i].code, steps[j].code) << m.name;
            }
        }
    }
    EXPECT_TRUE(catalogue::plan(0).empty());
    EXPECT_TRUE(catalogue::plan(catalogue::kGwm0101 | catalogue::kGwm0202).empty()) << "a plan is one model's";
}

struct ModelNameCase {
    const char *text;
    uint8_t bit;
};

TEST(CatalogueModels, NamesInAnyCaseAndNothingElse)
{
    // clang-format off
    const ModelNameCase cases[] = {
        {"GWM0202", catalogue::kGwm0202},
        {"gwm0202", catalogue::kGwm0202},
        {"Gwm0303", catalogue::kGwm0303},
        {"GWM0404", catalogue::kGwm0404},
        {"GWM0202\r", 0},
        {"GWM0202 ", 0},
        {"GWM020", 0},
        {"GWM02020", 0},
        {"", 0},
    };
    // clang-format on
    for (const ModelNameCase &c : cases) {
        EXPECT_EQ(catalogue::modelBit(c.text), c.bit) << c.text;
    }
    EXPECT_EQ(catalogue::modelName(catalogue::kGwm0101), "GWM0101");
    EXPECT_EQ(catalogue::modelName(catalogue::kEveryModel), "");
}

// Every message and help text that names the models takes this one text, and
// the station's first two queries are the model and the MAC.
TEST(CatalogueModels, TheListPeopleReadAndTheFirstQueries)
{
    EXPECT_EQ(catalogue::kModelList, "GWM0101, GWM0202, GWM0303 or GWM0404");
    static_assert(catalogue::kModelList.size() == 4 * 7 + 2 * 2 + 4);
    EXPECT_EQ(catalogue::findAny(catalogue::kModelQuery)->name, "model");
    EXPECT_EQ(catalogue::findAny(catalogue::kMacQuery)->name, "mac");
}

// The station's prompts carry these names to the page (app.js shows the
// button's countdown or the yes/no buttons by them) and to run --json.
TEST(CatalogueOperator, NamesThePageReads)
{
    // clang-format off
    const std::pair<catalogue::Operator, const char *> cases[] = {
        {catalogue::Operator::kNone, "none"},
        {catalogue::Operator::kPressButton, "press-button"},
        {catalogue::Operator::kLedLit, "led-lit"},
        {catalogue::Operator::kAllBlinking, "all-blinking"},
        {catalogue::Operator::kAllRestored, "all-restored"},
    };
    // clang-format on
    for (const auto &[op, name] : cases) {
        EXPECT_EQ(catalogue::operatorName(op), name);
    }
}

struct RowCase {
    const char *name;
    uint8_t model;
    uint16_t code;
    const char *title; // nullptr: the model has no such test
};

TEST(CatalogueLookup, NamesMeanOneCodeTheModelsRowGivesTheVariant)
{
    // clang-format off
    const RowCase cases[] = {
        {"modem-at", catalogue::kGwm0202, 0x0302, "4G modem answers AT"},
        {"modem-at", catalogue::kGwm0303, 0x0302, "2G modem answers AT"},
        {"modem-at", catalogue::kGwm0404, 0x0302, "3G modem answers AT"},
        {"modem-at", catalogue::kGwm0101, 0x0302, nullptr},
        {"zigbee-pair", catalogue::kGwm0101, 0x0401, "Green Power pairing"},
        {"zigbee-pair", catalogue::kGwm0202, 0x0401, "Zigbee pairing"},
        {"zigbee-pair", catalogue::kGwm0303, 0x0401, nullptr},
        {"led-zwave", catalogue::kGwm0202, 0x0702, "Z-Wave LED"},
        {"led-zwave", catalogue::kGwm0404, 0x0702, nullptr},
        {"ble-present", catalogue::kGwm0303, 0x0601, "BLE device present"},
        {"mac", catalogue::kGwm0101, 0x0001, "MAC address"},
    };
    // clang-format on
    for (const RowCase &c : cases) {
        const catalogue::Test *byName = catalogue::findName(c.name, c.model);
        const catalogue::Test *byCode = catalogue::find(c.code, c.model);
        EXPECT_EQ(byName, byCode) << c.name;
        EXPECT_EQ(catalogue::answers(c.code, c.model), c.title != nullptr) << c.name;
        if (c.title != nullptr && byName != nullptr) {
            EXPECT_EQ(byName->title, c.title);
        }
        ASSERT_NE(catalogue::findName(c.name), nullptr) << c.name;
        EXPECT_EQ(catalogue::findName(c.name)->code, c.code) << "a name is one code on every model";
    }
    EXPECT_EQ(catalogue::findName("greenpower-pair"), nullptr);
    EXPECT_EQ(catalogue::findAny(0x9999), nullptr);
    EXPECT_EQ(catalogue::findAny(0x1200), nullptr) << "the NXP device commands are never dispatched";
}

struct DurationCase {
    const char *name;
    uint8_t model;
    uint32_t ms;
};

// The longest the service may take, which stations wait (plus a margin)
// before they call a test silent. Too short and a slow but sound gateway is
// recorded as silent, its late reply then taken for the next test's.
TEST(CatalogueDurations, CoverTheServicesWaitsAndTimeouts)
{
    // clang-format off
    const DurationCase cases[] = {
        {"button", catalogue::kGwm0303, 10000},        // 10 checks a second apart
        {"led-power", catalogue::kGwm0101, 2000},      // lit for 2 s
        {"leds-restore", catalogue::kGwm0101, 1200},   // 1 s between killall and restore
        {"ping-gw", catalogue::kGwm0202, 3100},        // ping -w 3
        {"ping-host", catalogue::kGwm0202, 13100},     // and a silent resolver before it
        {"smartconfig", catalogue::kGwm0404, 33600},   // 30 checks a second apart
        {"modem-at", catalogue::kGwm0202, 20200},      // 12.4 s of restart, one AT exchange of up to 6.5 s
        {"modem-at", catalogue::kGwm0303, 30500},      // 2G pulses, 10 s boot, up to two AT exchanges
        {"modem-at", catalogue::kGwm0404, 6500},       // one AT exchange
        {"sim", catalogue::kGwm0404, 74000},           // six SIM exchanges of 11.5 s, 1 s apart
        {"sim", catalogue::kGwm0303, 11500},           // one SIM exchange
        {"modem-usb", catalogue::kGwm0202, 20300},     // 8 s boot and up to 11 s of presence checks
        {"nxp-carrier", catalogue::kGwm0404, 1600},    // two scripts, 100 ms write, 500 ms read
        {"zwave-include", catalogue::kGwm0202, 13000}, // 12 s after the include command
        {"zwave-exclude", catalogue::kGwm0202, 65000}, // five rounds of 12 s and two scripts
    };
    // clang-format on
    for (const DurationCase &c : cases) {
        const catalogue::Test *t = catalogue::findName(c.name, c.model);
        ASSERT_NE(t, nullptr) << c.name;
        EXPECT_EQ(t->longestMs, c.ms) << c.name << " on " << catalogue::modelName(c.model);
    }
    EXPECT_EQ(catalogue::longestOnAnyModel(0x0302), 30500U) << "a station that does not know the model waits longest";
    EXPECT_EQ(catalogue::longestOnAnyModel(0x9999), 0U);
}

// ---- the service's tables against the catalogue -----------------------------

int noHandler(uint8_t *, int) { return 0; }

// A model's codes from the catalogue, split as the service does: the codes
// every model answers in the general table, the rest in the model's own.
struct Tables {
    std::vector<CmdEntry> general;
    std::vector<CmdEntry> own;
};

Tables tablesOf(uint8_t model)
{
    Tables t;
    for (const catalogue::Test *row : catalogue::plan(model)) {
        (row->models == catalogue::kEveryModel ? t.general : t.own).push_back(CmdEntry{row->code, noHandler});
    }
    return t;
}

TEST(CatalogueTableCheck, TablesThatDifferByOneCodeAreCaught)
{
    for (const catalogue::ModelName &m : catalogue::kModels) {
        const Tables right = tablesOf(m.model);
        EXPECT_TRUE(tableCheck::agreesWithCatalogue(m.model, right.general, right.own)) << m.name;

        // One of the model's codes missing from its own table.
        Tables missing = right;
        missing.own.pop_back();
        EXPECT_FALSE(tableCheck::agreesWithCatalogue(m.model, missing.general, missing.own)) << m.name;

        // One of every model's codes missing from the general table.
        missing = right;
        missing.general.erase(missing.general.begin());
        EXPECT_FALSE(tableCheck::agreesWithCatalogue(m.model, missing.general, missing.own)) << m.name;

        // A code of another model's hardware added.
        Tables extra = right;
        for (const catalogue::Test &t : kTests) {
            if (!catalogue::answers(t.code, m.model)) {
                extra.own.push_back(CmdEntry{t.code, noHandler});
                break;
            }
        }
        ASSERT_GT(extra.own.size(), right.own.size()) << m.name << " answers every code";
        EXPECT_FALSE(tableCheck::agreesWithCatalogue(m.model, extra.general, extra.own)) << m.name;

        // A code no model answers.
        extra = right;
        extra.general.push_back(CmdEntry{0x0999, noHandler});
        EXPECT_FALSE(tableCheck::agreesWithCatalogue(m.model, extra.general, extra.own)) << m.name;
    }
}

} // namespace
