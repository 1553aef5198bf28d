// the monitor's LIF walk: LIF_GET_ALL records, each naming the cursor of the
// next, answered by the input until the end cursor or a failure; the raw
// input also goes through the record decoder at its length

#include <cstdint>
#include <vector>

#include "fuzz/fuzz_transport.h"
#include "monitor/card_context.h"
#include "monitor/card_interfaces.h"
#include "monitor/interface_discovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    orlixmon_lif_entry_s lif;
    uint32_t status = 0;
    uint16_t next = 0;
    (void)orlixmon_decode_lif_record(data, size, status, lif, next);

    fuzz_card_load(data, size);
    orlixmon_card_ctxt_s ctxt;
    ctxt.card = {"42424242-0000-0000-0000-000000000001", "0000:3b:00.0"};
    std::vector<orlixmon_lif_entry_s> lifs;
    (void)orlixmon_card_lif_get(ctxt, lifs);
    // every record came from one exchange: the walk never adds more
    if (lifs.size() > fuzz_card_exchanges()) {
        __builtin_trap();
    }
    return 0;
}
