// Which tests a gateway offers depends on its model: the general table serves
// every model, a table per model adds the tests of that model's hardware.
#include <cstring>
#include <span>
#include <string_view>

#include "log.h"
#include "peripher/buttonLed.h"
#include "peripher/cellular.h"
#include "peripher/identity.h"
#include "peripher/network.h"
#include "peripher/peripher.h"
#include "peripher/radio.h"
#include "peripher/tableCheck.h"
#include "peripher/zwave.h"

namespace {

constexpr char kLogModule[] = "src/peripher";
// Rows in their stored order, one a line.
// clang-format off
constexpr std::array kGeneralTable{
    CmdEntry{0x0001, cmd_request_mac},
    CmdEntry{0x0002, cmd_request_sysversion},
    CmdEntry{0x0005, cmd_request_model},
    CmdEntry{0x0101, cmd_wan_dhcpcli},
    CmdEntry{0x0102, cmd_request_wan_ping_gw},
    CmdEntry{0x0103, cmd_request_wan_dns_ping},
    CmdEntry{0x0203, cmd_request_wifi_smartconfig},
    CmdEntry{0x0603, cmd_request_btn_pressdown},
    CmdEntry{0x0701, cmd_request_led_powerled},
    CmdEntry{0x0703, cmd_request_led_zigbeeled},
    CmdEntry{0x0705, cmd_request_led_errorled},
    CmdEntry{0x0706, cmd_request_allLeds_flash},
    CmdEntry{0x0707, cmd_request_allLeds_Restore},
};

constexpr std::array kGwm0101Table{
    CmdEntry{0x0401, cmd_request_greepower_pair},
    CmdEntry{0x0801, cmd_request_nxp_pair},
    CmdEntry{0x0802, cmd_request_nxp_singleCarrier},
};
constexpr std::array kGwm0202Table{
    CmdEntry{0x0003, cmd_request_zbversion},
    CmdEntry{0x0004, cmd_request_zwversion},
    CmdEntry{0x0301, cmd_request_4g_usb_device},
    CmdEntry{0x0302, cmd_request_4g_at_cmd},
    CmdEntry{0x0303, cmd_request_sim_card_chk},
    CmdEntry{0x0401, cmd_request_zigbee_pair},
    CmdEntry{0x0501, cmd_request_zwave_pair},
    CmdEntry{0x0601, cmd_request_ble_dev_exsit},
    CmdEntry{0x0602, cmd_request_ble_scan},
    CmdEntry{0x0702, cmd_request_led_zwaveled},
    CmdEntry{0x0704, cmd_request_led_4gled},
    CmdEntry{0x0803, cmd_request_ember_singleCarrier},
    CmdEntry{0x0804, cmd_request_ble_singleCarrier},
    CmdEntry{0x0502, cmd_request_zwave_include_and_query},
    CmdEntry{0x0503, cmd_request_zwave_exclude},
};
constexpr std::array kGwm0303Table{
    CmdEntry{0x0302, cmd_request_2g_at_cmd},
    CmdEntry{0x0303, cmd_request_2g_sim_card_chk},
    CmdEntry{0x0801, cmd_request_nxp_pair},
    CmdEntry{0x0802, cmd_request_nxp_singleCarrier},
    CmdEntry{0x0803, cmd_request_ember_singleCarrier},
    CmdEntry{0x0804, cmd_request_ble_singleCarrier},
    CmdEntry{0x0601, cmd_request_ble_dev_exsit},
};
constexpr std::array kGwm0404Table{
    CmdEntry{0x0301, cmd_request_3g_usb_device},
    CmdEntry{0x0302, cmd_request_3g_at_cmd},
    CmdEntry{0x0303, cmd_request_3g_sim_card_chk},
    CmdEntry{0x0801, cmd_request_nxp_pair},
    CmdEntry{0x0802, cmd_request_nxp_singleCarrier},
    CmdEntry{0x0804, cmd_request_ble_singleCarrier},
};
// clang-format on

// The tables' shape is part of the contract with the test stations.
template <size_t N>
constexpr bool codesUnique(const std::array<CmdEntry, N> &rows)
{
    for (size_t i = 0; i < N; ++i) {
        for (size_t j = i + 1; j < N; ++j) {
            if (rows[i].cmd == rows[j].cmd) {
                return false;
            }
        }
    }
    return true;
}

template <size_t N>
constexpr bool disjointFromGeneral(const std::array<CmdEntry, N> &rows)
{
    for (const CmdEntry &row : rows) {
        for (const CmdEntry &general : kGeneralTable) {
            if (row.cmd == general.cmd) {
                return false;
            }
        }
    }
    return true;
}

static_assert(kGeneralTable.size() == 13 && kGwm0101Table.size() == 3 && kGwm0202Table.size() == 15 &&
              kGwm0303Table.size() == 7 && kGwm0404Table.size() == 6);
static_assert(codesUnique(kGeneralTable) && codesUnique(kGwm0101Table) && codesUnique(kGwm0202Table) &&
              codesUnique(kGwm0303Table) && codesUnique(kGwm0404Table));
static_assert(disjointFromGeneral(kGwm0101Table) && disjointFromGeneral(kGwm0202Table) &&
              disjointFromGeneral(kGwm0303Table) && disjointFromGeneral(kGwm0404Table));

struct ModelTable {
    std::string_view model;
    std::span<const CmdEntry> rows;
};

// Compared exactly and case-sensitively, in this order.
constexpr std::array kModelTables{
    ModelTable{"GWM0101", kGwm0101Table},
    ModelTable{"GWM0202", kGwm0202Table},
    ModelTable{"GWM0303", kGwm0303Table},
    ModelTable{"GWM0404", kGwm0404Table},
};

// The stations plan, time and name the tests from the catalogue: each model
// answers exactly the codes it lists for that model.
static_assert(tableCheck::agreesWithCatalogue(catalogue::kGwm0101, kGeneralTable, kGwm0101Table),
              "the GWM0101 tables and the catalogue disagree");
static_assert(tableCheck::agreesWithCatalogue(catalogue::kGwm0202, kGeneralTable, kGwm0202Table),
              "the GWM0202 tables and the catalogue disagree");
static_assert(tableCheck::agreesWithCatalogue(catalogue::kGwm0303, kGeneralTable, kGwm0303Table),
              "the GWM0303 tables and the catalogue disagree");
static_assert(tableCheck::agreesWithCatalogue(catalogue::kGwm0404, kGeneralTable, kGwm0404Table),
              "the GWM0404 tables and the catalogue disagree");

// The models the dispatcher knows are the catalogue's, in its order, each
// with the table checked above.
constexpr bool sameModelsAsCatalogue()
{
    if (kModelTables.size() != catalogue::kModels.size()) {
        return false;
    }
    for (size_t i = 0; i < kModelTables.size(); ++i) {
        const ModelTable &table = kModelTables[i];
        if (table.model != catalogue::kModels[i].name ||
            !tableCheck::agreesWithCatalogue(catalogue::kModels[i].model, kGeneralTable, table.rows)) {
            return false;
        }
    }
    return true;
}
static_assert(sameModelsAsCatalogue(), "the dispatcher's models and the catalogue's differ");

const CmdEntry *findRow(std::span<const CmdEntry> rows, uint16_t cmd)
{
    for (const CmdEntry &row : rows) {
        if (row.cmd == cmd) {
            return &row;
        }
    }
    return nullptr;
}

} // namespace

