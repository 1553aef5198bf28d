// malformed argument vectors and configuration files for orlixmon and
// orlix-cardsim: every one ends with a message on standard error and a
// non-zero status, none by a signal, none by hanging

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "tests/reliability/reliability_support.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;

namespace {

struct tally_s {
    int runs = 0, clean = 0, signaled = 0, hung = 0, zero_status = 0, silent = 0;
    std::vector<std::string> faults;  // what went wrong, for the failure message

    void run(const std::vector<std::string>& argv, const std::string& work_dir, const std::string& label,
             std::chrono::milliseconds bound = std::chrono::seconds(15))
    {
        runs++;
        test_process p(argv, work_dir);
        if (!p.started()) {
            faults.push_back(label + ": not started");
            return;
        }
        if (!p.wait(bound)) {
            hung++;
            faults.push_back(label + ": did not end");
            return;
        }
        if (!p.exited()) {
            signaled++;
            faults.push_back(label + ": ended by a signal");
        } else if (p.exit_status() == 0) {
            zero_status++;
            faults.push_back(label + ": exit status 0");
        } else if (p.err().empty()) {
            silent++;
            faults.push_back(label + ": nothing on standard error");
        } else {
            clean++;
        }
    }
    std::string report() const
    {
        std::string s;
        for (size_t i = 0; i < faults.size() && i < 20; i++) {
            s += faults[i] + "\n";
        }
        return s;
    }
    void figure(const std::string& name) const
    {
        reliability_figure(name, {{"runs", std::to_string(runs)},
                                  {"clean_error", std::to_string(clean)},
                                  {"signaled", std::to_string(signaled)},
                                  {"hung", std::to_string(hung)},
                                  {"exit_zero", std::to_string(zero_status)},
                                  {"no_message", std::to_string(silent)}});
    }
};

std::string garbage(std::mt19937& rng, size_t n)
{
    std::string s(n, '\0');
    for (auto& c : s) {
        c = static_cast<char>(rng() & 0xff);
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
    // one key replaced by a value of another type or size
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"\"log_dir\": \"" + k_no_dir + "\"", "\"log_dir\": "},
        {"\"worker_wait\": \"sleep\"", "\"worker_wait\": "},
        {"\"liveness_poll_interval\": 200000", "\"liveness_poll_interval\": "},
        {"\"poll_interval\": 100000, \"counters\": [\n   {\"counter\": \"tx", "\"poll_interval\": "},
        {"\"counters\": [\n   {\"counter\": \"frames", "\"counters\": "},
        {"\"counter\": \"tx_rdma_unicast_bytes\"", "\"counter\": "},
        {"\"value\": 5", "\"value\": "},
        {"\"stats_record\": true", "\"stats_record\": "},
        {"\"filter\": {", "\"filter\": "},
    };
    const std::vector<std::string> values = {"[]", "{}", "null", "true", "-1", "0", "99", "1e400", "-1e400", "1.5",
                                             "18446744073709551616", "99999999999999999999999999999999999999",
                                             "\"\"", "\"abc\"", "\"" + std::string(100000, 'x') + "\"", "[[[1]]]",
                                             "{\"a\": {\"b\": 1}}"};
    for (const auto& [key, prefix] : keys) {
        size_t at = k_valid.find(key);
        if (at == std::string::npos) {
            continue;
        }
        for (const auto& v : values) {
            std::string text = k_valid;
            // the key's value up to the next delimiter is replaced
            size_t start = at + prefix.size();
            size_t end = start;
            if (key.find('[') != std::string::npos || key.find('{') != std::string::npos) {
                // a whole container: its matching bracket
                char open = k_valid[start], close = open == '[' ? ']' : '}';
                int depth = 0;
                for (end = start; end < text.size(); end++) {
                    depth += text[end] == open;
                    if (text[end] == close && --depth == 0) {
                        end++;
                        break;
                    }
                }
            } else {
                end = text.find_first_of(",}\n", start);
            }
            text.replace(start, end - start, v);
            add(prefix + v.substr(0, 40), text);
        }
    }
    // deep nesting, bare and inside a key the reader looks at
    for (size_t depth : {1000, 10000, 100000}) {
        add("arrays " + std::to_string(depth), std::string(depth, '[') + std::string(depth, ']'));
        add("open arrays " + std::to_string(depth), std::string(depth, '['));
        std::string objects;
        for (size_t i = 0; i < depth; i++) {
            objects += "{\"a\":";
        }
        objects += "1" + std::string(depth, '}');
        add("objects " + std::to_string(depth), objects);
        std::string inside = k_valid;
        inside.replace(inside.find("\"value\": 5"), 10, "\"value\": " + std::string(depth, '[') + std::string(depth, ']'));
        add("nested threshold " + std::to_string(depth), inside);
    }
    std::mt19937 rng(20240601);
    for (int i = 0; i < 30; i++) {
        add("garbage " + std::to_string(i), garbage(rng, 1 + rng() % 4096));
    }
    for (int i = 0; i < 30; i++) {
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
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "orlixmon runs as root only";
        }
        build = getenv("ORLIX_BUILD_DIR");
        monitor = test_private_daemon(dir, "ombad");
        ASSERT_FALSE(monitor.empty());
    }
    std::string build, monitor;
    test_temp_dir dir{"orlix-badinput"};
};

