// device-tree retrieval: DTB_SUMMARY_GET and the DTB_GET chunks, answered by
// the input, into a buffer of exactly the size the caller gives.
// input: type (u8), buffer size (u16), then the card's answers

#include <cstdint>
#include <vector>

#include "aml/aml_coredump.h"
#include "fuzz/fuzz_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32_t type = fuzz_take(data, size, 1) % (AML_DTB_TYPE_MAX + 2);
    uint32_t buffer_size = fuzz_take(data, size, 2);
    fuzz_card_load(data, size);
    std::vector<uint8_t> buffer(buffer_size);
    aml_card_dtb_get_req_s req;
    req.card = {"42424242-0000-0000-0000-000000000001", "0000:3b:00.0"};
    req.type = type;
    req.buffer_size = buffer_size;
    req.buffer = buffer_size ? buffer.data() : nullptr;
    aml_card_dtb_get_rsp_s rsp;
    (void)aml_card_dtb_get(&req, &rsp);
    return 0;
}