int peripherHandler(uint16_t cmd, PeripherCtx *ctx)
{
    std::array<char, kModelLen> model = ctx->model;
    model.back() = '\0';
    GW_LOG("Device Model:%s, CMD:%04x\n\n", model.data(), cmd);

    if (const CmdEntry *row = findRow(kGeneralTable, cmd); row != nullptr) {
        const int rc = row->handler(ctx->reply.data(), ctx->replyCap);
        if (rc >= 1) {
            GW_LOG("General CMD Function OK\n\n");
            ctx->replyLen = static_cast<uint16_t>(rc);
        } else {
            GW_LOG("Gneneral CMD Function Error\n\n");
        }
        return rc;
    }

    const std::string_view name(model.data());
    for (const ModelTable &table : kModelTables) {
        if (name != table.model) {
            continue;
        }
        const CmdEntry *row = findRow(table.rows, cmd);
        if (row == nullptr) {
            GW_LOG("%s No Matched Function\n \n", model.data());
            return 0;
        }
        const int rc = row->handler(ctx->reply.data(), ctx->replyCap);
        // The GWM0404 build has its own wording of these two lines.
        const bool gwm0404 = table.model == "GWM0404";
        if (rc >= 1) {
            if (gwm0404) {
                GW_LOG("%s CMD Function OK \r\n\n", model.data());
            } else {
                GW_LOG("%s CMD Function OK\n\n", model.data());
            }
            ctx->replyLen = static_cast<uint16_t>(rc);
        } else if (gwm0404) {
            GW_LOG("%s CMD Function Error \r\n\n", model.data());
        } else {
            GW_LOG("%s CMD Function Error\n\n", model.data());
        }
        return rc;
    }

    std::memset(ctx->reply.data(), 0, ctx->replyCap);
    GW_LOG("No Matched CMD Function\n\n");
    return 0;
}
