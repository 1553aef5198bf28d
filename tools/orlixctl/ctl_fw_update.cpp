// fw update: a package installed on one card or several at once, each on
// a thread of its own with its progress, after the package's digests and
// each card's running version were checked

#include <thread>

#include <CLI/CLI.hpp>

#include "aml/aml_fw_update.h"
#include "tools/orlixctl/ctl_fw.h"

namespace {

// a firmware version as packages and cards write it: the release, dotted
// numbers ("1.4.2"), optionally followed by a build tag, "-E-57" (release
// tree "1.4.2-E", build 57) or "-57". a card reports either form
struct fw_version_s {
    std::vector<unsigned long> release;  // empty: the text starts with no number
    std::string tree;                    // the tree's letter, "" when the tag has none
    bool has_build = false;
    unsigned long build = 0;
};

fw_version_s parse_version(const std::string& text)
{
    fw_version_s v;
    auto number = [&text](size_t& i, unsigned long& out) {
        size_t j = i;
        while (j < text.size() && isdigit(static_cast<unsigned char>(text[j]))) {
            j++;
        }
        if (j == i) {
            return false;
        }
        // more than nine digits is no version a card writes; the rest is cut
        out = std::stoul(text.substr(i, std::min<size_t>(j - i, 9)));
        i = j;
        return true;
    };
    size_t i = 0;
    for (unsigned long n = 0; number(i, n);) {
        v.release.push_back(n);
        if (i >= text.size() || text[i] != '.') {
            break;
        }
        i++;
    }
    if (v.release.empty() || i >= text.size() || text[i] != '-') {
        return v;
    }
    size_t at = i + 1;
    std::string tree;
    if (at + 1 < text.size() && isalpha(static_cast<unsigned char>(text[at])) && text[at + 1] == '-') {
        tree = text.substr(at, 1);
        at += 2;
    }
    unsigned long build = 0;
    if (number(at, build) && at == text.size()) {
        v.tree = tree;
        v.has_build = true;
        v.build = build;
    }
    return v;
}

enum class version_order_e { OLDER, SAME, NEWER, UNKNOWN };

// where the package's version stands against the running one. the releases
// decide, missing fields counting as zero ("1.4" is "1.4.0"); the build
// number decides between two builds of one release tree only, so "1.4.0-E-12"
// is the release a card reporting "1.4.0" runs. text without a release
// number (a card's "unknown") compares with nothing
version_order_e version_order(const std::string& package, const std::string& running)
{
    fw_version_s p = parse_version(package), r = parse_version(running);
    if (p.release.empty() || r.release.empty()) {
        return version_order_e::UNKNOWN;
    }
    size_t n = std::max(p.release.size(), r.release.size());
    p.release.resize(n, 0);
    r.release.resize(n, 0);
    if (p.release != r.release) {
        return p.release < r.release ? version_order_e::OLDER : version_order_e::NEWER;
    }
    if (p.has_build && r.has_build && p.tree == r.tree && p.build != r.build) {
        return p.build < r.build ? version_order_e::OLDER : version_order_e::NEWER;
    }
    return version_order_e::SAME;
}

struct update_args {
    std::string cards, package;
    bool dry_run = false, gold = false, allow_older = false;
    uint32_t timeout_s = AML_FW_TIMEOUT_DEFAULT_S;
};
update_args g_update;

struct card_outcome {
    aml_card_handle_s card;
    std::string running_version;
    int exit_code = CTL_EXIT_OK;
    std::string result;  // "updated", "up to date", "would update", failure text
    uint8_t progress = 0;
    std::string status;
    std::string written_image;  // where a successful install wrote
    bool reset_pending = false;
};

ctl_result fw_update()
{
    const update_args& a = g_update;
    std::vector<aml_card_handle_s> cards = ctl_select_cards(a.cards);
    bool ok = true;
    json pkg = ctl_fw_inspect_package(a.package, ok);
    if (!ok) {
        throw ctl_error(CTL_EXIT_CHECK_FAILED, "Error - package " + a.package + " failed its digest check: nothing done");
    }
    const std::string version = pkg["software_version"];
    std::vector<card_outcome> outcomes(cards.size());
    // what each card runs now: read only
    for (size_t i = 0; i < cards.size(); i++) {
        outcomes[i].card = cards[i];
        json state = ctl_fw_state(outcomes[i].card);
        outcomes[i].running_version = state["running_version"];
        // a gold image is installed whatever the main image runs
        version_order_e order = a.gold ? version_order_e::UNKNOWN : version_order(version, outcomes[i].running_version);
        if (order != version_order_e::SAME && !a.gold && state["reset_pending"].get<bool>() &&
            version_order(version, state["stored_version"]) == version_order_e::SAME) {
            // written already, waiting for the reset: writing it again changes nothing
            outcomes[i].exit_code = CTL_EXIT_NOTHING_TO_DO;
            outcomes[i].result = "already stored in " + state["next_boot_image"].get<std::string>() +
                                 ", pending reset (orlixctl card reset " + cards[i].bdf + " runs it)";
        } else if (order == version_order_e::SAME) {
            outcomes[i].exit_code = CTL_EXIT_NOTHING_TO_DO;
            const std::string& running = outcomes[i].running_version;
            outcomes[i].result = "already at " + running + (running == version ? "" : " (package " + version + ")");
        } else if (order == version_order_e::OLDER && !a.allow_older) {
            outcomes[i].exit_code = CTL_EXIT_CHECK_FAILED;
            outcomes[i].result = "package " + version + " is older than the running " +
                                 outcomes[i].running_version + " (--allow-older installs it)";
        }
    }
    std::vector<size_t> todo;
    for (size_t i = 0; i < outcomes.size(); i++) {
        if (outcomes[i].exit_code == CTL_EXIT_OK) {
            todo.push_back(i);
            if (a.dry_run) {
                outcomes[i].result = "would install " + version + " over " + outcomes[i].running_version;
            }
        }
    }
    if (!a.dry_run && !todo.empty()) {
        std::string names;
        for (size_t i : todo) {
            names += (names.empty() ? "" : ", ") + outcomes[i].card.bdf;
        }
        ctl_confirm_or_stop("Install " + a.package + " (" + version + ") on " + names + "?");
        std::vector<std::string> labels;
        for (size_t i : todo) {
            labels.push_back(outcomes[i].card.bdf);
        }
        ctl_progress bar(labels);
        std::vector<std::thread> threads;
        for (size_t k = 0; k < todo.size(); k++) {
            threads.emplace_back([&, k] {
                card_outcome& o = outcomes[todo[k]];
                aml_card_fw_update_req_s req;
                req.card = o.card;
                req.package = a.package;
                req.gold = a.gold;
                req.timeout_s = a.timeout_s;
                req.on_progress = [&](unsigned percent, const std::string& step) {
                    bar.update(k, percent, step.empty() ? "Starting" : step);
                };
                aml_card_fw_update_rsp_s rsp;
                aml_status_e status = aml_card_fw_update(&req, &rsp);
                if (!rsp.readback.empty()) {
                    bar.update(k, rsp.progress, "Failed");
                    o.result = "installed, but " + rsp.readback;
                    o.exit_code = CTL_EXIT_FAILURE;
                } else if (status == AML_STATUS_OK) {
                    bar.update(k, 100, "Done");
                    o.written_image = rsp.written_image;
                    o.reset_pending = !rsp.nothing_to_do && !a.gold;
                    o.result = rsp.nothing_to_do ? "nothing had to be written"
                               : a.gold          ? "updated to " + version + " in " + rsp.written_image
                                                 : "updated to " + version + " in " + rsp.written_image +
                                              ", pending reset: it runs after orlixctl card reset " + o.card.bdf;
                    o.exit_code = rsp.nothing_to_do ? CTL_EXIT_NOTHING_TO_DO : CTL_EXIT_OK;
                } else {
                    bar.update(k, rsp.progress, "Failed");
                    o.result = aml_status_to_str(status) + ": " + ctl_trim(rsp.error);
                    o.exit_code = CTL_EXIT_FAILURE;
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
        bar.finish();
    }
    ctl_result r;
    r.doc = json{{"package", a.package}, {"version", version}, {"dry_run", a.dry_run}, {"cards", json::array()}};
    std::vector<std::vector<std::string>> rows;
    int worst = CTL_EXIT_OK;
    bool all_nothing = true;
    for (const auto& o : outcomes) {
        r.doc["cards"].push_back(json{{"address", o.card.bdf},
                                      {"uuid", o.card.uuid},
                                      {"running_version", o.running_version},
                                      {"exit_code", o.exit_code},
                                      {"result", o.result},
                                      {"written_image", o.written_image},
                                      {"reset_pending", o.reset_pending}});
        rows.push_back({o.card.bdf, o.running_version, o.result});
        if (o.exit_code != CTL_EXIT_NOTHING_TO_DO) {
            all_nothing = false;
            if (o.exit_code != CTL_EXIT_OK && worst == CTL_EXIT_OK) {
                worst = o.exit_code;
            }
            if (o.exit_code != CTL_EXIT_OK && o.exit_code != CTL_EXIT_NOTHING_TO_DO) {
                fprintf(stderr, "Error - %s: %s\n", o.card.bdf.c_str(), o.result.c_str());
            }
        }
    }
    r.exit_code = all_nothing ? CTL_EXIT_NOTHING_TO_DO : worst;
    r.table = ctl_table({"ADDRESS", "RUNNING", "RESULT"}, rows);
    return r;
}

}  // namespace

ctl_command_s ctl_fw_update_command()
{
    return {"update", "install a firmware package", false, true,
            [](CLI::App& upd) {
                upd.add_option("CARD", g_update.cards, std::string(CTL_CARD_HELP) + "; several with commas, or \"all\"")
                    ->required();
                upd.add_option("PACKAGE", g_update.package, "firmware package")->required();
                upd.add_flag("--dry-run", g_update.dry_run, "check the package and the cards, change nothing");
                upd.add_flag("--gold", g_update.gold, "install the package's gold image");
                upd.add_flag("--allow-older", g_update.allow_older, "install a version older than the running one");
                upd.add_option("--timeout", g_update.timeout_s,
                               "give up a card's install after SECONDS, leaving its boot image as it was (0: never)")
                    ->type_name("SECONDS")
                    ->capture_default_str();
            },
            fw_update};
}
