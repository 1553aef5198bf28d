#pragma once

// the monitor's start and stop

#include "monitor/orlixmon_config.h"

// starts the trace logger, the state and the health checker, and returns
// once the health checker has ended (after a stop signal): 0, or the status
// of the step that failed
int orlixmon_init(orlixmon_init_params_s* params);

// stops the monitor: clears the running flag and logs the signal
void orlixmon_signal_handler(int signo);

// routes SIGINT and SIGTERM to orlixmon_signal_handler. the signals are
// blocked in this thread and in every thread started after it, and taken by
// one thread that waits for them, so the handler runs as ordinary code and
// may take the logger's locks. the same thread sends the watchdog
// keep-alives (WATCHDOG_USEC) while it waits
void orlixmon_signals_init();

// ends the signal thread (at once after a stop signal, else within its wait)
void orlixmon_signals_end();
