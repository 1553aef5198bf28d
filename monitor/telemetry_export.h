#pragma once

// the telemetry pass and its export

#include <string>

#include "monitor/card_context.h"
#include "monitor/pipeline.h"
#include "monitor/telemetry_record.h"

// serialises a record and writes it to the card's stats (type 1) or event
// (types 2, 3) file, flushed at once
int telemetry_export_cb(orlixmon_card_ctxt_s& ctxt, orlixmon_telemetry_record_s& record);

// one poll of every LIF / port of the card: stats then event record of each
int orlixmon_handle_lif_telemetry(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info);
int orlixmon_handle_port_telemetry(orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info);

// writes a card event ("card down detected", "card up detected")
void orlixmon_post_health_check_event(orlixmon_card_ctxt_s& ctxt, const std::string& event);
