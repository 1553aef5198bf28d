// card pss-reset, card cmb get|update, card sdk-init: the library's card
// operations that had no command of their own

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "aml/aml_card_requests.h"
#include "aml/aml_sdk.h"
#include "tools/orlixctl/ctl.h"

namespace {

ctl_result pss_reset(const std::string& name)
{
    aml_card_handle_s card = ctl_select_card(name);
    ctl_confirm_or_stop("Reset the PSS of card " + card.bdf + "?");
    ctl_call(aml_card_pss_reset, aml_card_pss_reset_req_s{card});
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"pss_reset", true}};
    r.table = card.bdf + ": PSS reset\n";
    return r;
}

uint8_t cmb_read(aml_card_handle_s& card)
{
    return ctl_call(aml_card_cmb_get, aml_card_cmb_get_req_s{card}).cmb;
}

ctl_result cmb_get(const std::string& name)
{
    aml_card_handle_s card = ctl_select_card(name);
    uint8_t cmb = cmb_read(card);
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"cmb", cmb}};
    r.table = ctl_fields({{"address", card.bdf}, {"cmb", std::to_string(cmb)}});
    return r;
}

ctl_result cmb_update(const std::string& name, unsigned value)
{
    aml_card_handle_s card = ctl_select_card(name);
    ctl_confirm_or_stop(fmt::format("Set the CMB of card {} to {}?", card.bdf, value));
    aml_card_cmb_upd_req_s req;
    req.card = card;
    req.cmb = static_cast<uint8_t>(value);
    ctl_call(aml_card_cmb_update, req);
    // what the card keeps, not what was sent
    uint8_t now = cmb_read(card);
    if (now != value) {
        throw ctl_error(CTL_EXIT_FAILURE,
                        fmt::format("Error - card {} accepted CMB {} but reads back {}", card.bdf, value, now));
    }
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"cmb", now}};
    r.table = fmt::format("{}: CMB set to {}\n", card.bdf, now);
    return r;
}

// what the monitor's workers do first: map the card's resource windows
ctl_result sdk_init(const std::string& name)
{
    aml_card_handle_s card = ctl_select_card(name);
    std::string error;
    aml_status_e status = aml_card_sdk_init(&card, error);
    if (status != AML_STATUS_OK) {
        ctl_fail(status, error);
    }
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"platform", "ready"}};
    r.table = card.bdf + ": platform layer ready (resource windows mapped)\n";
    return r;
}

}  // namespace

void ctl_add_ops_commands(CLI::App& app, ctl_runner& run)
{
    static unsigned value = 0;
    CLI::App& card = *app.get_subcommand("card");
    ctl_add_commands(card,
                     {{"pss-reset", "reset the card's PSS", true, true, {}, [] { return pss_reset(ctl_card_arg()); }},
                      {"sdk-init", "set up the platform layer on the card, as the monitor does", true, false, {},
                       [] { return sdk_init(ctl_card_arg()); }}},
                     run);
    ctl_add_commands(ctl_add_group(card, "cmb", "the card's CMB setting"),
                     {{"get", "read the CMB setting", true, false, {}, [] { return cmb_get(ctl_card_arg()); }},
                      {"update", "write the CMB setting, then read it back", true, true,
                       [](CLI::App& c) {
                           c.add_option("VALUE", value, "0 to 255")->required()->check(CLI::Range(0u, 255u));
                       },
                       [] { return cmb_update(ctl_card_arg(), value); }}},
                     run);
}
