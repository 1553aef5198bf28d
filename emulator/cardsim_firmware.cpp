// the firmware model: a table of the exchanges it answers and the faults
// that bend its answers

#include "emulator/cardsim_firmware.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "emulator/cardsim_dumps.h"

namespace {

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++) {
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

void put64(std::vector<uint8_t>& b, size_t at, uint64_t v)
{
    put32(b, at, static_cast<uint32_t>(v));
    put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

uint32_t get32(const uint8_t* p, size_t len, size_t at)
{
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && at + i < len; i++) {
        v |= static_cast<uint32_t>(p[at + i]) << (8 * i);
    }
    return v;
}

constexpr uint32_t k_status_not_found = 2;

using answer_fn = void (*)(const cardsim_card_spec_s&, const uint8_t*, size_t, std::vector<uint8_t>&);

struct exchange_s {
    uint32_t endpoint;
    uint32_t opcode;
    size_t rsp_size;
    answer_fn answer;  // null: status 0 and a zeroed body
};

void heartbeat(const cardsim_card_spec_s&, const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    // the nonce comes back at offset 8
    if (len >= 8) {
        memcpy(rsp.data() + 8, req, 8);
    }
}

void device_info(const cardsim_card_spec_s& spec, const uint8_t*, size_t, std::vector<uint8_t>& rsp)
{
    std::copy(spec.mac.begin(), spec.mac.end(), rsp.begin() + 20);
}

void port_ifindex(const cardsim_card_spec_s& spec, const uint8_t*, size_t, std::vector<uint8_t>& rsp)
{
    size_t count = std::min<size_t>(spec.port_ifindexes.size(), 11);
    put32(rsp, 4, static_cast<uint32_t>(spec.port_ifindexes.size()));
    for (size_t i = 0; i < count; i++) {
        put32(rsp, 8 + 4 * i, spec.port_ifindexes[i]);
    }
}

void port_info(const cardsim_card_spec_s& spec, const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t ifindex = get32(req, len, 0);
    auto it = std::find(spec.port_ifindexes.begin(), spec.port_ifindexes.end(), ifindex);
    if (it == spec.port_ifindexes.end()) {
        put32(rsp, 0, k_status_not_found);
        return;
    }
    put32(rsp, 4, ifindex);
    put32(rsp, 24, 0x100 + static_cast<uint32_t>(it - spec.port_ifindexes.begin()));
}

void port_stats_region(const cardsim_card_spec_s&, const uint8_t*, size_t, std::vector<uint8_t>& rsp)
{
    put64(rsp, 8, CARDSIM_PORT_REGION);
    put32(rsp, 16, static_cast<uint32_t>(CARDSIM_PORT_REGION_SIZE));
}

// one LIF per exchange: cursor 0xffff asks for the first, the record names the next
void lif_get_all(const cardsim_card_spec_s& spec, const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t cursor = get32(req, std::min<size_t>(len, 2), 0);
    size_t index = cursor == 0xffff ? 0 : cursor;
    if (index >= spec.lifs.size()) {
        put32(rsp, 0, k_status_not_found);
        rsp[152] = rsp[153] = 0xff;
        return;
    }
    const cardsim_lif_spec_s& lif = spec.lifs[index];
    std::copy(lif.id.begin(), lif.id.end(), rsp.begin() + 8);
    rsp[48] = static_cast<uint8_t>(lif.hw_id);
    rsp[49] = static_cast<uint8_t>(lif.hw_id >> 8);
    memcpy(rsp.data() + 50, lif.name.data(), std::min<size_t>(lif.name.size(), 77));
    put64(rsp, 128, cardsim_lif_block(index));
    uint16_t next = index + 1 < spec.lifs.size() ? static_cast<uint16_t>(index + 1) : 0xffff;
    rsp[152] = static_cast<uint8_t>(next);
    rsp[153] = static_cast<uint8_t>(next >> 8);
}

// what the firmware answers; the rest of the card-level catalogue answers
// status 0 with a zeroed body of its size
const exchange_s k_exchanges[] = {
    {0x13, 0x10000, 16, heartbeat},
    {0x13, 0x10001, 388, device_info},
    {0x13, 0x10008, 4, nullptr},
    {0x13, 0x10009, 4, nullptr},
    {0x13, 0x1000b, 4, nullptr},
    {0x13, 0x1000c, 56, nullptr},
    {0x13, 0x1000e, 4, nullptr},
    {0x13, 0x1000f, 4, nullptr},
    {0x13, 0x10010, 4, nullptr},
    {0x12, 0x10001, 160, lif_get_all},
    {0x12, 0x10011, 8, nullptr},
    {0x12, 0x10012, 4, nullptr},
    {0x11, 0x10000, 928, port_info},
    {0x11, 0x1000b, 52, port_ifindex},
    {0x11, 0x10014, 4, nullptr},
    {0x11, 0x1001b, 24, port_stats_region},
    {0x0b, 0x10006, 8, nullptr},
    // coredumps and device trees in chunks (cardsim_dumps.h)
    {0x04, 0x10001, 1016, cardsim_coredump_chunk<cardsim_dump_e::CARD_COREDUMP>},
    {0x04, 0x10009, 1016, cardsim_coredump_chunk<cardsim_dump_e::SUC_COREDUMP>},
    {0x0b, 0x10002, 8, cardsim_dtb_summary<1>},
    {0x0b, 0x10003, 520, cardsim_dtb_chunk<1>},
    {0x11, 0x1000f, 8, cardsim_dtb_summary<2>},
    {0x11, 0x10010, 520, cardsim_dtb_chunk<2>},
    {0x12, 0x10008, 8, cardsim_dtb_summary<3>},
    {0x12, 0x10009, 520, cardsim_dtb_chunk<3>},
    {0x12, 0x1000c, 8, cardsim_dtb_summary<4>},
    {0x12, 0x1000d, 520, cardsim_dtb_chunk<4>},
};

const exchange_s* find_exchange(uint32_t endpoint, uint32_t opcode)
{
    auto it = std::find_if(std::begin(k_exchanges), std::end(k_exchanges),
                           [&](const exchange_s& e) { return e.endpoint == endpoint && e.opcode == opcode; });
    return it == std::end(k_exchanges) ? nullptr : it;
}

bool fault_applies(const cardsim_fault_s& f, uint32_t endpoint, uint32_t opcode)
{
    return f.kind != cardsim_fault_e::NONE && ((f.endpoint == 0 && f.opcode == 0) ||
                                               (f.endpoint == endpoint && f.opcode == opcode));
}

void apply_fault(const cardsim_fault_s& f, uint32_t endpoint, uint32_t opcode, cardsim_reply_s& r)
{
    switch (f.kind) {
    case cardsim_fault_e::NONE:
        break;
    case cardsim_fault_e::SILENT:
        r.silent = true;
        break;
    case cardsim_fault_e::DRIVER_ERRNO:
        r.driver_errno = static_cast<int>(f.value);
        break;
    case cardsim_fault_e::FW_ERRNO:
        r.fw_errno = f.value;
        break;
    case cardsim_fault_e::WRONG_OPCODE:
        r.opcode = opcode ^ 1;
        break;
    case cardsim_fault_e::SHORT_BODY:
        r.body.resize(std::min<size_t>(r.body.size(), f.value));
        break;
    case cardsim_fault_e::OVERSIZED_BODY:
        r.body.resize(std::min<size_t>(r.body.size() + std::max<uint32_t>(f.value, 1), 1024));
        break;
    case cardsim_fault_e::WRONG_NONCE:
        if (endpoint == CARDSIM_EP_CARD && opcode == CARDSIM_OP_HEARTBEAT && r.body.size() >= 16) {
            r.body[8] ^= 0x5a;
        }
        break;
    case cardsim_fault_e::STATUS_11:
        if (r.body.size() >= 4) {
            put32(r.body, 0, 11);
        }
        break;
    }
}

}  // namespace

