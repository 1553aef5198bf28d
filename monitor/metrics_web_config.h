#pragma once

// the metrics endpoint's web configuration: TLS and basic authentication

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// the metrics endpoint's web configuration, a YAML file in the format
// node_exporter's --web.config.file reads:
//   tls_server_config:
//     cert_file: server.crt     # PEM; relative paths are the file's folder's
//     key_file: server.key
//     min_version: TLS12        # or TLS13; TLS12 without the key
//   basic_auth_users:
//     prometheus: $2y$10$...    # bcrypt hashes
// keys this endpoint does not offer are refused rather than ignored
struct orlixmon_metrics_web_s {
    bool tls = false;
    std::string cert_pem;
    std::string key_pem;
    std::string tls_priorities;                 // GnuTLS priority string
    std::map<std::string, std::string> users;  // name -> bcrypt hash; empty: no authentication
};

// reads and checks path into out: the certificate and key load as a pair,
// every hash is a bcrypt one. false with the reason in error
bool orlixmon_metrics_web_load(const std::string& path, orlixmon_metrics_web_s& out, std::string& error);

// basic authentication against the users' bcrypt hashes. a bcrypt check
// costs tens of milliseconds of the one serving thread: credentials that
// passed are remembered (as a salted SHA-256) so a scraper pays once, and
// checks of credentials not seen are limited to a few a second, so wrong
// passwords cannot hold the thread
class orlixmon_metrics_auth {
public:
    enum result_e { OK, DENIED, BUSY };

    explicit orlixmon_metrics_auth(std::map<std::string, std::string> users);
    ~orlixmon_metrics_auth();

    // user and password may be null (no or bad Authorization header)
    result_e check(const char* user, const char* password);

    static constexpr unsigned k_checks_per_s = 4;

private:
    std::string digest(const std::string& user, const char* password) const;

    std::mutex mutex_;
    std::map<std::string, std::string> users_;
    std::map<std::string, std::string> passed_;  // name -> digest of the password that passed
    std::string salt_;
    double tokens_ = k_checks_per_s;
    std::chrono::steady_clock::time_point refilled_;
    struct crypt_state_s;
    std::unique_ptr<crypt_state_s> crypt_;
};
