#pragma once

// the plain HTTP the metrics tests and benchmarks need: a free loopback
// port and one whole GET

#include <string>

// a TCP port of 127.0.0.1 the kernel hands out, free again once this
// returns; -1 when none could be had
int test_free_tcp_port();

// GET path from 127.0.0.1:port over HTTP/1.0: the whole answer, headers
// included; empty when the connection failed
std::string test_http_get(int port, const std::string& path);