size_t cardsim_response_size(uint32_t endpoint, uint32_t opcode)
{
    if (endpoint == CARDSIM_EP_FWUPDATE) {
        return cardsim_flash::response_size(opcode);
    }
    if (endpoint == CARDSIM_EP_CPLD || endpoint == CARDSIM_EP_XCVR) {
        return cardsim_board::response_size(endpoint, opcode);
    }
    const exchange_s* e = find_exchange(endpoint, opcode);
    return e ? e->rsp_size : 0;
}

cardsim_firmware::cardsim_firmware(cardsim_card_spec_s spec)
    : spec_(std::move(spec)), flash_(spec_.serial), board_(spec_.port_ifindexes.size())
{
}

cardsim_reply_s cardsim_firmware::handle(uint32_t endpoint, uint32_t opcode, const uint8_t* req, size_t len)
{
    cardsim_reply_s reply;
    reply.opcode = opcode;
    const exchange_s* e = find_exchange(endpoint, opcode);
    if (endpoint == CARDSIM_EP_FWUPDATE) {
        cardsim_flash_reply_s r = flash_.handle(opcode, req, len);
        reply.fw_errno = r.fw_errno;
        reply.body = std::move(r.body);
    } else if (endpoint == CARDSIM_EP_CPLD || endpoint == CARDSIM_EP_XCVR) {
        cardsim_board_reply_s r = board_.handle(endpoint, opcode, req, len);
        reply.fw_errno = r.fw_errno;
        reply.body = std::move(r.body);
    } else if (e == nullptr) {
        reply.fw_errno = CARDSIM_FW_ENOTSUP;
    } else {
        reply.body.assign(e->rsp_size, 0);
        if (e->answer) {
            e->answer(spec_, req, len, reply.body);
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    requests_++;
    if (fault_applies(fault_, endpoint, opcode)) {
        apply_fault(fault_, endpoint, opcode, reply);
    }
    return reply;
}

void cardsim_firmware::set_fault(const cardsim_fault_s& fault)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = fault;
}

cardsim_fault_s cardsim_firmware::fault() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return fault_;
}

uint64_t cardsim_firmware::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}
