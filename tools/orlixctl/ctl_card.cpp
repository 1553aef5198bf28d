// card list|show|liveness|time get|time set|uuid|decommission|recommission

#include <time.h>

#include <cstdio>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "aml/aml_card_requests.h"
#include "aml/aml_card_validate.h"
#include "aml/aml_inventory.h"
#include "aml/aml_pcie.h"
#include "monitor/card_context.h"
#include "monitor/interface_discovery.h"
#include "tools/orlixctl/ctl.h"

namespace {

std::string image_name(uint8_t image)
{
    switch (image) {
    case 0:
        return "fw-a";
    case 1:
        return "fw-b";
    case 2:
        return "fw-gold";
    default:
        return fmt::format("image {}", image);
    }
}

std::string mac_text(const uint8_t mac[6])
{
    return fmt::format("{:02x}:{:02x}:{:02x}:{:02x}:{:02x}:{:02x}", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}

std::string time_text(const struct tm& t)
{
    char buf[64];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &t);
    return buf;
}

json card_ident(aml_card_handle_s& card)
{
    aml_card_get_req_s req;
    req.card = card;
    auto rsp = ctl_call(aml_card_get, req);
    return json{{"address", rsp.bdf},
                {"uuid", rsp.uuid},
                {"serial", rsp.serial_num},
                {"functions",
                 {{"resource", rsp.rsc_bdf},
                  {"ipc", rsp.ipc_bdf},
                  {"core", rsp.core_bdf},
                  {"func_1002", rsp.func_1002_bdf},
                  {"func_1003", rsp.func_1003_bdf}}}};
}

bool alive(aml_card_handle_s& card, std::string* error = nullptr, aml_status_e* st = nullptr)
{
    aml_card_liveness_check_req_s req;
    req.card = card;
    aml_card_liveness_check_rsp_s rsp;
    aml_status_e status = aml_card_liveness_check(&req, &rsp);
    if (error) {
        *error = rsp.error;
    }
    if (st) {
        *st = status;
    }
    return status == AML_STATUS_OK;
}

ctl_result card_list()
{
    std::vector<aml_card_handle_s> cards;
    try {
        cards = ctl_select_cards("all");
    } catch (const ctl_error& e) {
        if (e.exit_code != CTL_EXIT_NOT_FOUND) {
            throw;
        }
    }
    ctl_result r;
    r.doc = json{{"cards", json::array()}};
    std::vector<std::vector<std::string>> rows;
    for (size_t i = 0; i < cards.size(); i++) {
        json c = card_ident(cards[i]);
        std::string state = alive(cards[i]) ? "up" : "down";
        std::string running = "unknown";
        uint8_t image = 0;
        std::string error;
        if (state == "up" && kovra_get_card_running_firmware(&cards[i], &image, error) == AML_STATUS_OK) {
            running = image_name(image);
        }
        // the versions as the flash service tells them; a card that does not
        // answer it keeps "unknown"
        json fw{{"running_version", "unknown"}, {"stored_version", "unknown"}, {"reset_pending", false}};
        if (state == "up") {
            try {
                fw = ctl_fw_state(cards[i]);
            } catch (const ctl_error&) {
            }
        }
        r.doc["cards"].push_back(json{{"index", i},
                                      {"address", c["address"]},
                                      {"uuid", c["uuid"]},
                                      {"serial", c["serial"]},
                                      {"state", state},
                                      {"running_firmware", running},
                                      {"running_version", fw["running_version"]},
                                      {"stored_version", fw["stored_version"]},
                                      {"reset_pending", fw["reset_pending"]}});
        rows.push_back({std::to_string(i), c["address"], c["uuid"], c["serial"], state, running,
                        fw["running_version"], fw["stored_version"],
                        fw["reset_pending"].get<bool>() ? "pending" : "-"});
    }
    r.table = cards.empty() ? "no ORLIX card on this host\n"
                            : ctl_table({"INDEX", "ADDRESS", "UUID", "SERIAL", "STATE", "RUNNING", "VERSION",
                                         "NEXT_BOOT", "RESET"},
                                        rows);
    return r;
}

ctl_result card_show(const std::string& name)
{
    aml_card_handle_s card = ctl_select_card(name);
    json doc = card_ident(card);
    std::string error;
    aml_status_e status;
    if (!alive(card, &error, &status)) {
        ctl_fail(status, error);
    }
    doc["state"] = "up";
    uint8_t mac[6] = {};
    if (kovra_get_card_fru_mac(&card, mac, error) == AML_STATUS_OK) {
        doc["fru_mac"] = mac_text(mac);
    }
    uint8_t image = 0;
    if (kovra_get_card_running_firmware(&card, &image, error) == AML_STATUS_OK) {
        doc["running_firmware"] = image_name(image);
    }
    device_role_e role = DEVICE_ROLE_NONE;
    if (aml_get_device_role(&card, &role, error) == AML_STATUS_OK) {
        doc["device_role"] = static_cast<uint32_t>(role);
    }
    orlixmon_card_ctxt_s ctxt;
    ctxt.card = card;
    std::vector<orlixmon_port_entry_s> ports;
    std::vector<orlixmon_lif_entry_s> lifs;
    doc["ports"] = json::array();
    doc["lifs"] = json::array();
    std::vector<std::vector<std::string>> port_rows, lif_rows;
    if (orlixmon_card_port_get(ctxt, ports) == 0) {
        for (const auto& p : ports) {
            doc["ports"].push_back(json{{"name", p.name}, {"id", p.id}, {"ifindex", p.ifindex}, {"hw_id", p.hw_id}});
            port_rows.push_back({p.name, p.id, fmt::format("0x{:08x}", p.ifindex), std::to_string(p.hw_id)});
        }
    }
    if (orlixmon_card_lif_get(ctxt, lifs) == 0) {
        for (const auto& l : lifs) {
            doc["lifs"].push_back(json{{"name", l.name}, {"id", l.id}, {"hw_id", l.hw_id}});
            lif_rows.push_back({l.name, l.id, std::to_string(l.hw_id)});
        }
    }
    json fw = ctl_fw_state(card);
    doc["firmware"] = fw;

    ctl_result r;
    r.doc = doc;
    std::vector<std::pair<std::string, std::string>> fields = {
        {"address", doc["address"]}, {"uuid", doc["uuid"]}, {"serial", doc["serial"]}, {"state", "up"}};
    for (const char* k : {"fru_mac", "running_firmware"}) {
        if (doc.contains(k)) {
            fields.emplace_back(k, doc[k].get<std::string>());
        }
    }
    if (doc.contains("device_role")) {
        fields.emplace_back("device_role", std::to_string(doc["device_role"].get<uint32_t>()));
    }
    for (auto& [k, v] : doc["functions"].items()) {
        fields.emplace_back("function " + k, v.get<std::string>().empty() ? "-" : v.get<std::string>());
    }
    r.table = ctl_fields(fields) + "\nPorts\n" + ctl_table({"NAME", "ID", "IFINDEX", "HW_ID"}, port_rows) +
              "\nLIFs\n" + ctl_table({"NAME", "ID", "HW_ID"}, lif_rows) + "\n" + ctl_fw_state_table(fw);
    return r;
}

ctl_result card_liveness(const std::string& name)
{
    aml_card_handle_s card = ctl_select_card(name);
    std::string error;
    aml_status_e status;
    if (!alive(card, &error, &status)) {
        ctl_fail(status, error);
    }
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"uuid", card.uuid}, {"alive", true}};
    r.table = card.bdf + " alive\n";
    return r;
}

