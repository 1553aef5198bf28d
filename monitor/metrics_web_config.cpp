// the web configuration file of the metrics endpoint: TLS and basic authentication

#include "monitor/metrics_web_config.h"

#include <crypt.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <yaml-cpp/yaml.h>

namespace fs = std::filesystem;

namespace {

// a certificate or key file is small; anything larger is not one
constexpr size_t k_pem_max = 1 << 20;

// the TLS versions offered from min_version up
const std::map<std::string, std::string> k_min_versions = {
    {"TLS12", "NORMAL:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2"},
    {"TLS13", "NORMAL:-VERS-ALL:+VERS-TLS1.3"},
};

// root reads these files: one another user could write, or swap through
// its folder, would choose the endpoint's key or its users
bool safe_to_trust(int fd, const std::string& path, bool secret, std::string& error)
{
    struct stat st = {}, folder = {};
    const uid_t me = geteuid();
    std::string parent = fs::path(path).parent_path().string();
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + " is not a regular file";
    } else if ((st.st_uid != me && st.st_uid != 0) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = path + " can be written by other users: make it owned by root and not group or world writable";
    } else if (secret && (st.st_mode & S_IROTH) != 0) {
        error = path + " can be read by every user: chmod o-r it";
    } else if (stat(parent.empty() ? "." : parent.c_str(), &folder) == 0 &&
               ((folder.st_uid != me && folder.st_uid != 0) || (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
        error = path + " is in a folder other users can write (" + parent + "): move it to a root-only folder";
    } else {
        return true;
    }
    return false;
}

bool read_small_file(const std::string& path, std::string& text, std::string& error, bool secret = false)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    bool ok = safe_to_trust(fd, path, secret, error);
    char chunk[16384];
    for (ssize_t n; ok && (n = read(fd, chunk, sizeof(chunk))) != 0;) {
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || text.size() + size_t(n) > k_pem_max) {
            error = n < 0 ? "cannot read " + path + ": " + strerror(errno) : path + " is larger than 1 MiB";
            ok = false;
        } else {
            text.append(chunk, size_t(n));
        }
    }
    close(fd);
    return ok;
}

// the keys of a mapping that are not in known, comma separated
std::string unknown_keys(const YAML::Node& map, const std::set<std::string>& known)
{
    std::string out;
    for (const auto& kv : map) {
        std::string key = kv.first.as<std::string>();
        if (!known.count(key)) {
            out += (out.empty() ? "" : ", ") + key;
        }
    }
    return out;
}

bool bcrypt_hash(const std::string& hash)
{
    static const char* const prefixes[] = {"$2a$", "$2b$", "$2y$"};
    return std::any_of(std::begin(prefixes), std::end(prefixes),
                       [&](const char* p) { return hash.rfind(p, 0) == 0; });
}

bool load_tls(const YAML::Node& tls, const fs::path& folder, orlixmon_metrics_web_s& out, std::string& error)
{
    std::string unknown = unknown_keys(tls, {"cert_file", "key_file", "min_version"});
    if (!unknown.empty()) {
        error = "tls_server_config: not supported here: " + unknown + " (cert_file, key_file, min_version are)";
        return false;
    }
    if (!tls["cert_file"] || !tls["key_file"]) {
        error = "tls_server_config needs cert_file and key_file";
        return false;
    }
    // relative to the web configuration file, as node_exporter takes them
    fs::path cert = folder / tls["cert_file"].as<std::string>();
    fs::path key = folder / tls["key_file"].as<std::string>();
    if (!read_small_file(cert, out.cert_pem, error) || !read_small_file(key, out.key_pem, error, true)) {
        return false;
    }
    std::string min = tls["min_version"] ? tls["min_version"].as<std::string>() : "TLS12";
    auto it = k_min_versions.find(min);
    if (it == k_min_versions.end()) {
        error = "tls_server_config.min_version must be TLS12 or TLS13, got \"" + min + "\"";
        return false;
    }
    out.tls_priorities = it->second;

    // the pair must load now, not at the first client
    gnutls_certificate_credentials_t cred = nullptr;
    gnutls_certificate_allocate_credentials(&cred);
    gnutls_datum_t c{reinterpret_cast<unsigned char*>(out.cert_pem.data()), unsigned(out.cert_pem.size())};
    gnutls_datum_t k{reinterpret_cast<unsigned char*>(out.key_pem.data()), unsigned(out.key_pem.size())};
    int rc = gnutls_certificate_set_x509_key_mem2(cred, &c, &k, GNUTLS_X509_FMT_PEM, nullptr, 0);
    gnutls_certificate_free_credentials(cred);
    if (rc < 0) {
        error = "tls_server_config: cannot use " + cert.string() + " with " + key.string() + ": " + gnutls_strerror(rc);
        return false;
    }
    out.tls = true;
    return true;
}

