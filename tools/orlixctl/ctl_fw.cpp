// fw show|boot-image set|erase and secure-boot show|update, the card's
// firmware state as the other commands show it, and where every fw command
// is registered

#include <CLI/CLI.hpp>

#include "aml/aml_firmware.h"
#include "aml/aml_fw_info.h"
#include "tools/orlixctl/ctl.h"
#include "tools/orlixctl/ctl_fw.h"

namespace {

json versions_json(const aml_fw_versions_t& group)
{
    json out = json::array();
    for (const auto& [name, version] : group) {
        out.push_back(json{{"name", name}, {"version", version}});
    }
    return out;
}

ctl_result fw_show()
{
    aml_card_handle_s card = ctl_select_card(ctl_card_arg());
    ctl_result r;
    r.doc = ctl_fw_state(card);
    r.table = ctl_fw_state_table(r.doc);
    return r;
}

ctl_result fw_boot_image_set(const std::string& image)
{
    aml_card_handle_s card = ctl_select_card(ctl_card_arg());
    ctl_confirm_or_stop("Boot card " + card.bdf + " from " + image + " at its next reset?");
    ctl_call(aml_card_next_boot_image_update, aml_card_next_boot_image_update_req_s{card, image});
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"next_boot_image", image}};
    r.table = card.bdf + " boots " + image + " next\n";
    return r;
}

ctl_result fw_erase(const std::string& partition)
{
    if (!aml_flash_partition_known(partition)) {
        throw ctl_error(CTL_EXIT_NOT_FOUND, "Error - no flash partition \"" + partition + "\"");
    }
    aml_card_handle_s card = ctl_select_card(ctl_card_arg());
    ctl_confirm_or_stop("Erase partition " + partition + " of card " + card.bdf + "?");
    ctl_call(aml_card_flash_partition_erase, aml_card_flash_partition_erase_req_s{card, partition});
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"erased", partition}};
    r.table = card.bdf + " partition " + partition + " erased\n";
    return r;
}

ctl_result secure_boot_show()
{
    aml_card_handle_s card = ctl_select_card(ctl_card_arg());
    json fw = ctl_fw_state(card);
    ctl_result r;
    r.doc = json{{"address", card.bdf}};
    for (auto& [k, v] : fw["secure_boot"].items()) {
        r.doc[k] = v;
    }
    std::vector<std::pair<std::string, std::string>> fields;
    for (auto& [k, v] : r.doc.items()) {
        fields.emplace_back(k, v.is_string() ? v.get<std::string>() : v.dump());
    }
    r.table = ctl_fields(fields);
    return r;
}

ctl_result secure_boot_update(const std::string& state)
{
    const bool enable = state == "enable";
    aml_card_handle_s card = ctl_select_card(ctl_card_arg());
    ctl_confirm_or_stop((enable ? "Enable" : "Disable") + std::string(" secure boot on card ") + card.bdf + "?");
    ctl_call(aml_card_secure_boot_update, aml_card_secure_boot_update_req_s{card, uint8_t(enable ? 1 : 2)});
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"secure_boot", enable}};
    r.table = card.bdf + " secure boot " + state + "d\n";
    return r;
}

}  // namespace

json ctl_fw_state(aml_card_handle_s& card)
{
    auto fw = ctl_call(aml_card_fw_info_get, aml_card_fw_info_get_req_s{card});
    return json{{"address", card.bdf},
                {"board_id", fw.board_id},
                {"asic", fw.asic},
                {"running_image", fw.running_image},
                {"running_version", fw.running_version},
                {"next_boot_image", fw.next_boot_image},
                {"stored_version", fw.stored_version},
                {"reset_pending", fw.reset_pending},
                {"suc_running", fw.suc_running},
                {"suc_startup", fw.suc_startup},
                {"versions",
                 {{"suc", versions_json(fw.suc)},
                  {"fpga", versions_json(fw.fpga)},
                  {"secure_rom", versions_json(fw.secure_rom)},
                  {"soc", versions_json(fw.soc)}}},
                {"secure_boot",
                 {{"secure_boot", fw.secure_boot},
                  {"secure_enable", fw.secure_enable},
                  {"sigchk", fw.sigchk},
                  {"hw_fuse", fw.hw_fuse},
                  {"life_cycle_state", fw.life_cycle_state},
                  {"key_name", fw.key_name}}}};
}

std::string ctl_fw_state_table(const json& s)
{
    std::vector<std::vector<std::string>> rows;
    for (auto& [group, entries] : s["versions"].items()) {
        for (const auto& e : entries) {
            rows.push_back({group, e["name"], e["version"]});
        }
    }
    return ctl_fields({{"board_id", s["board_id"]},
                       {"running_image", s["running_image"]},
                       {"running_version", s["running_version"]},
                       {"next_boot_image", s["next_boot_image"]},
                       {"stored_version", s["stored_version"]},
                       {"reset_pending", ctl_fw_pending_text(s)},
                       {"secure_boot", s["secure_boot"]["secure_boot"].get<int>() ? "on" : "off"},
                       {"life_cycle_state", s["secure_boot"]["life_cycle_state"]}}) +
           "\n" + ctl_table({"GROUP", "IMAGE", "VERSION"}, rows);
}

void ctl_add_fw_commands(CLI::App& app, ctl_runner& run)
{
    static std::string image, partition, state;
    CLI::App& fw = ctl_add_group(app, "fw", "card firmware");
    ctl_add_commands(fw,
                     {{"show", "running and stored versions, boot image, next boot image", true, false, {}, fw_show},
                      ctl_fw_inspect_command(),
                      ctl_fw_update_command(),
                      {"erase", "erase one flash partition", true, true,
                       [](CLI::App& c) { c.add_option("PARTITION", partition, "partition name, e.g. soc-dtb")->required(); },
                       [] { return fw_erase(partition); }},
                      ctl_fw_verify_command()},
                     run);
    ctl_add_commands(ctl_add_group(fw, "boot-image", "the image the card boots next"),
                     {{"set", "select the next boot image", true, true,
                       [](CLI::App& c) {
                           c.add_option("IMAGE", image, "fw-a, fw-b, fw-gold or fw-alt")
                               ->required()
                               ->check(CLI::IsMember({"fw-a", "fw-b", "fw-gold", "fw-alt"}));
                       },
                       [] { return fw_boot_image_set(image); }}},
                     run);
    ctl_add_commands(ctl_add_group(app, "secure-boot", "secure boot state"),
                     {{"show", "secure boot and lifecycle state", true, false, {}, secure_boot_show},
                      {"update", "turn secure boot on or off", true, true,
                       [](CLI::App& c) {
                           c.add_option("STATE", state, "enable or disable")
                               ->required()
                               ->check(CLI::IsMember({"enable", "disable"}));
                       },
                       [] { return secure_boot_update(state); }}},
                     run);
    ctl_add_profile_commands(app, run);
}
