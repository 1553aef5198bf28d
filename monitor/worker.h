#pragma once

#include "aml/aml_card_handle.h"
#include "monitor/card_context.h"

// binds the calling thread's platform layer to the card; 0 or 255
int orlixmon_card_sdk_init(aml_card_handle_s* card);

// the polling thread of one card; ctxt is the card's context
void* orlixmon_worker(void* ctxt);

// how a worker waits out the rest of its 100 us pass
enum orlixmon_worker_wait_e {
    ORLIXMON_WORKER_WAIT_SPIN = 0,   // spin on the monotonic clock: a fine grid, one core per card
    ORLIXMON_WORKER_WAIT_SLEEP = 1,  // sleep to an absolute monotonic deadline
};
