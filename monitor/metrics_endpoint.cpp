// the metrics HTTP endpoint: listening, connection limits, pages and scrapes

#include "monitor/metrics_endpoint.h"

#include <unistd.h>

#include <cstring>
#include <vector>

#include <microhttpd.h>
#include <prometheus/text_serializer.h>

#include "monitor/metrics_web_config.h"
#include "monitor/orlixmon_config.h"

namespace {

constexpr const char* k_text_type = "text/plain; version=0.0.4; charset=utf-8";

const std::string k_landing = R"(<!DOCTYPE html>
<html>
<head><meta charset="utf-8"><title>ORLIX monitor</title></head>
<body>
<h1>ORLIX monitor</h1>
<p>orlixmon )" ORLIXMON_VERSION R"(: the monitored cards' state and counters for Prometheus.</p>
<p><a href="/metrics">Metrics</a></p>
</body>
</html>
)";

struct answer_s {
    unsigned status;
    std::string body;
    const char* type;
};

using route_fn = answer_s (*)(orlixmon_metrics_endpoint::state_s& state);

}  // namespace

struct orlixmon_metrics_endpoint::state_s {
    collect_fn collect;
    orlixmon_metrics_select_s select;
    orlixmon_metrics_web_s web;
    std::unique_ptr<orlixmon_metrics_auth> auth;  // null: no authentication
    MHD_Daemon* daemon = nullptr;
    std::string url;
};

namespace {

answer_s answer_metrics(orlixmon_metrics_endpoint::state_s& state)
{
    orlixmon_metrics_snapshot_s snapshot;
    state.collect(snapshot);
    return {MHD_HTTP_OK, orlixmon_metrics_text(snapshot, state.select), k_text_type};
}

answer_s answer_landing(orlixmon_metrics_endpoint::state_s&)
{
    return {MHD_HTTP_OK, k_landing, "text/html; charset=utf-8"};
}

const struct {
    const char* path;
    route_fn answer;
} k_routes[] = {
    {"/metrics", answer_metrics},
    {"/", answer_landing},
};

void free_body(void* body)
{
    delete static_cast<std::string*>(body);
}

// a response that owns its body; null when out of memory
MHD_Response* response_of(std::string text)
{
    auto* body = new std::string(std::move(text));
    MHD_Response* response =
        MHD_create_response_from_buffer_with_free_callback_cls(body->size(), body->data(), free_body, body);
    if (response == nullptr) {
        delete body;
    }
    return response;
}

MHD_Result send(MHD_Connection* connection, answer_s answer, const char* header = nullptr,
                const char* value = nullptr)
{
    MHD_Response* response = response_of(std::move(answer.body));
    if (response == nullptr) {
        return MHD_NO;  // the connection is closed
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.type);
    if (header != nullptr) {
        MHD_add_response_header(response, header, value);
    }
    MHD_Result rc = MHD_queue_response(connection, answer.status, response);
    MHD_destroy_response(response);
    return rc;
}

// basic authentication when users are configured: true when it passed,
// else false with the refusal queued (its result in refused)
bool authorised(orlixmon_metrics_endpoint::state_s& state, MHD_Connection* connection, MHD_Result& refused)
{
    if (!state.auth) {
        return true;
    }
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    orlixmon_metrics_auth::result_e result = state.auth->check(user, password);
    MHD_free(user);
    if (password != nullptr) {
        explicit_bzero(password, strlen(password));
        MHD_free(password);
    }
    if (result == orlixmon_metrics_auth::OK) {
        return true;
    }
    if (result == orlixmon_metrics_auth::BUSY) {
        refused = send(connection, {429, "Too many password checks; try again\n", "text/plain"}, "Retry-After", "1");
        return false;
    }
    MHD_Response* response = response_of("Unauthorized\n");
    refused = response ? MHD_queue_basic_auth_fail_response(connection, "orlixmon", response) : MHD_NO;
    if (response != nullptr) {
        MHD_destroy_response(response);
    }
    return false;
}

MHD_Result handle(void* cls, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, size_t*, void**)
{
    auto& state = *static_cast<orlixmon_metrics_endpoint::state_s*>(cls);
    MHD_Result refused = MHD_NO;
    if (!authorised(state, connection, refused)) {
        return refused;
    }
    for (const auto& route : k_routes) {
        if (strcmp(url, route.path) != 0) {
            continue;
        }
        if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
            return send(connection, {MHD_HTTP_METHOD_NOT_ALLOWED, "Method Not Allowed\n", "text/plain"},
                        MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
        }
        return send(connection, route.answer(state));
    }
    return send(connection, {MHD_HTTP_NOT_FOUND, "Not Found\n", "text/plain"});
}

MHD_OptionItem option(MHD_OPTION name, intptr_t value, void* ptr = nullptr)
{
    return MHD_OptionItem{name, value, ptr};
}

}  // namespace

