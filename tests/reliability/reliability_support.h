#pragma once

// what the fault tests share: their figures in one fixed line form, and the
// check of a file of JSON lines

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// a figure's value: a text or a number
struct figure_value_s {
    std::string text;
    figure_value_s(const char* t) : text(t) {}
    figure_value_s(std::string t) : text(std::move(t)) {}
    template <typename T, typename = std::enable_if_t<std::is_arithmetic_v<T>>>
    figure_value_s(T v) : text(std::to_string(v))
    {
    }
};

// prints "FIGURE name key=value key=value ..." on standard output, one line,
// for tools/reliability-report to collect
void reliability_figure(const std::string& name, const std::vector<std::pair<std::string, figure_value_s>>& values);

// what telemetry files hold: their lines (the boot banners left out), how
// many of them jq cannot parse, how many files end in a cut line (no newline
// at the end) and how many jq could not read
struct jsonl_check_s {
    size_t lines = 0, banners = 0, bad = 0, cut = 0, unreadable = 0;
    size_t lost() const { return bad + cut + unreadable; }
    jsonl_check_s& operator+=(const jsonl_check_s& o)
    {
        lines += o.lines, banners += o.banners, bad += o.bad, cut += o.cut, unreadable += o.unreadable;
        return *this;
    }
};
jsonl_check_s reliability_check_jsonl(const std::string& path);

// children of this process that have ended but are not reaped yet
bool reliability_zombie_child();
