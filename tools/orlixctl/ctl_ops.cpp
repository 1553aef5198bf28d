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
    if (!ctl_confirm("Reset the PSS of card " + card.bdf + "?")) {
        throw ctl_error(CTL_EXIT_NOTHING_TO_DO, "Error - not confirmed, nothing done");
    }
    aml_card_pss_reset_req_s req;
    req.card = card;
    aml_card_pss_reset_rsp_s rsp;
    aml_status_e status = aml_card_pss_reset(&req, &rsp);
    if (status != AML_STATUS_OK) {
        ctl_fail(status, rsp.error);
    }
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"pss_reset", true}};
    r.table = card.bdf + ": PSS reset\n";
    return r;
}

uint8_t cmb_read(aml_card_handle_s& card)
{
    aml_card_cmb_get_req_s req;
    req.card = card;
    aml_card_cmb_get_rsp_s rsp;
    aml_status_e status = aml_card_cmb_get(&req, &rsp);
    if (status != AML_STATUS_OK) {
        ctl_fail(status, rsp.error);
    }
    return rsp.cmb;
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
    if (!ctl_confirm(fmt::format("Set the CMB of card {} to {}?", card.bdf, value))) {
        throw ctl_error(CTL_EXIT_NOTHING_TO_DO, "Error - not confirmed, nothing done");
    }
    aml_card_cmb_upd_req_s req;
    req.card = card;
    req.cmb = static_cast<uint8_t>(value);
    aml_card_cmb_upd_rsp_s rsp;
    aml_status_e status = aml_card_cmb_update(&req, &rsp);
    if (status != AML_STATUS_OK) {
        ctl_fail(status, rsp.error);
    }
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
    static std::string name;
    static unsigned value = 0;
    const char* card_help = "PCI address, UUID, serial number or index from `card list`";
    CLI::App* card = app.get_subcommand("card");

    auto* pss = card->add_subcommand("pss-reset", "reset the card's PSS");
    pss->add_option("CARD", name, card_help)->required();
    pss->add_flag("-y,--assume-yes", ctl_opts().assume_yes, "do not ask for confirmation");
    pss->callback([&run] { run = [] { return pss_reset(name); }; });

    auto* cmb = card->add_subcommand("cmb", "the card's CMB setting");
    cmb->require_subcommand(1);
    auto* get = cmb->add_subcommand("get", "read the CMB setting");
    get->add_option("CARD", name, card_help)->required();
    get->callback([&run] { run = [] { return cmb_get(name); }; });
    auto* upd = cmb->add_subcommand("update", "write the CMB setting, then read it back");
    upd->add_option("CARD", name, card_help)->required();
    upd->add_option("VALUE", value, "0 to 255")->required()->check(CLI::Range(0u, 255u));
    upd->add_flag("-y,--assume-yes", ctl_opts().assume_yes, "do not ask for confirmation");
    upd->callback([&run] { run = [] { return cmb_update(name, value); }; });

    auto* sdk = card->add_subcommand("sdk-init", "set up the platform layer on the card, as the monitor does");
    sdk->add_option("CARD", name, card_help)->required();
    sdk->callback([&run] { run = [] { return sdk_init(name); }; });
}
