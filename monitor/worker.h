#pragma once

// the polling thread of one card

#include "aml/aml_card_handle.h"
#include "monitor/card_context.h"
#include "monitor/pipeline.h"

// binds the calling thread's platform layer to the card; 0 or 255
int orlixmon_card_sdk_init(aml_card_handle_s* card);

// the polling thread of one card; ctxt is the card's context
void* orlixmon_worker(void* ctxt);

// the pieces of the worker's loop, each as the loop runs it
// the polls due in the ticks [from, to] of g_orlixmon_schedule, each once
void orlixmon_worker_poll(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, uint64_t from, uint64_t to);
// one pass of the 100 us modes: the LIF and port polls due at this pass number
inline void orlixmon_worker_pass(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, uint64_t pass)
{
    orlixmon_worker_poll(ctxt, info, pass, pass);
}
// the tick of the next poll after tick, from info's record types;
// UINT64_MAX when it polls nothing
uint64_t orlixmon_worker_next_poll(const pipeline_monitor_info_s& info, uint64_t tick);
int64_t orlixmon_monotonic_ns();

// the loop of a worker whose thread is bound to the card, until the card's
// stop is set or the running flag is clear; parks while the card is down
void orlixmon_worker_loop(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, orlixmon_worker_wait_e mode);
