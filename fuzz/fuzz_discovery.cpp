// the monitor's discovery of a card: the port walk (DEVICE_INFO,
// PORT_IFINDEX_GET, then per port PORT_INFO_GET and the counter region) or
// the LIF walk (LIF_GET_ALL records, each naming the cursor of the next),
// all answered by the input; the raw input also goes through every record
// decoder at its length. first byte: bit 0 set for the LIF walk

#include <cstdint>
#include <vector>

#include "fuzz/fuzz_transport.h"
#include "monitor/card_context.h"
#include "monitor/card_interfaces.h"
#include "monitor/interface_discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const bool lifs = fuzz_take(data, size, 1) & 1;
    uint32_t status = 0, count = 0;
    uint32_t ifindexes[ORLIX_PORT_IFINDEX_MAX] = {};
    if (orlixmon_decode_port_ifindex(data, size, status, ifindexes, count) && count > ORLIX_PORT_IFINDEX_MAX) {
        __builtin_trap();
    }
    for (uint32_t i = 0; i < count; i++) {
        (void)orlixmon_port_name(ifindexes[i]);
    }
    uint16_t hw_id = 0, next = 0;
    (void)orlixmon_decode_port_info(data, size, status, hw_id);
    uint64_t addr = 0, region = 0;
    (void)orlixmon_decode_port_stats_region(data, size, status, addr, region);
    orlixmon_lif_entry_s lif;
    (void)orlixmon_decode_lif_record(data, size, status, lif, next);

    fuzz_card_load(data, size);
    orlixmon_card_ctxt_s ctxt;
    ctxt.card = {"42424242-0000-0000-0000-000000000001", "0000:3b:00.0"};
    std::vector<orlixmon_lif_entry_s> lif_list;
    std::vector<orlixmon_port_entry_s> ports;
    // every LIF record came from one exchange: the walk never adds more
    if (lifs ? (orlixmon_card_lif_get(ctxt, lif_list), lif_list.size() > fuzz_card_exchanges())
             : (orlixmon_card_port_get(ctxt, ports), ports.size() > ORLIX_PORT_IFINDEX_MAX)) {
        __builtin_trap();
    }
    return 0;
}
