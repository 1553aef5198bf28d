// what every orlixctl command shares: options, tables, the root check, the
// library set-up, card selection and progress

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>

#include <fmt/format.h>

#include "aml/aml_inventory.h"
#include "aml/aml_state.h"
#include "aml/aml_utils.h"
#include "tools/orlixctl/ctl.h"

ctl_options& ctl_opts()
{
    static ctl_options opts;
    return opts;
}

std::string ctl_lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string ctl_trim(const std::string& text)
{
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return "";
    }
    size_t e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

void ctl_fail(aml_status_e status, const std::string& error)
{
    std::string message = aml_status_to_str(status);
    std::string detail = ctl_trim(error);
    if (!detail.empty()) {
        message += ": " + detail;
    }
    throw ctl_error(status == AML_STATUS_NOT_FOUND ? CTL_EXIT_NOT_FOUND : CTL_EXIT_FAILURE, message,
                    static_cast<int>(status));
}

std::string ctl_table(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows)
{
    std::vector<size_t> width(header.size(), 0);
    auto measure = [&](const std::vector<std::string>& row) {
        for (size_t i = 0; i < row.size() && i < width.size(); i++) {
            width[i] = std::max(width[i], row[i].size());
        }
    };
    measure(header);
    for (const auto& r : rows) {
        measure(r);
    }
    std::string out;
    auto line = [&](const std::vector<std::string>& row) {
        std::string l;
        for (size_t i = 0; i < width.size(); i++) {
            std::string cell = i < row.size() ? row[i] : "";
            l += i + 1 < width.size() ? fmt::format("{:<{}}  ", cell, width[i]) : cell;
        }
        out += ctl_trim(l).empty() ? "\n" : l.substr(0, l.find_last_not_of(' ') + 1) + "\n";
    };
    line(header);
    for (const auto& r : rows) {
        line(r);
    }
    return out;
}

std::string ctl_fields(const std::vector<std::pair<std::string, std::string>>& fields)
{
    size_t w = 0;
    for (const auto& f : fields) {
        w = std::max(w, f.first.size());
    }
    std::string out;
    for (const auto& [k, v] : fields) {
        out += fmt::format("{:<{}}  {}\n", k, w, v);
    }
    return out;
}

void ctl_require_root()
{
    if (geteuid() != 0) {
        throw ctl_error(CTL_EXIT_FAILURE,
                        "Error - orlixctl requires root privileges, please login as superuser or use sudo");
    }
}

void ctl_library_init()
{
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    aml_init_params_s params;
    params.oper_dir = ctl_opts().state_dir;
    params.conf_dir = ctl_opts().conf_dir;
    if (aml_init(params) != AML_STATUS_OK) {
        throw ctl_error(CTL_EXIT_FAILURE, "Error - cannot set up the directories " + params.oper_dir + " and " +
                                              params.conf_dir,
                        AML_STATUS_INIT_ERR);
    }
}

static std::vector<aml_card_handle_s> inventory()
{
    ctl_require_root();
    ctl_library_init();
    aml_card_inventory_get_req_s req;
    aml_card_inventory_get_rsp_s rsp;
    aml_status_e status = aml_card_inventory_get(&req, &rsp);
    if (status != AML_STATUS_OK && rsp.cards.empty()) {
        ctl_fail(status, rsp.error);
    }
    return rsp.cards;
}

aml_card_handle_s ctl_select_card(const std::string& raw)
{
    const std::string text = ctl_lower(ctl_trim(raw));
    if (text.empty()) {
        throw ctl_error(CTL_EXIT_FAILURE, "Error - no card given: name it by PCI address, UUID, serial number or index");
    }
    std::vector<aml_card_handle_s> cards = inventory();
    if (std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }) && text.size() <= 3) {
        size_t index = std::stoul(text);
        if (index >= cards.size()) {
            throw ctl_error(CTL_EXIT_NOT_FOUND,
                            fmt::format("Error - no card with index {} (the host has {} card{})", index, cards.size(),
                                        cards.size() == 1 ? "" : "s"));
        }
        return cards[index];
    }
    std::string bdf = text;
    if (!is_bdf_valid(bdf) && is_bdf_valid("0000:" + bdf)) {
        bdf = "0000:" + bdf;
    }
    if (is_bdf_valid(bdf)) {
        for (const auto& c : cards) {
            if (c.bdf == bdf) {
                return c;
            }
        }
        throw ctl_error(CTL_EXIT_NOT_FOUND, "Error - no card at PCI address " + bdf);
    }
    if (is_uuid_valid(text)) {
        for (const auto& c : cards) {
            if (c.uuid == text) {
                return c;
            }
        }
        throw ctl_error(CTL_EXIT_NOT_FOUND, "Error - no card with UUID " + text);
    }
    for (const auto& c : cards) {
        aml_card_get_req_s req;
        req.card = c;
        aml_card_get_rsp_s rsp;
        if (aml_card_get(&req, &rsp) == AML_STATUS_OK && ctl_lower(rsp.serial_num) == text) {
            return c;
        }
    }
    throw ctl_error(CTL_EXIT_NOT_FOUND, "Error - no card with PCI address, UUID, serial number or index \"" +
                                            ctl_trim(raw) + "\"");
}

