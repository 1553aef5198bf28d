// the monitor's port discovery: DEVICE_INFO, PORT_IFINDEX_GET, then per
// port PORT_INFO_GET and the port counter region, all answered by the
// input; the raw input also goes through each port decoder at its length

#include <cstdint>
#include <vector>

#include "fuzz/fuzz_transport.h"
#include "monitor/card_context.h"
#include "monitor/card_interfaces.h"
#include "monitor/interface_discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32_t status = 0, count = 0;
    uint32_t ifindexes[ORLIX_PORT_IFINDEX_MAX] = {};
    if (orlixmon_decode_port_ifindex(data, size, status, ifindexes, count) && count > ORLIX_PORT_IFINDEX_MAX) {
        __builtin_trap();
    }
    uint16_t hw_id = 0;
    (void)orlixmon_decode_port_info(data, size, status, hw_id);
    uint64_t addr = 0, region = 0;
    (void)orlixmon_decode_port_stats_region(data, size, status, addr, region);
    for (uint32_t i = 0; i < count; i++) {
        (void)orlixmon_port_name(ifindexes[i]);
    }

    fuzz_card_load(data, size);
    orlixmon_card_ctxt_s ctxt;
    ctxt.card = {"42424242-0000-0000-0000-000000000001", "0000:3b:00.0"};
    std::vector<orlixmon_port_entry_s> ports;
    (void)orlixmon_card_port_get(ctxt, ports);
    if (ports.size() > ORLIX_PORT_IFINDEX_MAX) {
        __builtin_trap();
    }
    return 0;
}
