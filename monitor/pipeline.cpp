// the configured counter rules resolved into what each worker reads

#include "monitor/pipeline.h"

#include <cstdio>
#include <iterator>

#include "monitor/counter_maps.h"
#include "monitor/telemetry_export.h"

struct pipeline_counter_kind_s {
    std::vector<orlixmon_telemetry_counter_cfg_s> pipeline_init_params_s::*configured;
    std::vector<orlixmon_telemetry_counter_s> pipeline_monitor_info_s::*resolved;
    const orlixmon_counter_map_t* map;
    const char* kind;
    std::vector<uint64_t> pipeline_monitor_info_s::*table_offsets;
};

static const pipeline_counter_kind_s k_counter_kinds[] = {
    {&pipeline_init_params_s::lif_counters, &pipeline_monitor_info_s::lif_counters, &lif_counter_map, "lif",
     &pipeline_monitor_info_s::lif_table_offsets},
    {&pipeline_init_params_s::port_counters, &pipeline_monitor_info_s::port_counters, &port_counter_map, "port",
     &pipeline_monitor_info_s::port_table_offsets},
    {&pipeline_init_params_s::card_counters, &pipeline_monitor_info_s::card_counters, &card_counter_map, "card", nullptr},
};

int pipeline_init(pipeline_init_params_s* params, pipeline_monitor_info_s* info, bool metrics)
{
    info->record_types = {ORLIXMON_RECORD_TYPE_LIF, ORLIXMON_RECORD_TYPE_PORT};
    info->export_cb = telemetry_export_cb;
    info->lif_counters_read = pipeline_lif_counters_read;
    info->port_counters_read = pipeline_port_counters_read;
    info->card_counters_read = pipeline_card_counters_read;
    info->metrics = metrics;
    if (metrics) {
        info->lif_counters_read = pipeline_lif_table_read;
        info->port_counters_read = pipeline_port_table_read;
    }
    for (const auto& kind : k_counter_kinds) {
        if (kind.table_offsets) {
            for (const auto& [name, offset] : *kind.map) {
                (info->*kind.table_offsets).push_back(offset);
            }
        }
        for (const auto& cfg : params->*kind.configured) {
            auto found = kind.map->find(cfg.counter);
            if (found == kind.map->end()) {
                fprintf(stderr, "Error - %s is not a valid %s counter\n", cfg.counter.c_str(), kind.kind);
                return 255;
            }
            (info->*kind.resolved)
                .push_back({cfg.counter, found->second, cfg.cumulative, cfg.threshold,
                            cfg.event_record, cfg.stats_record,
                            static_cast<size_t>(std::distance(kind.map->begin(), found))});
        }
    }
    return 0;
}
