// malformed argument vectors and configuration files for orlixmon and
// orlix-cardsim: every one ends with a message on standard error and a
// non-zero status, none by a signal, none by hanging

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>

#include "tests/reliability/reliability_support.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;

namespace {

using inputs_t = std::vector<std::pair<std::string, std::vector<std::string>>>;  // label, argument vector

// how a run ended, by the names of the figures; only the first is right
enum outcome_e { clean_error, signaled, hung, exit_zero, no_message, not_started, k_outcomes };
const char* const k_outcome_names[] = {"clean_error", "signaled", "hung", "exit_zero", "no_message", "not started"};

// runs every argument vector, expects each to end cleanly with an error and
// prints the figure name
void expect_clean_errors(const std::string& figure, const inputs_t& inputs, const std::string& work_dir)
{
    int outcomes[k_outcomes] = {};
    std::string faults;
    for (const auto& [label, argv] : inputs) {
        test_process p(argv, work_dir);
        outcome_e o = !p.started()                   ? not_started
                      : !p.wait(std::chrono::seconds(15)) ? hung
                      : !p.exited()                  ? signaled
                      : p.exit_status() == 0         ? exit_zero
                      : p.err().empty()              ? no_message
                                                     : clean_error;
        outcomes[o]++;
        if (o != clean_error && std::count(faults.begin(), faults.end(), '\n') < 20) {
            faults += label.substr(0, 60) + ": " + k_outcome_names[o] + "\n";
        }
    }
    EXPECT_EQ(outcomes[clean_error], int(inputs.size())) << faults;
    std::vector<std::pair<std::string, figure_value_s>> values = {{"runs", inputs.size()}};
    for (int o = clean_error; o < not_started; o++) {
        values.emplace_back(k_outcome_names[o], outcomes[o]);
    }
    reliability_figure(figure, values);
}

std::string garbage(std::mt19937& rng, size_t n, bool nul = true)
{
    std::string s(n, '\0');
    std::generate(s.begin(), s.end(), [&] { return static_cast<char>(rng() & 0xff); });
    if (!nul) {
        s.erase(std::remove(s.begin(), s.end(), '\0'), s.end());
    }
    return s;
}

// a configuration that would start the daemon but for its log folder, which
// is not there: whatever the reader lets through still ends the process
const std::string k_no_dir = "/nonexistent/orlix-reliability";
const std::string k_valid = R"({"log_dir": ")" + k_no_dir + R"(", "telemetry_dir": ")" + k_no_dir + R"(",
 "worker_wait": "sleep",
 "filter": {"card": {"liveness_poll_interval": 200000},
  "lif": {"poll_interval": 100000, "counters": [
   {"counter": "tx_rdma_unicast_bytes", "cumulative": true, "threshold": {"value": 5},
    "action": {"stats_record": true, "event_record": false}}]},
  "port": {"poll_interval": 100000, "counters": [
   {"counter": "frames_rx_ok", "action": {"event_record": true}}]}}})";

// the valid configuration with the value at key (a JSON pointer) replaced
// by the text raw
std::string with_value(const std::string& key, const std::string& raw)
{
    nlohmann::json j = nlohmann::json::parse(k_valid);
    j[nlohmann::json::json_pointer(key)] = "@value@";
    return test_replace_all(j.dump(1), "\"@value@\"", raw);
}

