#include "bench/bench_card.h"

#include "ipc/nic_ipc.h"
#include "monitor/counter_maps.h"
#include "monitor/worker.h"

std::vector<orlixmon_telemetry_counter_s> bench_counters(const char* kind, size_t n)
{
    const orlixmon_counter_map_t& map = std::string(kind) == "lif" ? lif_counter_map : port_counter_map;
    std::vector<orlixmon_telemetry_counter_s> out;
    auto it = map.begin();
    for (size_t i = 0; i < n; i++, ++it) {
        if (it == map.end()) {
            it = map.begin();
        }
        out.push_back({it->first, it->second, false, 0, false, true});
    }
    return out;
}

void bench_card_setup(cardsim_host& host, size_t lifs, size_t ports, size_t counters,
                      orlixmon_card_ctxt_s& ctxt, pipeline_monitor_info_s& info, pipeline_export_cb_t export_cb)
{
    const cardsim_card_info_s& card = host.card(0);
    ctxt.card = {nic_ipc_uuid_from_serial(card.serial), card.card_bdf};
    ctxt.lifs.clear();
    for (size_t i = 0; i < lifs; i++) {
        ctxt.lifs.push_back({"0" + std::to_string(i) + "000000-0000-0000-0000-000000000000", "lif" + std::to_string(i),
                             static_cast<uint16_t>(i + 1), cardsim_lif_block(i)});
    }
    ctxt.ports.clear();
    for (size_t p = 0; p < ports; p++) {
        uint32_t ifindex = cardsim_ifindex(CARDSIM_IFTYPE_ETH, 1, static_cast<uint32_t>(p + 1));
        ctxt.ports.push_back({"00aecd01-0000-4242-4242-0000" + std::to_string(ifindex), orlixmon_port_name(ifindex),
                              ifindex, static_cast<uint16_t>(p + 1), CARDSIM_PORT_REGION, CARDSIM_PORT_REGION_SIZE});
    }
    info = pipeline_monitor_info_s();
    info.record_types = {ORLIXMON_RECORD_TYPE_LIF, ORLIXMON_RECORD_TYPE_PORT};
    info.export_cb = export_cb;
    info.lif_counters_read = pipeline_lif_counters_read;
    info.port_counters_read = pipeline_port_counters_read;
    info.card_counters_read = pipeline_card_counters_read;
    info.lif_counters = bench_counters("lif", counters);
    info.port_counters = bench_counters("port", counters);
    // the calling thread reads this card's memory from now on
    orlixmon_card_sdk_init(&ctxt.card);
}

int bench_export_none(orlixmon_card_ctxt_s&, orlixmon_telemetry_record_s&) { return 0; }