orlixmon_metrics_options_s orlixmon_metrics_options(const orlixmon_init_params_s& params)
{
    orlixmon_metrics_options_s out;
    out.web_config_file = params.metrics_web_config_file;
    out.select.all = params.metrics_all_counters;
    for (const auto& c : params.lif_counters) {
        out.select.lif.push_back(c.counter);
    }
    for (const auto& c : params.port_counters) {
        out.select.port.push_back(c.counter);
    }
    return out;
}

orlixmon_metrics_endpoint::orlixmon_metrics_endpoint(collect_fn collect) : state_(new state_s{})
{
    state_->collect = collect;
}

orlixmon_metrics_endpoint::~orlixmon_metrics_endpoint()
{
    if (state_->daemon != nullptr) {
        MHD_stop_daemon(state_->daemon);  // closes the listening socket too
    }
}

bool orlixmon_metrics_endpoint::start(const orlixmon_init_params_s& params, std::string& error)
{
    return start(params.metrics_listen, error, orlixmon_metrics_options(params));
}

bool orlixmon_metrics_endpoint::start(const std::string& listen, std::string& error,
                                      const orlixmon_metrics_options_s& options)
{
    if (state_->daemon != nullptr) {
        error = "the metrics endpoint is already serving";
        return false;
    }
    orlixmon_metrics_listen_s where;
    if (!orlixmon_metrics_listen_parse(listen, where, error)) {
        return false;
    }
    // the server reads the PEM texts from here: they live as long as it
    orlixmon_metrics_web_s& web = state_->web;
    if (!options.web_config_file.empty() && !orlixmon_metrics_web_load(options.web_config_file, web, error)) {
        return false;
    }
    int fd = orlixmon_metrics_listen_open(where, listen, error);
    if (fd < 0) {
        return false;
    }
    state_->select = options.select;
    if (!web.users.empty()) {
        state_->auth = std::make_unique<orlixmon_metrics_auth>(web.users);
    }

    std::vector<MHD_OptionItem> items = {
        option(MHD_OPTION_LISTEN_SOCKET, fd),
        option(MHD_OPTION_CONNECTION_LIMIT, k_connections_max),
        option(MHD_OPTION_PER_IP_CONNECTION_LIMIT, k_connections_per_ip),
        option(MHD_OPTION_CONNECTION_TIMEOUT, k_idle_timeout_s),
        option(MHD_OPTION_CONNECTION_MEMORY_LIMIT, k_connection_memory),
    };
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD;
    if (web.tls) {
        flags |= MHD_USE_TLS;
        items.push_back(option(MHD_OPTION_HTTPS_MEM_CERT, 0, web.cert_pem.data()));
        items.push_back(option(MHD_OPTION_HTTPS_MEM_KEY, 0, web.key_pem.data()));
        items.push_back(option(MHD_OPTION_HTTPS_PRIORITIES, 0, web.tls_priorities.data()));
    }
    items.push_back(option(MHD_OPTION_END, 0));
    // the port is 0 with a listening socket given
    state_->daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, handle, state_.get(), MHD_OPTION_ARRAY,
                                      items.data(), MHD_OPTION_END);
    if (state_->daemon == nullptr) {
        close(fd);
        state_->auth.reset();
        error = "cannot serve metrics on " + listen + ": the HTTP server did not start";
        return false;
    }
    std::string shown = where.any ? "[::]" + listen : listen;
    state_->url = std::string(web.tls ? "https" : "http") + "://" + shown + "/metrics";
    return true;
}

std::string orlixmon_metrics_endpoint::url() const
{
    return state_->url;
}

std::string orlixmon_metrics_text(const orlixmon_metrics_snapshot_s& snapshot, const orlixmon_metrics_select_s& select)
{
    return prometheus::TextSerializer().Serialize(orlixmon_metrics_families(snapshot, select));
}
