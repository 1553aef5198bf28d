#pragma once

// the service manager's notification protocol

#include <cstdint>

// the daemon's side of the service manager's notification protocol
// (sd_notify). every call does nothing when the process was not started with
// NOTIFY_SOCKET, so a daemon run by hand behaves as it always did.

// READY=1: start-up is done (the first card discovery has run). sent once,
// later calls do nothing
void service_notify_ready();

// WATCHDOG=1 when the service manager asked for a watchdog (WATCHDOG_USEC)
// and half its period went by since the last keep-alive. returns the
// nanoseconds until the next one is due, or -1 without a watchdog. the
// signal thread calls it (orlixmon_signals_init): nothing a card does can
// hold it back
int64_t service_notify_watchdog();

// STOPPING=1: the daemon has begun to shut down
void service_notify_stopping();
