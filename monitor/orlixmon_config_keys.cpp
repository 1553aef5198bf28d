// the keys the configuration reader knows and how it converts their values:
// the checks here name what it would otherwise silently take or drop

#include "monitor/orlixmon_config_keys.h"

#include <algorithm>

#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>

#include <fmt/format.h>

namespace pt = boost::property_tree;

namespace {

enum class value_e { TEXT, INTERVAL, NUMBER, FLAG, OBJECT, RULES };

struct key_s {
    const char* path;  // dotted, from the object it belongs to
    value_e kind;
};

const key_s k_top_keys[] = {
    {"log_dir", value_e::TEXT},
    {"telemetry_dir", value_e::TEXT},
    {"worker_wait", value_e::TEXT},
    {"filter", value_e::OBJECT},
    {"filter.card", value_e::OBJECT},
    {"filter.card.liveness_poll_interval", value_e::INTERVAL},
    {"filter.lif", value_e::OBJECT},
    {"filter.lif.poll_interval", value_e::INTERVAL},
    {"filter.lif.counters", value_e::RULES},
    {"filter.port", value_e::OBJECT},
    {"filter.port.poll_interval", value_e::INTERVAL},
    {"filter.port.counters", value_e::RULES},
    {"metrics", value_e::OBJECT},
    {"metrics.listen", value_e::TEXT},
    {"metrics.counters", value_e::TEXT},
    {"metrics.web_config_file", value_e::TEXT},
    {"metrics.transceiver_interval", value_e::INTERVAL},
};

// one element of a counters array
const key_s k_rule_keys[] = {
    {"counter", value_e::TEXT},
    {"cumulative", value_e::FLAG},
    {"threshold", value_e::OBJECT},
    {"threshold.value", value_e::NUMBER},
    {"action", value_e::OBJECT},
    {"action.event_record", value_e::FLAG},
    {"action.stats_record", value_e::FLAG},
};

const char* const k_interval_defaults[][2] = {
    {"filter.card.liveness_poll_interval", "1000000"},
    {"filter.lif.poll_interval", "100000"},
    {"filter.port.poll_interval", "100000"},
    {"metrics.transceiver_interval", "60000000"},
};

template <size_t N>
const key_s* find_key(const key_s (&keys)[N], const std::string& path)
{
    for (const auto& k : keys) {
        if (path == k.path) {
            return &k;
        }
    }
    return nullptr;
}

std::string interval_default(const std::string& path)
{
    for (const auto& d : k_interval_defaults) {
        if (path == d[0]) {
            return d[1];
        }
    }
    return "0";
}

std::string trim(const std::string& text)
{
    size_t b = text.find_first_not_of(" \t\r\n");
    return b == std::string::npos ? "" : text.substr(b, text.find_last_not_of(" \t\r\n") - b + 1);
}

// a number read as the reader reads it: a word falls back, a minus sign wraps
void check_number(const pt::ptree& node, const std::string& shown, const std::string& fallback,
                  std::vector<std::string>& out)
{
    const std::string text = node.data();
    boost::optional<uint64_t> value = node.get_value_optional<uint64_t>();
    if (!value) {
        out.push_back(fmt::format("{}: \"{}\" is not a whole number, the default {} applies", shown, text, fallback));
    } else if (trim(text).rfind('-', 0) == 0) {
        out.push_back(fmt::format("{}: \"{}\" has a minus sign and wraps to {}", shown, text, *value));
    }
}

void check_flag(const pt::ptree& node, const std::string& shown, std::vector<std::string>& out)
{
    const std::string text = node.data();
    if (text != "true" && text != "false") {
        out.push_back(fmt::format("{}: \"{}\" is neither true nor false and counts as false", shown, text));
    }
}

template <size_t N>
std::vector<std::string> key_names(const key_s (&keys)[N], const std::string& prefix)
{
    std::vector<std::string> names;
    for (const auto& k : keys) {
        std::string p = k.path;
        if (p.rfind(prefix, 0) == 0 && p.find('.', prefix.size()) == std::string::npos) {
            names.push_back(p.substr(prefix.size()));
        }
    }
    return names;
}

template <size_t N>
void check_object(const pt::ptree& node, const key_s (&keys)[N], const std::string& prefix, const std::string& shown,
                  std::vector<std::string>& out);

void check_rules(const pt::ptree& list, const std::string& shown, std::vector<std::string>& out)
{
    size_t i = 0;
    for (const auto& element : list) {
        check_object(element.second, k_rule_keys, "", fmt::format("{}[{}].", shown, i++), out);
    }
}

// prefix: the dotted path in the key table; shown: the path as the operator reads it
template <size_t N>
void check_object(const pt::ptree& node, const key_s (&keys)[N], const std::string& prefix, const std::string& shown,
                  std::vector<std::string>& out)
{
    for (const auto& [name, child] : node) {
        const std::string path = prefix + name;
        const key_s* key = find_key(keys, path);
        if (key == nullptr) {
            std::string near = orlixmon_closest_word(name, key_names(keys, prefix));
            out.push_back(near.empty() ? fmt::format("unknown key \"{}{}\"", shown, name)
                                       : fmt::format("unknown key \"{}{}\" (did you mean \"{}{}\"?)", shown, name,
                                                     shown, near));
            continue;
        }
        switch (key->kind) {
        case value_e::OBJECT:
            // "threshold": 100 reads as no threshold.value at all
            if (child.empty() && !child.data().empty()) {
                out.push_back(fmt::format("{}{}: \"{}\" is not an object, the keys below it take their defaults",
                                          shown, name, child.data()));
            }
            check_object(child, keys, path + ".", shown + name + ".", out);
            break;
        case value_e::RULES:
            check_rules(child, shown + name, out);
            break;
        case value_e::INTERVAL:
            check_number(child, shown + name, interval_default(path), out);
            break;
        case value_e::NUMBER:
            check_number(child, shown + name, "0", out);
            break;
        case value_e::FLAG:
            check_flag(child, shown + name, out);
            break;
        case value_e::TEXT:
            break;
        }
    }
}

size_t edit_distance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); j++) {
        row[j] = j;
    }
    for (size_t i = 1; i <= a.size(); i++) {
        size_t diag = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); j++) {
            size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diag = up;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string orlixmon_closest_word(const std::string& word, const std::vector<std::string>& candidates)
{
    std::string best;
    size_t best_distance = std::max<size_t>(2, word.size() / 3) + 1;
    for (const auto& c : candidates) {
        size_t d = edit_distance(word, c);
        if (d < best_distance) {
            best = c;
            best_distance = d;
        }
    }
    return best;
}

std::vector<std::string> orlixmon_config_warnings(const pt::ptree& root)
{
    std::vector<std::string> out;
    check_object(root, k_top_keys, "", "", out);
    return out;
}
