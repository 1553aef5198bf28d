// the monitor's configuration reader on the input as its JSON file

#include <cstdint>
#include <string>

#include "fuzz/fuzz_input.h"
#include "monitor/orlixmon_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = fuzz_scratch_dir() + "/orlixmon.json";
    if (!fuzz_write_file(path, data, size)) {
        return 0;
    }
    orlixmon_init_params_s params;
    if (parse_config_from_json(path, params) == 0) {
        // an accepted file never gives a period of zero ticks
        if (params.lif_poll_interval < ORLIXMON_MIN_POLL_INTERVAL_US ||
            params.port_poll_interval < ORLIXMON_MIN_POLL_INTERVAL_US ||
            params.liveness_poll_interval < ORLIXMON_MIN_POLL_INTERVAL_US) {
            __builtin_trap();
        }
    }
    return 0;
}