TEST_F(BadInput, MonitorRefusesEveryMalformedConfigurationAndArgumentVector)
{
    tally_s configs;
    int n = 0;
    for (const auto& [label, text] : config_texts()) {
        std::string path = dir.file("config" + std::to_string(n++) + ".json");
        test_write_file(path, text);
        configs.run({monitor, "-c", path}, dir.path(), "config " + label.substr(0, 60));
        unlink(path.c_str());
    }
    // files that are not configuration files
    fs::create_directory(dir.file("a_directory"));
    fs::create_symlink(dir.file("loop_b"), dir.file("loop_a"));
    fs::create_symlink(dir.file("loop_a"), dir.file("loop_b"));
    test_write_file(dir.file("unreadable"), k_valid);
    for (const std::string& path : {dir.file("a_directory"), dir.file("loop_a"), dir.file("missing"),
                                    std::string("/dev/null"), std::string("/proc/self/mem"), std::string("/"),
                                    dir.file("a_directory") + "/", std::string(5000, 'a'), std::string("-")}) {
        configs.run({monitor, "-c", path}, dir.path(), "config path " + path.substr(0, 60));
    }
    EXPECT_EQ(configs.clean, configs.runs) << configs.report();
    configs.figure("bad_config_orlixmon");

    tally_s args;
    std::mt19937 rng(7);
    std::vector<std::vector<std::string>> vectors = {
        {}, {""}, {"-"}, {"--"}, {"-x"}, {"--bogus"}, {"-c"}, {"--config-file"}, {"-c", ""}, {"--config-file="},
        {"-c", "-h", "-c"}, {"-cc"}, {"---c", "x"}, {"-c", "x", "-c"}, {"--config", "x"}, {"-c", "\xff\xfe"},
        {"-c", std::string(100000, 'x')}, {std::string(100000, '-')}, {"-" + std::string(1000, 'c')},
        {"stray"}, {"-c", "/nonexistent", "extra", "words"}, {"--config-file", dir.file("a_directory")},
        {"-\x01"}, {"--\xff"}, {"-c", "/dev/null", "--bogus"},
    };
    for (int i = 0; i < 25; i++) {
        std::vector<std::string> v;
        for (int k = 0; k < 1 + int(rng() % 4); k++) {
            std::string word = garbage(rng, rng() % 64);
            word.erase(std::remove(word.begin(), word.end(), '\0'), word.end());
            v.push_back(word);
        }
        vectors.push_back(v);
    }
    for (auto v : vectors) {
        std::string label = v.empty() ? "(none)" : v[0].substr(0, 30);
        v.insert(v.begin(), monitor);
        args.run(v, dir.path(), "argv " + label);
    }
    EXPECT_EQ(args.clean, args.runs) << args.report();
    args.figure("bad_argv_orlixmon");
}

TEST_F(BadInput, EmulatorCommandRefusesEveryMalformedArgumentVector)
{
    std::string cardsim = build + "/emulator/orlix-cardsim";
    test_write_file(dir.file("plain"), "x");
    std::vector<std::vector<std::string>> vectors = {
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
    };
    std::mt19937 rng(11);
    for (int i = 0; i < 20; i++) {
        std::vector<std::string> v = {i % 2 ? "run" : "list"};
        for (int k = 0; k < 1 + int(rng() % 3); k++) {
            std::string word = garbage(rng, 1 + rng() % 32);
            word.erase(std::remove(word.begin(), word.end(), '\0'), word.end());
            v.push_back(word.empty() || word == "--" ? "?" : word);
        }
        vectors.push_back(v);
    }
    tally_s args;
    for (auto v : vectors) {
        std::string label;
        for (const auto& w : v) {
            label += w.substr(0, 20) + " ";
        }
        v.insert(v.begin(), cardsim);
        args.run(v, dir.path(), "orlix-cardsim " + label);
    }
    EXPECT_EQ(args.clean, args.runs) << args.report();
    args.figure("bad_argv_orlix_cardsim");
}

}  // namespace
