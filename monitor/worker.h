#pragma once

#include "aml/aml_card_handle.h"
#include "monitor/card_context.h"
#include "monitor/pipeline.h"

// binds the calling thread's platform layer to the card; 0 or 255
int orlixmon_card_sdk_init(aml_card_handle_s* card);

// the polling thread of one card; ctxt is the card's context
void* orlixmon_worker(void* ctxt);

// how a worker waits out the rest of its 100 us pass
enum orlixmon_worker_wait_e {
    ORLIXMON_WORKER_WAIT_SPIN = 0,   // spin on the monotonic clock: a fine grid, one core per card
    ORLIXMON_WORKER_WAIT_SLEEP = 1,  // sleep to an absolute monotonic deadline
};

// the pieces of the worker's loop, each as the loop runs it
// one pass: the LIF and port polls due at this pass number (g_orlixmon_schedule)
void orlixmon_worker_pass(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, uint64_t pass);
// the deadline of the next pass: 100 us after this one started, or 1 us after
// it ended when it overran
int64_t orlixmon_worker_next_deadline(int64_t start_ns, int64_t end_ns);
// the calling thread made ready to wait in mode (its timer slack for sleep)
void orlixmon_worker_thread_setup(orlixmon_worker_wait_e mode);
void orlixmon_worker_wait_until(int64_t deadline_ns, orlixmon_worker_wait_e mode);
int64_t orlixmon_monotonic_ns();
