// card reset: the card reboots into the image it boots next, which is how an
// installed firmware comes to run. the card's firmware resets it while it is
// off the bus (the recommission of the library: host drivers unbound, error
// reporting of the host port masked, reset, remove, rescan, port restored),
// then the firmware state is read back

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "aml/aml_pcie.h"
#include "tools/orlixctl/ctl.h"

std::string ctl_fw_pending_text(const json& s)
{
    if (!s.value("reset_pending", false)) {
        return "no";
    }
    return fmt::format("yes: {} ({}) runs after a reset (orlixctl card reset {})",
                       s["next_boot_image"].get<std::string>(), s["stored_version"].get<std::string>(),
                       s["address"].get<std::string>());
}

namespace {

ctl_result card_reset(const std::string& name, uint32_t delay_s)
{
    aml_card_handle_s card = ctl_select_card(name);
    // a card whose flash service does not answer is the one most in need of
    // a reset: it goes ahead, without an image to expect
    json before = nullptr;
    std::string boots = "its next boot image";
    try {
        before = ctl_fw_state(card);
        boots = before["next_boot_image"].get<std::string>() + " (" + before["stored_version"].get<std::string>() + ")";
    } catch (const ctl_error&) {
    }
    ctl_confirm_or_stop(
        fmt::format("Reset card {}? It leaves the PCIe bus for {} s and boots {}", card.bdf, delay_s, boots));
    std::string step, error;
    aml_status_e status = aml_card_recommission(&card, step, error, delay_s);
    if (status != AML_STATUS_OK) {
        ctl_fail(status, step + ": " + error);
    }
    // read back: the card must run what it was to boot
    json after = ctl_fw_state(card);
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"reset", true}, {"before", before}, {"firmware", after}};
    const std::string running = after["running_image"].get<std::string>() + " (" +
                                after["running_version"].get<std::string>() + ")";
    if (before.is_object() && after["running_image"] != before["next_boot_image"]) {
        throw ctl_error(CTL_EXIT_FAILURE, "Error - " + card.bdf + " was reset but runs " + running + ", not " +
                                              before["next_boot_image"].get<std::string>());
    }
    r.table = card.bdf + " reset, runs " + running + "\n";
    return r;
}

}  // namespace

ctl_command_s ctl_card_reset_command()
{
    static uint32_t delay_s = AML_RECOMMISSION_RESCAN_DELAY_S;
    return {"reset", "reset the card: it boots its next boot image (off the bus meanwhile)", true, true,
            [](CLI::App& c) {
                c.add_option("--rescan-delay", delay_s, "seconds the card gets to reboot before the bus is rescanned")
                    ->type_name("SECONDS")
                    ->capture_default_str();
            },
            [] { return card_reset(ctl_card_arg(), delay_s); }};
}
