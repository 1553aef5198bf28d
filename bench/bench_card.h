#pragma once

// a card context on the benchmarks' emulated host, as the monitor sets one
// up after discovery: LIFs and ports with their counter blocks, counters
// resolved from the monitor's counter maps

#include <string>
#include <vector>

#include "emulator/cardsim_host.h"
#include "monitor/card_context.h"
#include "monitor/pipeline.h"

// n counters per object: the LIF (and port) counter names in map order,
// taken again from the start when n is longer than the map; every one a
// change since the previous read into the stats record
std::vector<orlixmon_telemetry_counter_s> bench_counters(const char* kind, size_t n);

// card 0 of the host with its first lifs LIFs and ports ports; info polls
// LIFs and ports with counters counters each, exporting through export_cb
void bench_card_setup(cardsim_host& host, size_t lifs, size_t ports, size_t counters,
                      orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, pipeline_export_cb_t export_cb);

// an export that writes nothing
int bench_export_none(orlixmon_card_ctxt_s& ctxt, orlixmon_telemetry_record_s& record);
