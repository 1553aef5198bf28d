// the metrics endpoint as network clients meet it: its pages and listen
// forms, clients that send half a request and hold on while others scrape
// in a loop, TLS and basic authentication from a web configuration file,
// and bad web configuration files

#include <gtest/gtest.h>

#include <crypt.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

#include "monitor/metrics_endpoint.h"
#include "monitor/metrics_web_config.h"
#include "monitor/tests/monitor_test_util.h"

using std::chrono::seconds;

namespace {

std::atomic<int> g_collects{0};

void collect_one_card(orlixmon_metrics_snapshot_s& s)
{
    g_collects++;
    s.version = "9.9.9";
    orlixmon_metrics_card_s card;
    card.address = "0000:20:00.0";
    card.up = true;
    s.cards = {card};
}

// a GET of /metrics, answered within bound (scaled): the answer, or empty
// when it did not come in time
std::string get_within(int port, seconds bound)
{
    auto answer = std::async(std::launch::async, [=] { return test_http_get(port, "/metrics"); });
    const bool ready = test_wait_until(
        [&] { return answer.wait_for(seconds(0)) == std::future_status::ready; }, bound);
    return ready ? answer.get() : "";
}

class MetricsHttp : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = test_free_tcp_port();
        ASSERT_GT(port, 0);
    }

    std::string at(const char* host) const { return std::string(host) + ":" + std::to_string(port); }

    // a self-signed P-256 certificate and its key in the test folder
    void make_cert(const std::string& name, const std::string& extra = "")
    {
        ASSERT_EQ(system(("cd '" + dir.path() + "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                          "-nodes -days 2 -subj /CN=127.0.0.1 " + extra + " -keyout " + name + ".key -out " + name +
                          ".crt >/dev/null 2>&1")
                             .c_str()),
                  0);
    }

    test_temp_dir dir{"orlix-metrics-http"};
    int port = -1;
};

TEST_F(MetricsHttp, PagesAndListenForms)
{
    // each form answers on the loopback address
    for (const char* host : {"127.0.0.1", "localhost", ""}) {
        orlixmon_metrics_endpoint endpoint(collect_one_card);
        std::string error;
        ASSERT_TRUE(endpoint.start(at(host), error)) << at(host) << ": " << error;
        EXPECT_TRUE(test_has(test_http_get(port, "/metrics"), "orlix_build_info{version=\"9.9.9\"} 1")) << at(host);
        if (*host == '\0' && !test_read_file("/proc/net/if_inet6").empty()) {
            EXPECT_TRUE(test_has(shell("curl -s -g --max-time 5 http://[::1]:" + std::to_string(port) + "/metrics"),
                            "orlix_build_info"))
                << "every address: IPv6 too";
        }
    }

    orlixmon_metrics_endpoint endpoint(collect_one_card);
    std::string error;
    ASSERT_TRUE(endpoint.start(at("127.0.0.1"), error)) << error;
    EXPECT_EQ(endpoint.url(), "http://" + at("127.0.0.1") + "/metrics");
    const struct {
        const char *path, *status, *body, *head;
    } pages[] = {
        {"/metrics", "200 OK", "orlix_card_up{address=\"0000:20:00.0\"} 1\n", "Content-Type: text/plain; version=0.0.4"},
        {"/", "200 OK", "<a href=\"/metrics\">", "Content-Type: text/html"},
        {"/other", "404", "Not Found", ""},
        {"/metrics/", "404", "Not Found", ""},
        {"/metrics?x=1", "200 OK", "orlix_build_info", ""},
    };
    for (const auto& p : pages) {
        const int before = g_collects;
        const std::string answer = test_http_get(port, p.path);
        EXPECT_TRUE(test_has(answer, p.status) && test_has(answer, p.body) && test_has(answer, p.head))
            << p.path << ":\n" << answer;
        EXPECT_FALSE(test_has(answer, "exposer_")) << "no series of the HTTP server's own";
        EXPECT_EQ(g_collects, before + test_has(p.body, "orlix_")) << p.path << ": one collect per scrape";
    }
    EXPECT_TRUE(test_has(shell("curl -s -i -X POST --max-time 5 http://" + at("127.0.0.1") + "/metrics"), "405"));
    // a request head larger than a connection's memory is refused, not buffered
    EXPECT_TRUE(test_has(shell("curl -s -i --max-time 5 -H 'X-Pad: " + std::string(20000, 'a') + "' http://" +
                          at("127.0.0.1") + "/metrics"),
                    " 431 "));

    orlixmon_metrics_endpoint second(collect_one_card);
    EXPECT_FALSE(second.start(at("127.0.0.1"), error));
    EXPECT_TRUE(test_has(error, "cannot listen on " + at("127.0.0.1"))) << error;
}