// the configuration texts: truncations, wrong types, huge numbers, deep
// nesting, garbage
std::vector<std::pair<std::string, std::string>> config_texts()
{
    std::vector<std::pair<std::string, std::string>> out;
    auto add = [&](const std::string& label, const std::string& text) { out.emplace_back(label, text); };
    for (size_t n = 0; n < k_valid.size(); n += 7) {
        add("truncated at " + std::to_string(n), k_valid.substr(0, n));
    }
    for (const char* t : {"", " \n\t", "{", "}", "[", "]", "null", "42", "\"text\"", "[]", "{}", "true", "{\"a\":}",
                          "{,}", "{\"filter\": null}", "{\"filter\": {}}", "{\"filter\": {\"lif\": {}}}", "\xef\xbb\xbf{}",
                          "{\"log_dir\": \"\\ud800\"}", "{\"log_dir\": \"\xff\xfe\"}", "{'log_dir': 1}", "{\"a\": 1,}",
                          "/* comment */ {}", "{\"a\": 01}", "{\"a\": 1e}", "{\"a\": -}", "{\"a\": .5}", "{\"a\": \"\x01\"}"}) {
        add(std::string("literal ") + t, t);
    }
    // one value replaced by a value of another type or size
    const std::string counter = "/filter/lif/counters/0";
    for (const std::string& key : {std::string("/log_dir"), std::string("/worker_wait"), std::string("/filter"),
                                   std::string("/filter/card/liveness_poll_interval"), std::string("/filter/lif/poll_interval"),
                                   std::string("/filter/port/counters"), counter + "/counter", counter + "/threshold/value",
                                   counter + "/action/stats_record"}) {
        for (const std::string& v : {"[]", "{}", "null", "true", "-1", "0", "99", "1e400", "-1e400", "1.5",
                                     "18446744073709551616", "99999999999999999999999999999999999999", "\"\"",
                                     "\"abc\"", "[[[1]]]", "{\"a\": {\"b\": 1}}"}) {
            add(key + " " + v, with_value(key, v));
        }
        add(key + " long text", with_value(key, "\"" + std::string(100000, 'x') + "\""));
    }
    // deep nesting, bare and inside a key the reader looks at
    for (size_t depth : {1000, 10000, 100000}) {
        const std::string arrays = std::string(depth, '[') + std::string(depth, ']');
        std::string objects;
        for (size_t i = 0; i < depth; i++) {
            objects += "{\"a\":";
        }
        add("arrays " + std::to_string(depth), arrays);
        add("open arrays " + std::to_string(depth), std::string(depth, '['));
        add("objects " + std::to_string(depth), objects + "1" + std::string(depth, '}'));
        add("nested threshold " + std::to_string(depth), with_value(counter + "/threshold/value", arrays));
    }
    std::mt19937 rng(20240601);
    for (int i = 0; i < 30; i++) {
        add("garbage " + std::to_string(i), garbage(rng, 1 + rng() % 4096));
        // the valid text with a few bytes overwritten
        std::string text = k_valid;
        for (int k = 0; k < 1 + i % 5; k++) {
            text[rng() % text.size()] = static_cast<char>(rng() & 0xff);
        }
        add("flipped " + std::to_string(i), text);
    }
    add("NUL inside", k_valid.substr(0, 20) + std::string(1, '\0') + k_valid.substr(20));
    add("two documents", k_valid + k_valid);
    return out;
}

class BadInput : public ::testing::Test {
protected:
    // random words after a first word; none empty and none "--" when tame
    void add_random(inputs_t& inputs, std::mt19937& rng, int count, const std::vector<std::string>& first, bool tame)
    {
        for (int i = 0; i < count; i++) {
            std::vector<std::string> v = first;
            for (int k = 0; k < 1 + int(rng() % (tame ? 3 : 4)); k++) {
                std::string word = garbage(rng, tame ? 1 + rng() % 32 : rng() % 64, false);
                v.push_back(tame && (word.empty() || word == "--") ? "?" : word);
            }
            inputs.push_back({"random " + std::to_string(i), v});
        }
    }
    // every vector with program put first
    static inputs_t of(const std::string& program, const std::vector<std::vector<std::string>>& vectors)
    {
        inputs_t out;
        for (auto v : vectors) {
            std::string label;
            for (const auto& w : v) {
                label += w.substr(0, 20) + " ";
            }
            v.insert(v.begin(), program);
            out.push_back({label, v});
        }
        return out;
    }
    test_temp_dir dir{"orlix-badinput"};
};