ctl_result card_time_get(const std::string& name)
{
    aml_card_handle_s card = ctl_select_card(name);
    aml_card_time_get_req_s req;
    req.card = card;
    auto rsp = ctl_call(aml_card_time_get, req);
    ctl_result r;
    std::string t = time_text(rsp.card_time);
    r.doc = json{{"address", card.bdf}, {"time", t}, {"value1", rsp.value1}, {"value2", rsp.value2}};
    r.table = ctl_fields({{"address", card.bdf}, {"time", t}});
    return r;
}

ctl_result card_time_set(const std::string& name, const std::string& when)
{
    struct tm t = {};
    if (when.empty()) {
        time_t now = time(nullptr);
        localtime_r(&now, &t);
    } else {
        const char* end = strptime(when.c_str(), "%Y-%m-%d %H:%M:%S", &t);
        if (end == nullptr || *end != '\0') {
            throw ctl_error(CTL_EXIT_FAILURE, "Error - invalid time \"" + when + "\", expected YYYY-MM-DD HH:MM:SS");
        }
        t.tm_isdst = -1;
        time_t norm = mktime(&t);  // fills the week and year days
        if (norm == static_cast<time_t>(-1)) {
            throw ctl_error(CTL_EXIT_FAILURE, "Error - invalid time \"" + when + "\"");
        }
    }
    aml_card_handle_s card = ctl_select_card(name);
    aml_card_time_upd_req_s req;
    req.card = card;
    req.card_time = t;
    ctl_call(aml_card_time_update, req);
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"time", time_text(t)}};
    r.table = card.bdf + " time set to " + time_text(t) + "\n";
    return r;
}

ctl_result card_uuid(const std::string& name)
{
    aml_card_handle_s card = ctl_select_card(name);
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"uuid", card.uuid}};
    r.table = card.uuid + "\n";
    return r;
}