std::vector<aml_card_handle_s> ctl_select_cards(const std::string& text)
{
    if (ctl_lower(ctl_trim(text)) == "all") {
        std::vector<aml_card_handle_s> cards = inventory();
        if (cards.empty()) {
            throw ctl_error(CTL_EXIT_NOT_FOUND, "Error - no card on this host", AML_STATUS_CARD_NOT_DETECTED);
        }
        return cards;
    }
    std::vector<aml_card_handle_s> out;
    size_t from = 0;
    for (;;) {
        size_t comma = text.find(',', from);
        aml_card_handle_s card = ctl_select_card(text.substr(from, comma == std::string::npos ? comma : comma - from));
        for (const auto& c : out) {
            if (c.bdf == card.bdf) {
                throw ctl_error(CTL_EXIT_FAILURE, "Error - card " + card.bdf + " is named twice");
            }
        }
        out.push_back(card);
        if (comma == std::string::npos) {
            return out;
        }
        from = comma + 1;
    }
}

// progress

static double now_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

ctl_progress::ctl_progress(const std::vector<std::string>& labels)
    : bars_(!ctl_opts().json && isatty(STDERR_FILENO)), start_(now_s()), mutex_(new std::mutex)
{
    for (const auto& l : labels) {
        rows_.push_back({l});
    }
}

ctl_progress::~ctl_progress()
{
    finish();
    delete static_cast<std::mutex*>(mutex_);
}

void ctl_progress::update(size_t card, unsigned percent, const std::string& status)
{
    std::lock_guard<std::mutex> lock(*static_cast<std::mutex*>(mutex_));
    if (card >= rows_.size()) {
        return;
    }
    row& r = rows_[card];
    // the engine restarts its count after the rehearsal: never go back
    unsigned p = std::min(100u, std::max(r.percent, percent));
    bool changed = !r.started || p != r.percent || status != r.status;
    bool new_step = !r.started || status != r.status;
    r.started = true;
    r.percent = p;
    r.status = status;
    if (!changed) {
        return;
    }
    if (bars_) {
        draw_locked();
    } else if (new_step) {
        fprintf(stderr, "%s %3u%% %s (%.1f s)\n", r.label.c_str(), r.percent, r.status.c_str(), now_s() - start_);
        fflush(stderr);
    }
}

void ctl_progress::draw_locked()
{
    const int width = 30;
    std::string out;
    if (drawn_ && rows_.size() > 1) {
        out += fmt::format("\x1b[{}A", rows_.size() - 1);
    }
    double elapsed = now_s() - start_;
    for (size_t i = 0; i < rows_.size(); i++) {
        const row& r = rows_[i];
        int fill = static_cast<int>(r.percent * width / 100);
        out += fmt::format("\r\x1b[2K{} [{}{}] {:3}% {:02}:{:02} {}", r.label, std::string(fill, '#'),
                           std::string(width - fill, '.'), r.percent, static_cast<int>(elapsed) / 60,
                           static_cast<int>(elapsed) % 60, r.status);
        if (i + 1 < rows_.size()) {
            out += "\n";
        }
    }
    drawn_ = true;
    fputs(out.c_str(), stderr);
    fflush(stderr);
}

void ctl_progress::finish()
{
    std::lock_guard<std::mutex> lock(*static_cast<std::mutex*>(mutex_));
    if (bars_ && drawn_) {
        fputs("\n", stderr);
        fflush(stderr);
        drawn_ = false;
        bars_ = false;
    }
}