bool load_users(const YAML::Node& users, orlixmon_metrics_web_s& out, std::string& error)
{
    if (!users.IsMap()) {
        error = "basic_auth_users must map user names to bcrypt hashes";
        return false;
    }
    for (const auto& kv : users) {
        std::string name = kv.first.as<std::string>();
        std::string hash = kv.second.IsScalar() ? kv.second.as<std::string>() : "";
        struct crypt_data data {};
        const char* probe = bcrypt_hash(hash) ? crypt_r("probe", hash.c_str(), &data) : nullptr;
        if (name.empty() || name.find(':') != std::string::npos || probe == nullptr || probe[0] == '*') {
            error = "basic_auth_users: user \"" + name + "\" needs a bcrypt hash ($2a$, $2b$ or $2y$) and a name without ':'";
            return false;
        }
        out.users[name] = hash;
    }
    return true;
}

}  // namespace

bool orlixmon_metrics_web_load(const std::string& path, orlixmon_metrics_web_s& out, std::string& error)
{
    out = orlixmon_metrics_web_s{};
    std::string text;
    if (!read_small_file(path, text, error)) {
        error = "metrics.web_config_file: " + error;
        return false;
    }
    try {
        YAML::Node root = YAML::Load(text);
        if (root.IsNull()) {
            return true;  // empty: plain HTTP, no authentication
        }
        if (!root.IsMap()) {
            error = "not a YAML mapping";
        } else if (std::string unknown = unknown_keys(root, {"tls_server_config", "basic_auth_users"});
                   !unknown.empty()) {
            error = "not supported here: " + unknown + " (tls_server_config and basic_auth_users are)";
        } else if (root["tls_server_config"] && !load_tls(root["tls_server_config"], fs::path(path).parent_path(), out, error)) {
        } else if (root["basic_auth_users"] && !load_users(root["basic_auth_users"], out, error)) {
        } else {
            return true;
        }
    } catch (const YAML::Exception& e) {
        error = e.what();
    }
    error = "metrics.web_config_file " + path + ": " + error;
    return false;
}

struct orlixmon_metrics_auth::crypt_state_s {
    struct crypt_data data;
};

orlixmon_metrics_auth::orlixmon_metrics_auth(std::map<std::string, std::string> users)
    : users_(std::move(users)), refilled_(std::chrono::steady_clock::now()), crypt_(new crypt_state_s{})
{
    salt_.resize(32);
    if (getrandom(salt_.data(), salt_.size(), 0) != ssize_t(salt_.size())) {
        gnutls_rnd(GNUTLS_RND_NONCE, salt_.data(), salt_.size());
    }
}

orlixmon_metrics_auth::~orlixmon_metrics_auth() = default;

std::string orlixmon_metrics_auth::digest(const std::string& user, const char* password) const
{
    std::string in = salt_ + user + '\0' + password;
    std::string out(32, '\0');
    gnutls_hash_fast(GNUTLS_DIG_SHA256, in.data(), in.size(), out.data());
    return out;
}

orlixmon_metrics_auth::result_e orlixmon_metrics_auth::check(const char* user, const char* password)
{
    if (user == nullptr || password == nullptr || users_.empty()) {
        return DENIED;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::string d = digest(user, password);
    auto passed = passed_.find(user);
    if (passed != passed_.end() && passed->second.size() == d.size() &&
        gnutls_memcmp(passed->second.data(), d.data(), d.size()) == 0) {
        return OK;
    }
    auto now = std::chrono::steady_clock::now();
    tokens_ = std::min<double>(k_checks_per_s, tokens_ + std::chrono::duration<double>(now - refilled_).count() *
                                                              k_checks_per_s);
    refilled_ = now;
    if (tokens_ < 1) {
        return BUSY;
    }
    tokens_ -= 1;
    auto known = users_.find(user);
    // an unknown name costs the same check, so the time tells no names
    const std::string& hash = known != users_.end() ? known->second : users_.begin()->second;
    const char* got = crypt_r(password, hash.c_str(), &crypt_->data);
    if (known == users_.end() || got == nullptr || strlen(got) != hash.size() ||
        gnutls_memcmp(got, hash.data(), hash.size()) != 0) {
        return DENIED;
    }
    passed_[user] = d;
    return OK;
}
