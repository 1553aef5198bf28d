// the card's DEVICE_INFO answer and the other fixed-layout card answers of
// the management library: fru mac, running image, device role, heartbeat,
// card time and cmb. the first input byte picks the request, the rest is
// the card's answers; the raw bytes also go through the monitor's own
// DEVICE_INFO decoder.

#include <array>
#include <cstdint>
#include <string>

#include "aml/aml_card_requests.h"
#include "aml/aml_inventory.h"
#include "fuzz/fuzz_transport.h"
#include "monitor/card_interfaces.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32_t pick = fuzz_take(data, size, 1);
    std::array<uint8_t, 6> mac{};
    (void)orlixmon_decode_device_info_mac(data, size, mac);

    aml_card_handle_s handle = {"42424242-0000-0000-0000-000000000001", "0000:3b:00.0"};
    std::string error;
    uint8_t bytes[6];
    device_role_e role = DEVICE_ROLE_NONE;
    aml_card_liveness_check_rsp_s liveness;
    aml_card_time_get_rsp_s time;
    aml_card_cmb_get_rsp_s cmb;
    aml_card_liveness_check_req_s liveness_req{handle};
    aml_card_time_get_req_s time_req{handle};
    aml_card_cmb_get_req_s cmb_req{handle};
    return fuzz_card_pick(pick, data, size, {
        [&] { (void)kovra_get_card_fru_mac(&handle, bytes, error); },
        [&] { (void)kovra_get_card_running_firmware(&handle, bytes, error); },
        [&] { (void)aml_get_device_role(&handle, &role, error); },
        [&] { (void)aml_card_liveness_check(&liveness_req, &liveness); },
        [&] { (void)aml_card_time_get(&time_req, &time); },
        [&] { (void)aml_card_cmb_get(&cmb_req, &cmb); },
    });
}
