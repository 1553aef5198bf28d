#pragma once

// the plain HTTP the metrics tests and benchmarks need: a free loopback
// port and one whole GET

#include <string>

// a TCP port of 127.0.0.1 the kernel hands out, free again once this
// returns; -1 when none could be had
int test_free_tcp_port();

// GET path from 127.0.0.1:port over HTTP/1.0: the whole answer, headers
// included; empty when the connection failed. from: the loopback source
// address (127.0.0.N), or null for the kernel's choice
std::string test_http_get(int port, const std::string& path, const char* from = nullptr);

// a connection from from (as above) that sent half a request and waits:
// its descriptor, -1 when the connection failed
int test_http_half_request(int port, const char* from = nullptr);

// true when the server closed fd (read gives end of file or a reset), false
// while it holds it open; does not wait
bool test_http_closed(int fd);
