// fw verify: the card's flash against a package through the card's own
// checksums; nothing is written

#include <CLI/CLI.hpp>

#include "aml/aml_fw_update.h"
#include "tools/orlixctl/ctl_fw.h"

namespace {

struct verify_args {
    std::string package;
    bool gold = false;
    uint32_t timeout_s = AML_FW_TIMEOUT_DEFAULT_S;
};
verify_args g_verify;

std::string short_digest(const std::string& d)
{
    return d.size() > 16 ? d.substr(0, 16) + "..." : d;
}

ctl_result fw_verify()
{
    const verify_args& a = g_verify;
    ctl_require_package_file(a.package);
    aml_card_handle_s card = ctl_select_card(ctl_card_arg());
    auto rsp = ctl_call(aml_card_fw_verify, aml_card_fw_verify_req_s{card, a.package, a.gold, a.timeout_s});
    ctl_result r;
    r.doc = json{{"address", card.bdf}, {"package", a.package}, {"match", true}, {"partitions", json::array()}};
    std::vector<std::vector<std::string>> rows;
    std::string differ;
    for (const auto& c : rsp.partitions) {
        r.doc["partitions"].push_back(json{{"partition", c.partition},
                                           {"file", c.file},
                                           {"version", c.version},
                                           {"size", c.size},
                                           {"match", c.match},
                                           {"package_sha512", c.package_sha512},
                                           {"card_sha512", c.card_sha512}});
        rows.push_back({c.partition, c.file, c.version, std::to_string(c.size),
                        c.match ? "match" : "MISMATCH (card " + short_digest(c.card_sha512) + ")"});
        if (!c.match) {
            differ += (differ.empty() ? "" : ", ") + c.partition;
        }
    }
    r.doc["match"] = differ.empty() && !rsp.partitions.empty();
    r.table = ctl_fields({{"address", card.bdf},
                          {"package", a.package},
                          {"flash", differ.empty() ? "matches the package" : "differs from the package"}}) +
              "\n" + ctl_table({"PARTITION", "FILE", "VERSION", "SIZE", "CHECK"}, rows);
    if (rsp.partitions.empty()) {
        fprintf(stderr, "Error - %s: the package writes no partition to compare\n", card.bdf.c_str());
        r.exit_code = CTL_EXIT_CHECK_FAILED;
    } else if (!differ.empty()) {
        fprintf(stderr, "Error - %s: flash differs from package %s in %s\n", card.bdf.c_str(), a.package.c_str(),
                differ.c_str());
        r.exit_code = CTL_EXIT_CHECK_FAILED;
    }
    return r;
}

}  // namespace

ctl_command_s ctl_fw_verify_command()
{
    return {"verify", "compare the card's flash with a package (writes nothing)", true, false,
            [](CLI::App& c) {
                c.add_option("PACKAGE", g_verify.package, "firmware package")->required();
                c.add_flag("--gold", g_verify.gold, "compare the package's gold image");
                c.add_option("--timeout", g_verify.timeout_s, "give up after SECONDS (0: never)")
                    ->type_name("SECONDS")
                    ->capture_default_str();
            },
            fw_verify};
}
