#pragma once

// the metrics.listen address forms

#include <sys/socket.h>

#include <string>

// where the metrics endpoint listens, from "metrics.listen":
//   A.B.C.D:PORT    that IPv4 address
//   [IPV6]:PORT     that IPv6 address
//   localhost:PORT  127.0.0.1
//   :PORT           every address, IPv6 and IPv4 (IPv4 alone on a host without IPv6)
// the port 1 to 65535
struct orlixmon_metrics_listen_s {
    sockaddr_storage addr{};
    socklen_t len = 0;
    bool any = false;  // the ":PORT" form
};

// false with the reason in error when text is none of the forms above
bool orlixmon_metrics_listen_parse(const std::string& text, orlixmon_metrics_listen_s& out, std::string& error);

// the same check without the address
bool orlixmon_metrics_listen_valid(const std::string& text, std::string& error);

// a bound, listening, non-blocking socket at listen; -1 with error naming
// text when it cannot be had (address taken, not on this host)
int orlixmon_metrics_listen_open(const orlixmon_metrics_listen_s& listen, const std::string& text, std::string& error);
