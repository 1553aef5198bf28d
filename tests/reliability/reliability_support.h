#pragma once

// what the fault tests share: their figures in one fixed line form, and the
// check of a file of JSON lines

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// prints "FIGURE name key=value key=value ..." on standard output, one line,
// for tools/reliability-report to collect
void reliability_figure(const std::string& name, const std::vector<std::pair<std::string, std::string>>& values);

// what a telemetry file holds: its lines (the boot banners left out), how
// many of them jq cannot parse, and whether the last one is cut short (no
// newline at the end of the file)
struct jsonl_check_s {
    size_t lines = 0;
    size_t banners = 0;
    size_t bad = 0;
    bool cut_end = false;
    bool jq_ran = false;
};
jsonl_check_s reliability_check_jsonl(const std::string& path);

// children of this process that have ended but are not reaped yet
bool reliability_zombie_child();
