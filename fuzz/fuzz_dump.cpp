// what the card dumps: coredump retrieval of the card or of its SUC (chunk
// answers with their length, total and offset), or device-tree retrieval
// (DTB_SUMMARY_GET and the DTB_GET chunks into a buffer of exactly the size
// the caller gives), answered by the input. first byte: 0 the card's
// coredump, 1 the SUC's, 2 and more the device tree, followed by its type
// (u8) and buffer size (u16)

#include <cstdint>
#include <cstring>
#include <vector>

#include "aml/aml_coredump.h"
#include "fuzz/fuzz_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const aml_card_handle_s card = {"42424242-0000-0000-0000-000000000001", "0000:3b:00.0"};
    const uint32_t op = fuzz_take(data, size, 1) & 0x0f;
    if (op < 2) {
        fuzz_card_load(data, size);
        aml_coredump_get_req_s req;
        req.card = card;
        aml_coredump_get_rsp_s rsp;
        aml_status_e status = op ? aml_suc_coredump_get(&req, &rsp) : aml_card_coredump_get(&req, &rsp);
        // the collected text is the announced total and its two marker lines
        if (status == AML_STATUS_OK && rsp.size != 0 &&
            rsp.coredump.size() != rsp.size + strlen(AML_COREDUMP_BEGIN) + strlen(AML_COREDUMP_END)) {
            __builtin_trap();
        }
        return 0;
    }
    aml_card_dtb_get_req_s req;
    req.card = card;
    req.type = fuzz_take(data, size, 1) % (AML_DTB_TYPE_MAX + 2);
    req.buffer_size = fuzz_take(data, size, 2);
    fuzz_card_load(data, size);
    std::vector<uint8_t> buffer(req.buffer_size);
    req.buffer = req.buffer_size ? buffer.data() : nullptr;
    aml_card_dtb_get_rsp_s rsp;
    (void)aml_card_dtb_get(&req, &rsp);
    return 0;
}
