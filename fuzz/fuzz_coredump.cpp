// coredump retrieval of the card or of its SUC: chunk answers with their
// length, total and offset, answered by the input. first byte: which one

#include <cstdint>
#include <cstring>

#include "aml/aml_coredump.h"
#include "fuzz/fuzz_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32_t pick = fuzz_take(data, size, 1);
    aml_coredump_get_req_s req;
    req.card = {"42424242-0000-0000-0000-000000000001", "0000:3b:00.0"};
    aml_coredump_get_rsp_s rsp;
    aml_status_e status = AML_STATUS_OK;
    fuzz_card_pick(pick, data, size, {
        [&] { status = aml_card_coredump_get(&req, &rsp); },
        [&] { status = aml_suc_coredump_get(&req, &rsp); },
    });
    // the collected text is the announced total and its two marker lines
    if (status == AML_STATUS_OK && rsp.size != 0 &&
        rsp.coredump.size() != rsp.size + strlen(AML_COREDUMP_BEGIN) + strlen(AML_COREDUMP_END)) {
        __builtin_trap();
    }
    return 0;
}