// 256 connections from two addresses send half a request and hold on, one
// more from the same address is turned away, and 64 clients scrape in a
// loop: a scraper from another address is answered all the while; the held
// connections end at the idle timeout
TEST_F(MetricsHttp, SlowClientsAndBusyScrapersDoNotBlindTheScrape)
{
    orlixmon_metrics_endpoint endpoint(collect_one_card);
    std::string error;
    ASSERT_TRUE(endpoint.start(at("127.0.0.1"), error)) << error;
    const unsigned per_ip = orlixmon_metrics_endpoint::k_connections_per_ip;
    std::vector<int> slow;
    for (const char* from : {"127.0.0.2", "127.0.0.3"}) {
        for (unsigned i = 0; i < per_ip; i++) {
            slow.push_back(test_http_half_request(port, from));
            ASSERT_GE(slow.back(), 0) << from << " connection " << i;
        }
    }
    ASSERT_EQ(slow.size(), 256u);
    int extra = test_http_half_request(port, "127.0.0.2");
    EXPECT_TRUE(test_wait_until([&] { return extra < 0 || test_http_closed(extra); }, seconds(5)))
        << "more than " << per_ip << " connections from one address";

    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, failed{0};
    std::vector<std::thread> scrapers;
    for (int i = 0; i < 64; i++) {
        scrapers.emplace_back([&] {
            while (!stop) {
                (test_has(test_http_get(port, "/metrics", "127.0.0.4"), "200 OK") ? answered : failed)++;
            }
        });
    }
    EXPECT_TRUE(test_wait_until([&] { return answered >= 64; }, seconds(10)));
    for (int i = 0; i < 3; i++) {
        std::string answer = get_within(port, seconds(5));
        EXPECT_TRUE(test_has(answer, "200 OK") && test_has(answer, "orlix_build_info")) << answer;
    }
    stop = true;
    for (auto& t : scrapers) {
        t.join();
    }
    EXPECT_EQ(failed, 0) << answered << " answered";
    EXPECT_TRUE(std::none_of(slow.begin(), slow.end(), test_http_closed)) << "held, not dropped, before the timeout";

    EXPECT_TRUE(test_wait_until([&] { return std::all_of(slow.begin(), slow.end(), test_http_closed); },
                                seconds(orlixmon_metrics_endpoint::k_idle_timeout_s + 10)));
    for (int fd : slow) {
        close(fd);
    }
    if (extra >= 0) {
        close(extra);
    }
}

// a bcrypt hash of password, cost 5 to keep the test quick
std::string bcrypt(const char* password)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    struct crypt_data data {};
    if (crypt_gensalt_rn("$2b$", 5, nullptr, 0, setting, sizeof(setting)) == nullptr) {
        return "";
    }
    const char* hash = crypt_r(password, setting, &data);
    return hash ? hash : "";
}

// a password that passed once costs no bcrypt again; checks of unknown
// credentials beyond the budget are put off (429) rather than run
TEST(MetricsAuth, PassedCredentialsAreRememberedAndUnknownOnesRationed)
{
    orlixmon_metrics_auth auth({{"prometheus", bcrypt("s3cret")}});
    EXPECT_EQ(auth.check("prometheus", "s3cret"), orlixmon_metrics_auth::OK);
    for (unsigned i = 1; i < orlixmon_metrics_auth::k_checks_per_s; i++) {
        EXPECT_EQ(auth.check("prometheus", "wrong"), orlixmon_metrics_auth::DENIED);
    }
    EXPECT_EQ(auth.check("intruder", "guess"), orlixmon_metrics_auth::BUSY);
    EXPECT_EQ(auth.check("prometheus", "s3cret"), orlixmon_metrics_auth::OK) << "remembered: no check needed";
    EXPECT_EQ(auth.check(nullptr, nullptr), orlixmon_metrics_auth::DENIED);
}

