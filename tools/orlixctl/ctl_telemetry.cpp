// telemetry tail: the monitor's JSON-lines files of one card, banner lines
// skipped; --follow keeps reading as the monitor appends and rotates

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <iostream>
#include <thread>

#include <CLI/CLI.hpp>

#include "aml/aml_utils.h"
#include "tools/orlixctl/ctl.h"

namespace {

// one telemetry file read as the monitor writes it. only whole lines come
// out: a line still being written stays pending until its newline arrives.
// when the path names another file (the monitor rotated it to path.1 and
// opened a fresh one) or the file got shorter, what is left of the old one
// is read first and the new one from its start.
class log_follower {
public:
    explicit log_follower(std::string path) : path_(std::move(path)) { open(); }
    ~log_follower() { close(); }
    log_follower(const log_follower&) = delete;
    log_follower& operator=(const log_follower&) = delete;

    bool found() const { return f_ != nullptr; }

    void read(std::vector<std::string>& out)
    {
        if (f_ == nullptr) {
            open();
        }
        drain(out);
        struct stat now;
        if (f_ != nullptr && stat(path_.c_str(), &now) == 0 &&
            (now.st_ino != ino_ || now.st_dev != dev_ || now.st_size < ftell(f_))) {
            drain(out);
            pending_.clear();
            close();
            open();
            drain(out);
        }
    }

private:
    void open()
    {
        f_ = fopen(path_.c_str(), "r");
        struct stat st;
        if (f_ != nullptr && fstat(fileno(f_), &st) == 0) {
            ino_ = st.st_ino;
            dev_ = st.st_dev;
        }
    }

    void close()
    {
        if (f_ != nullptr) {
            fclose(f_);
            f_ = nullptr;
        }
    }

    void drain(std::vector<std::string>& out)
    {
        if (f_ == nullptr) {
            return;
        }
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f_)) > 0) {
            pending_.append(buf, n);
        }
        clearerr(f_);  // at the end for now; the monitor appends more
        size_t start = 0;
        for (size_t nl; (nl = pending_.find('\n', start)) != std::string::npos; start = nl + 1) {
            std::string line = pending_.substr(start, nl - start);
            if (line.rfind("***", 0) == 0 || ctl_trim(line).empty()) {
                continue;  // the banner of each opening
            }
            out.push_back(std::move(line));
        }
        pending_.erase(0, start);
    }

    std::string path_;
    FILE* f_ = nullptr;
    ino_t ino_ = 0;
    dev_t dev_ = 0;
    std::string pending_;
};

// a record as a table line: key=value pairs in the record's order
std::string record_text(const std::string& line)
{
    json j = json::parse(line, nullptr, false);
    if (!j.is_object()) {
        return line;
    }
    std::string out;
    for (auto& [k, v] : j.items()) {
        out += (out.empty() ? "" : "  ") + k + "=" + (v.is_string() ? v.get<std::string>() : v.dump());
    }
    return out;
}

// the files are named by PCI address: a card that left the bus (or a host
// without the library set up) still has them, so an address is taken as it is
std::string card_address(const std::string& name)
{
    std::string text = ctl_lower(ctl_trim(name));
    if (!is_bdf_valid(text) && is_bdf_valid("0000:" + text)) {
        text = "0000:" + text;
    }
    return is_bdf_valid(text) ? text : ctl_select_card(name).bdf;
}

ctl_result telemetry_tail(const std::string& name, bool stats, bool events, bool follow, size_t lines)
{
    aml_card_handle_s card;
    card.bdf = card_address(name);
    ctl_resolve_telemetry_dir();
    std::vector<std::unique_ptr<log_follower>> files;
    if (stats || !events) {
        files.push_back(std::make_unique<log_follower>(ctl_opts().telemetry_dir + "/card_" + card.bdf + "_stats.log"));
    }
    if (events || !stats) {
        files.push_back(std::make_unique<log_follower>(ctl_opts().telemetry_dir + "/card_" + card.bdf + "_event.log"));
    }
    std::vector<std::string> all;
    bool any = false;
    for (auto& f : files) {
        any = any || f->found();
        f->read(all);
    }
    if (!any) {
        throw ctl_error(CTL_EXIT_NOT_FOUND, "Error - no telemetry of card " + card.bdf + " in " +
                                                ctl_opts().telemetry_dir + " (" + ctl_opts().telemetry_dir_source +
                                                "; --telemetry-dir names another directory)");
    }
    if (all.size() > lines) {
        all.erase(all.begin(), all.end() - static_cast<std::ptrdiff_t>(lines));
    }
    if (follow) {
        // a stream, ended by a signal: with --json one record a line, as written
        auto emit = [](const std::vector<std::string>& records) {
            for (const auto& l : records) {
                std::cout << (ctl_opts().json ? l : record_text(l)) << "\n";
            }
            std::cout << std::flush;
        };
        emit(all);
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            std::vector<std::string> more;
            for (auto& f : files) {
                f->read(more);
            }
            emit(more);
        }
    }
    ctl_result r;
    json arr = json::array();
    for (const auto& l : all) {
        json j = json::parse(l, nullptr, false);
        arr.push_back(j.is_discarded() ? json(l) : j);
        r.table += record_text(l) + "\n";
    }
    r.doc = json{{"address", card.bdf}, {"records", arr}};
    return r;
}

}  // namespace

void ctl_add_telemetry_commands(CLI::App& app, ctl_runner& run)
{
    static bool stats = false, events = false, follow = false;
    static size_t lines = 20;
    ctl_add_commands(ctl_add_group(app, "telemetry", "the monitor's telemetry of a card"),
                     {{"tail", "the last telemetry records", true, false,
                       [](CLI::App& c) {
                           auto* fs = c.add_flag("--stats", stats, "stats records only");
                           c.add_flag("--events", events, "event records only")->excludes(fs);
                           c.add_flag("-f,--follow", follow, "keep printing new records (the monitor's rotations followed)");
                           c.add_option("-n,--lines", lines, "how many records")->capture_default_str();
                       },
                       [] { return telemetry_tail(ctl_card_arg(), stats, events, follow, lines); }}},
                     run);
}