ctl_result card_decommission(const std::string& name, bool reset, bool cpld_reload, uint32_t reset_arg)
{
    aml_card_handle_s card = ctl_select_card(name);
    ctl_confirm_or_stop("Decommission card " + card.bdf + " (it leaves the PCIe bus)?");
    aml_card_decommission_req_s req;
    req.card = card;
    req.reset = reset || cpld_reload ? 1 : 0;  // a CPLD reload is the reset it sends
    req.reset_arg = reset_arg;
    req.cpld_reload = cpld_reload;
    auto rsp = ctl_call(aml_card_decommission, req);
    // the port's registers as they were: `pcie cap-set` puts them back by hand
    const std::string uemsk = fmt::format("0x{:08x}", rsp.uemsk), dpccr = fmt::format("0x{:04x}", rsp.dpccr);
    ctl_result r;
    r.doc = json{{"address", card.bdf},
                 {"host_port", rsp.host_port},
                 {"saved_uemsk", rsp.uemsk},
                 {"saved_dpccr", rsp.dpccr},
                 {"reset", req.reset ? (cpld_reload ? "cpld-reload" : "card-reset") : "none"},
                 {"reset_answer", rsp.reset_answer},
                 {"decommissioned", true}};
    r.table = card.bdf + " decommissioned\n" +
              ctl_fields({{"host_port", rsp.host_port}, {"saved_uemsk", uemsk}, {"saved_dpccr", dpccr}}) +
              fmt::format("restore: orlixctl pcie rescan {0}, then orlixctl pcie cap-set {1} --port {0} --uemsk {2} "
                          "--dpccr {3}\n",
                          rsp.host_port, card.bdf, uemsk, dpccr);
    return r;
}

ctl_result card_recommission(const std::string& name, uint32_t rescan_delay_s)
{
    aml_card_handle_s card = ctl_select_card(name);
    ctl_confirm_or_stop("Recommission card " + card.bdf + " (reset, remove and rescan, over a minute)?");
    std::string step, error;
    aml_status_e status = aml_card_recommission(&card, step, error, rescan_delay_s);
    if (status != AML_STATUS_OK) {
        ctl_fail(status, step + ": " + error);
    }
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"recommissioned", true}};
    r.table = card.bdf + " recommissioned\n";
    return r;
}

}  // namespace

void ctl_add_card_commands(CLI::App& app, ctl_runner& run)
{
    static std::string when;
    static bool reset = false, cpld_reload = false;
    static uint32_t reset_arg = AML_RECOMMISSION_RESET_ARG;
    static uint32_t rescan_delay_s = AML_RECOMMISSION_RESCAN_DELAY_S;
    CLI::App& card = ctl_add_group(app, "card", "the cards of the host");
    ctl_add_commands(
        card,
        {{"list", "every card: index, address, UUID, serial, state, running firmware", false, false, {}, card_list},
         {"show", "everything the card tells about itself", true, false, {}, [] { return card_show(ctl_card_arg()); }},
         {"liveness", "heartbeat check", true, false, {}, [] { return card_liveness(ctl_card_arg()); }},
         {"uuid", "the card's UUID", true, false, {}, [] { return card_uuid(ctl_card_arg()); }},
         {"decommission", "take the card off the PCIe bus", true, true,
          [](CLI::App& c) {
              c.add_flag("--reset", reset, "reset the card through its firmware first");
              c.add_flag("--cpld-reload", cpld_reload, "reload the CPLD instead of the card reset (implies --reset)");
              c.add_option("--reset-arg", reset_arg, "the value the reset request carries")->capture_default_str();
          },
          [] { return card_decommission(ctl_card_arg(), reset, cpld_reload, reset_arg); }},
         {"recommission", "reset, remove and rescan the card", true, true,
          [](CLI::App& c) {
              c.add_option("--rescan-delay", rescan_delay_s,
                           "seconds the card gets to reboot before the bus is rescanned")
                  ->type_name("SECONDS")
                  ->capture_default_str();
          },
          [] { return card_recommission(ctl_card_arg(), rescan_delay_s); }},
         ctl_card_reset_command()},
        run);
    ctl_add_commands(ctl_add_group(card, "time", "the card's clock"),
                     {{"get", "read the card's time", true, false, {}, [] { return card_time_get(ctl_card_arg()); }},
                      {"set", "set the card's time (the host's local time by default)", true, false,
                       [](CLI::App& c) { c.add_option("TIME", when, "\"YYYY-MM-DD HH:MM:SS\""); },
                       [] { return card_time_set(ctl_card_arg(), when); }}},
                     run);
}
