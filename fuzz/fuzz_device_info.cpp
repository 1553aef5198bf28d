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

namespace {

aml_card_handle_s card()
{
    return {"42424242-0000-0000-0000-000000000001", "0000:3b:00.0"};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32_t pick = fuzz_take(data, size, 1);
    std::array<uint8_t, 6> mac{};
    (void)orlixmon_decode_device_info_mac(data, size, mac);

    fuzz_card_load(data, size);
    aml_card_handle_s handle = card();
    std::string error;
    switch (pick % 6) {
    case 0: {
        uint8_t fru_mac[6];
        (void)kovra_get_card_fru_mac(&handle, fru_mac, error);
        break;
    }
    case 1: {
        uint8_t image = 0;
        (void)kovra_get_card_running_firmware(&handle, &image, error);
        break;
    }
    case 2: {
        device_role_e role = DEVICE_ROLE_NONE;
        (void)aml_get_device_role(&handle, &role, error);
        break;
    }
    case 3: {
        aml_card_liveness_check_req_s req{handle};
        aml_card_liveness_check_rsp_s rsp;
        (void)aml_card_liveness_check(&req, &rsp);
        break;
    }
    case 4: {
        aml_card_time_get_req_s req{handle};
        aml_card_time_get_rsp_s rsp;
        (void)aml_card_time_get(&req, &rsp);
        break;
    }
    default: {
        aml_card_cmb_get_req_s req{handle};
        aml_card_cmb_get_rsp_s rsp;
        (void)aml_card_cmb_get(&req, &rsp);
        break;
    }
    }
    return 0;
}