TEST_F(BadInput, MonitorRefusesEveryMalformedConfigurationAndArgumentVector)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "orlixmon runs as root only";
    }
    const std::string monitor = test_private_daemon(dir, "ombad");
    ASSERT_FALSE(monitor.empty());
    inputs_t configs;
    int n = 0;
    for (const auto& [label, text] : config_texts()) {
        std::string path = dir.file("config" + std::to_string(n++) + ".json");
        test_write_file(path, text);
        configs.push_back({"config " + label, {monitor, "-c", path}});
    }
    // files that are not configuration files
    fs::create_directory(dir.file("a_directory"));
    fs::create_symlink(dir.file("loop_b"), dir.file("loop_a"));
    fs::create_symlink(dir.file("loop_a"), dir.file("loop_b"));
    for (const std::string& path : {dir.file("a_directory"), dir.file("loop_a"), dir.file("missing"),
                                    std::string("/dev/null"), std::string("/proc/self/mem"), std::string("/"),
                                    dir.file("a_directory") + "/", std::string(5000, 'a'), std::string("-")}) {
        configs.push_back({"config path " + path, {monitor, "-c", path}});
    }
    expect_clean_errors("bad_config_orlixmon", configs, dir.path());

    inputs_t args = of(monitor, {
        {}, {""}, {"-"}, {"--"}, {"-x"}, {"--bogus"}, {"-c"}, {"--config-file"}, {"-c", ""}, {"--config-file="},
        {"-c", "-h", "-c"}, {"-cc"}, {"---c", "x"}, {"-c", "x", "-c"}, {"--config", "x"}, {"-c", "\xff\xfe"},
        {"-c", std::string(100000, 'x')}, {std::string(100000, '-')}, {"-" + std::string(1000, 'c')},
        {"stray"}, {"-c", "/nonexistent", "extra", "words"}, {"--config-file", dir.file("a_directory")},
        {"-\x01"}, {"--\xff"}, {"-c", "/dev/null", "--bogus"},
    });
    std::mt19937 rng(7);
    add_random(args, rng, 25, {monitor}, false);
    expect_clean_errors("bad_argv_orlixmon", args, dir.path());
}

TEST_F(BadInput, EmulatorCommandRefusesEveryMalformedArgumentVector)
{
    const std::string cardsim = std::string(getenv("ORLIX_BUILD_DIR")) + "/emulator/orlix-cardsim";
    test_write_file(dir.file("plain"), "x");
    inputs_t args = of(cardsim, {
        {}, {""}, {"runn"}, {"RUN"}, {"-x"}, {"--cards", "2"}, {"\xff"}, {std::string(100000, 'r')},
        {"list", "--bogus"}, {"list", "--cards"}, {"list", "--cards", ""}, {"list", "--cards", "0"},
        {"list", "--cards", "17"}, {"list", "--cards", "-1"}, {"list", "--cards", "2x"},
        {"list", "--cards", "0x2"}, {"list", "--cards", "18446744073709551616"},
        {"list", "--cards", "99999999999999999999999999"}, {"list", "--ports", "12"}, {"list", "--lifs", "0"},
        {"list", "--lifs", "100000"}, {"list", "--tick-ms", "3600001"}, {"list", "--tick-ms", "-5"},
        {"list", "--cards", "--ports"}, {"list", "2"},
        {"run"}, {"run", "--"}, {"run", "--cards", "2"}, {"run", "--cards", "2", "--"}, {"run", "--control"},
        {"run", "--control", ""}, {"run", "--control", "--", "true"}, {"run", "--cards", "0", "--", "true"},
        {"run", "--ports", "x", "--", "true"}, {"run", "--bogus", "--", "true"},
        {"run", "--", "/nonexistent/program"}, {"run", "--", ""}, {"run", "--", dir.path()},
        {"run", "--control", dir.file("plain") + "/fifo", "--", "true"},
        {"run", "--control", "/proc/orlix-none/fifo", "--", "true"},
        {"run", "--tick-ms", "1", "--", "/nonexistent"}, {"run", "--cards", "1", "--cards", "x", "--", "true"},
        {"run", "--set"}, {"run", "--set", "", "--", "true"}, {"run", "--set", "flash 0 melt", "--", "true"},
        {"run", "--cards", "1", "--set", "flash 1 stuck", "--", "true"},
    });
    std::mt19937 rng(11);
    for (const char* first : {"list", "run"}) {
        add_random(args, rng, 10, {cardsim, first}, true);
    }
    expect_clean_errors("bad_argv_orlix_cardsim", args, dir.path());
}

}  // namespace