// bad web configuration files are clear errors, and one that is missing
// fails the start with nothing listening; then a good one: TLS and basic
// authentication
TEST_F(MetricsHttp, WebConfigFilesBadOnesRefusedAGoodOneServesTlsWithBasicAuth)
{
    make_cert("a");
    make_cert("b");
    ASSERT_EQ(system(("cd '" + dir.path() + "' && cp a.key open.key && chmod 0644 open.key && "
                      "mkdir -m 0777 shared && cp a.crt shared/").c_str()),
              0);
    struct {
        const char* yaml;
        const char* error;
    } cases[] = {
        {"http_server_config:\n  http2: true\n", "not supported here: http_server_config"},
        {"tls_server_config:\n  cert_file: a.crt\n", "needs cert_file and key_file"},
        {"tls_server_config:\n  cert_file: a.crt\n  key_file: missing.key\n", "cannot read"},
        {"tls_server_config:\n  cert_file: a.crt\n  key_file: b.key\n", "cannot use"},
        {"tls_server_config:\n  cert_file: a.crt\n  key_file: a.key\n  min_version: TLS10\n", "TLS12 or TLS13"},
        {"tls_server_config:\n  cert_file: a.crt\n  key_file: a.key\n  client_ca_file: ca.crt\n", "client_ca_file"},
        {"basic_auth_users:\n  prometheus: plaintext\n", "bcrypt hash"},
        {"basic_auth_users: [a, b]\n", "map user names"},
        {"- a\n- b\n", "not a YAML mapping"},
        {"basic_auth_users: {a: \"b\n", ""},  // not YAML at all
        {"tls_server_config:\n  cert_file: a.crt\n  key_file: open.key\n", "read by every user"},
        {"tls_server_config:\n  cert_file: shared/a.crt\n  key_file: a.key\n", "folder other users can write"},
    };
    for (const auto& c : cases) {
        test_write_file(dir.file("web.yml"), c.yaml);
        orlixmon_metrics_web_s web;
        std::string error;
        EXPECT_FALSE(orlixmon_metrics_web_load(dir.file("web.yml"), web, error)) << c.yaml;
        EXPECT_TRUE(test_has(error, "metrics.web_config_file " + dir.file("web.yml") + ": ") && test_has(error, c.error))
            << c.yaml << ": " << error;
    }
    // at start: the endpoint does not serve, nothing listens
    orlixmon_metrics_endpoint endpoint(collect_one_card);
    orlixmon_metrics_options_s options;
    options.web_config_file = dir.file("absent.yml");
    std::string error;
    EXPECT_FALSE(endpoint.start(at("127.0.0.1"), error, options));
    EXPECT_TRUE(test_has(error, "metrics.web_config_file: cannot read " + dir.file("absent.yml"))) << error;
    EXPECT_EQ(test_http_get(port, "/metrics"), "");

    // a self-signed certificate for 127.0.0.1, beside the web configuration
    make_cert("server", "-addext subjectAltName=IP:127.0.0.1");
    std::string hash = bcrypt("s3cret");
    ASSERT_EQ(hash.rfind("$2b$05$", 0), 0u) << hash;
    test_write_file(dir.file("web.yml"), "tls_server_config:\n"
                                         "  cert_file: server.crt\n"
                                         "  key_file: server.key\n"
                                         "basic_auth_users:\n"
                                         "  prometheus: " + hash + "\n");
    options.web_config_file = dir.file("web.yml");
    ASSERT_TRUE(endpoint.start(at("127.0.0.1"), error, options)) << error;
    EXPECT_EQ(endpoint.url(), "https://" + at("127.0.0.1") + "/metrics");

    // the answer with its head, then the status code alone
    const std::string curl = "curl -s -i --max-time 10 -w '%{http_code}' --cacert '" + dir.file("server.crt") + "' ";
    const std::string https = "https://" + at("127.0.0.1");
    const struct {
        std::string args;
        const char* code;
        const char* has;
    } requests[] = {
        {"-u prometheus:s3cret " + https + "/metrics", "200", "orlix_build_info{version=\"9.9.9\"} 1"},
        {"-u prometheus:s3cret " + https + "/", "200", ""},
        {"-u prometheus:wrong " + https + "/metrics", "401", ""},
        {"-u nobody:s3cret " + https + "/metrics", "401", ""},
        {https + "/metrics", "401", "WWW-Authenticate: Basic realm=\"orlixmon\""},
        {https + "/other", "401", ""},
        {"-u prometheus:s3cret http://" + at("127.0.0.1") + "/metrics", "000", ""},  // no plain HTTP
    };
    for (const auto& c : requests) {
        const std::string answer = shell(curl + c.args);
        EXPECT_EQ(answer.substr(answer.size() < 3 ? 0 : answer.size() - 3), c.code) << c.args;
        EXPECT_TRUE(test_has(answer, c.has)) << c.args << ":\n" << answer;
    }
}

}  // namespace
