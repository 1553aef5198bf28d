// the firmware model: a table of the exchanges it answers and the faults
// that bend its answers

#include "emulator/cardsim_firmware.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <iterator>
#include <utility>

#include "emulator/cardsim_dispatch.h"
#include "emulator/cardsim_dumps.h"
#include "ipc/le_bytes.h"

namespace {

constexpr uint32_t k_status_not_found = 2;

using card_op_s = cardsim_op_s<cardsim_card_spec_s>;

void heartbeat(cardsim_card_spec_s&, uint32_t, const uint8_t* req, size_t, std::vector<uint8_t>& rsp)
{
    // the nonce comes back at offset 8
    memcpy(rsp.data() + 8, req, 8);
}

void device_info(cardsim_card_spec_s& spec, uint32_t, const uint8_t*, size_t, std::vector<uint8_t>& rsp)
{
    std::copy(spec.mac.begin(), spec.mac.end(), rsp.begin() + 20);
}

// a cleared coredump is gone until the card makes a new one
void coredump_clear(cardsim_card_spec_s& spec, uint32_t opcode, const uint8_t*, size_t, std::vector<uint8_t>&)
{
    spec.set_dump_size(opcode == CARDSIM_OP_COREDUMP_CLEAR ? cardsim_dump_e::CARD_COREDUMP
                                                           : cardsim_dump_e::SUC_COREDUMP,
                       0);
}

// the nine broken-down time fields, in their order on the wire
int tm::*const k_tm_fields[9] = {&tm::tm_sec,  &tm::tm_min,  &tm::tm_hour, &tm::tm_mday, &tm::tm_mon,
                                 &tm::tm_year, &tm::tm_wday, &tm::tm_yday, &tm::tm_isdst};

// the card's clock runs in UTC from the time it was last set
void time_update(cardsim_card_spec_s& spec, uint32_t, const uint8_t* req, size_t len, std::vector<uint8_t>&)
{
    struct tm t = {};
    for (size_t i = 0; i < 9; i++) {
        t.*k_tm_fields[i] = static_cast<int32_t>(le_at<uint32_t>(req, len, 4 * i));
    }
    time_t when = timegm(&t);
    if (when != static_cast<time_t>(-1)) {
        spec.clock_offset_s = static_cast<int64_t>(when) - static_cast<int64_t>(time(nullptr));
    }
}

void time_get(cardsim_card_spec_s& spec, uint32_t, const uint8_t*, size_t, std::vector<uint8_t>& rsp)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    time_t card_now = static_cast<time_t>(now.tv_sec + spec.clock_offset_s);
    struct tm t = {};
    gmtime_r(&card_now, &t);
    for (size_t i = 0; i < 9; i++) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 4 + 4 * i, static_cast<uint32_t>(t.*k_tm_fields[i]));
    }
    le_put<uint64_t>(rsp.data(), rsp.size(), 40, static_cast<uint64_t>(card_now));  // seconds since the epoch
    le_put<uint64_t>(rsp.data(), rsp.size(), 48, static_cast<uint64_t>(now.tv_nsec));
}

void cmb_get(cardsim_card_spec_s& spec, uint32_t, const uint8_t*, size_t, std::vector<uint8_t>& rsp)
{
    rsp[0] = spec.cmb;  // the status follows at offset 4
}

void cmb_update(cardsim_card_spec_s& spec, uint32_t, const uint8_t* req, size_t len, std::vector<uint8_t>&)
{
    spec.cmb = len > 0 ? req[0] : 0;
}

void port_ifindex(cardsim_card_spec_s& spec, uint32_t, const uint8_t*, size_t, std::vector<uint8_t>& rsp)
{
    size_t count = std::min<size_t>(spec.port_ifindexes.size(), 11);
    le_put<uint32_t>(rsp.data(), rsp.size(), 4, static_cast<uint32_t>(spec.port_ifindexes.size()));
    for (size_t i = 0; i < count; i++) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 8 + 4 * i, spec.port_ifindexes[i]);
    }
}

void port_info(cardsim_card_spec_s& spec, uint32_t, const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t ifindex = le_at<uint32_t>(req, len, 0);
    auto it = std::find(spec.port_ifindexes.begin(), spec.port_ifindexes.end(), ifindex);
    if (it == spec.port_ifindexes.end()) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 0, k_status_not_found);
        return;
    }
    le_put<uint32_t>(rsp.data(), rsp.size(), 4, ifindex);
    le_put<uint32_t>(rsp.data(), rsp.size(), 24, 0x100 + static_cast<uint32_t>(it - spec.port_ifindexes.begin()));
}

void port_stats_region(cardsim_card_spec_s&, uint32_t, const uint8_t*, size_t, std::vector<uint8_t>& rsp)
{
    le_put<uint64_t>(rsp.data(), rsp.size(), 8, CARDSIM_PORT_REGION);
    le_put<uint32_t>(rsp.data(), rsp.size(), 16, static_cast<uint32_t>(CARDSIM_PORT_REGION_SIZE));
}

// one LIF per exchange: cursor 0xffff asks for the first, the record names the next
void lif_get_all(cardsim_card_spec_s& spec, uint32_t, const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    uint32_t cursor = le_at<uint16_t>(req, len, 0);
    size_t index = cursor == 0xffff ? 0 : cursor;
    if (index >= spec.lifs.size()) {
        le_put<uint32_t>(rsp.data(), rsp.size(), 0, k_status_not_found);
        le_put(rsp.data(), rsp.size(), 152, uint16_t{0xffff});
        return;
    }
    const cardsim_lif_spec_s& lif = spec.lifs[index];
    std::copy(lif.id.begin(), lif.id.end(), rsp.begin() + 8);
    le_put(rsp.data(), rsp.size(), 48, lif.hw_id);
    memcpy(rsp.data() + 50, lif.name.data(), std::min<size_t>(lif.name.size(), 77));
    le_put<uint64_t>(rsp.data(), rsp.size(), 128, cardsim_lif_block(index));
    uint16_t next = index + 1 < spec.lifs.size() ? static_cast<uint16_t>(index + 1) : 0xffff;
    le_put(rsp.data(), rsp.size(), 152, next);
}

template <cardsim_dump_e D>
void coredump_chunk(cardsim_card_spec_s& spec, uint32_t, const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    cardsim_coredump_chunk_answer(spec, D, req, len, rsp);
}

template <uint32_t T>
void dtb_summary(cardsim_card_spec_s& spec, uint32_t, const uint8_t*, size_t, std::vector<uint8_t>& rsp)
{
    cardsim_dtb_summary_answer(spec, cardsim_dtb(T), rsp);
}

template <uint32_t T>
void dtb_chunk(cardsim_card_spec_s& spec, uint32_t, const uint8_t* req, size_t len, std::vector<uint8_t>& rsp)
{
    cardsim_dtb_chunk_answer(spec, cardsim_dtb(T), req, len, rsp);
}

constexpr auto EXACT = cardsim_req_e::EXACT;

// the card service (0x13); a null handler answers status 0 and a zeroed body
const card_op_s k_card_ops[] = {
    {CARDSIM_OP_HEARTBEAT, 8, EXACT, 16, heartbeat},
    {CARDSIM_OP_DEVICE_INFO, 0, EXACT, 388, device_info},
    {CARDSIM_OP_CARD_RESET, 4, EXACT, 4, nullptr},
    {0x10009, 36, EXACT, 4, time_update},
    {CARDSIM_OP_COREDUMP_CLEAR, 1, EXACT, 4, coredump_clear},
    {0x1000c, 1, EXACT, 56, time_get},
    {0x1000e, 4, EXACT, 4, nullptr},   // cpld reload
    {0x1000f, 0, EXACT, 4, nullptr},   // pss reset
    {CARDSIM_OP_SUC_COREDUMP_CLEAR, 1, EXACT, 4, coredump_clear},
};

// the LIF service (0x12)
const card_op_s k_lif_ops[] = {
    {CARDSIM_OP_LIF_GET_ALL, 2, EXACT, 160, lif_get_all},
    {0x10011, 1, EXACT, 8, cmb_get},
    {0x10012, 1, EXACT, 4, cmb_update},
    {0x10008, 1, EXACT, CARDSIM_DTB_SUMMARY_RSP_SIZE, dtb_summary<3>},
    {0x10009, 4, EXACT, CARDSIM_DTB_RSP_SIZE, dtb_chunk<3>},
    {0x1000c, 1, EXACT, CARDSIM_DTB_SUMMARY_RSP_SIZE, dtb_summary<4>},
    {0x1000d, 4, EXACT, CARDSIM_DTB_RSP_SIZE, dtb_chunk<4>},
};

// the port service (0x11)
const card_op_s k_port_ops[] = {
    {CARDSIM_OP_PORT_INFO, 8, EXACT, 928, port_info},
    {CARDSIM_OP_PORT_IFINDEX, 1, EXACT, 52, port_ifindex},
    {0x10014, 2, EXACT, 4, nullptr},  // breakout mode update
    {CARDSIM_OP_PORT_STATS_REGION, 1, EXACT, 24, port_stats_region},
    {0x1000f, 1, EXACT, CARDSIM_DTB_SUMMARY_RSP_SIZE, dtb_summary<2>},
    {0x10010, 4, EXACT, CARDSIM_DTB_RSP_SIZE, dtb_chunk<2>},
};

// the device service (0x0b)
const card_op_s k_device_ops[] = {
    {0x10006, 1, EXACT, 8, nullptr},  // device role get
    {0x10002, 1, EXACT, CARDSIM_DTB_SUMMARY_RSP_SIZE, dtb_summary<1>},
    {0x10003, 4, EXACT, CARDSIM_DTB_RSP_SIZE, dtb_chunk<1>},
};

// the coredump service (0x04)
const card_op_s k_dump_ops[] = {
    {CARDSIM_OP_COREDUMP_GET, 4, EXACT, CARDSIM_COREDUMP_RSP_SIZE, coredump_chunk<cardsim_dump_e::CARD_COREDUMP>},
    {CARDSIM_OP_SUC_COREDUMP_GET, 4, EXACT, CARDSIM_COREDUMP_RSP_SIZE, coredump_chunk<cardsim_dump_e::SUC_COREDUMP>},
};

struct endpoint_s {
    uint32_t endpoint;
    const card_op_s* ops;
    size_t count;
};

template <size_t N>
constexpr endpoint_s endpoint_of(uint32_t endpoint, const card_op_s (&ops)[N])
{
    return {endpoint, ops, N};
}

const endpoint_s k_endpoints[] = {
    endpoint_of(CARDSIM_EP_CARD, k_card_ops),   endpoint_of(CARDSIM_EP_LIF, k_lif_ops),
    endpoint_of(CARDSIM_EP_PORT, k_port_ops),   endpoint_of(CARDSIM_EP_DEVICE, k_device_ops),
    endpoint_of(CARDSIM_EP_DUMP, k_dump_ops),
};

const card_op_s* find_op(uint32_t endpoint, uint32_t opcode)
{
    for (const auto& e : k_endpoints) {
        if (e.endpoint == endpoint) {
            for (size_t i = 0; i < e.count; i++) {
                if (e.ops[i].opcode == opcode) {
                    return &e.ops[i];
                }
            }
        }
    }
    return nullptr;
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
    case cardsim_fault_e::DELAY:
        r.delay_ms = f.value;
        break;
    case cardsim_fault_e::STATUS_11:
        if (r.body.size() >= 4) {
            le_put<uint32_t>(r.body.data(), r.body.size(), 0, 11);
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
    const card_op_s* op = find_op(endpoint, opcode);
    return op ? op->rsp_size : 0;
}

cardsim_firmware::cardsim_firmware(cardsim_card_spec_s spec)
    : spec_(std::move(spec)), flash_(spec_.serial), board_(spec_.port_ifindexes.size())
{
}

cardsim_reply_s cardsim_firmware::handle(uint32_t endpoint, uint32_t opcode, const uint8_t* req, size_t len)
{
    static const uint8_t none = 0;
    if (req == nullptr) {
        req = &none;
        len = 0;
    }
    {
        std::lock_guard<std::mutex> lock(on_request_mutex_);
        if (on_request_) {
            on_request_();
        }
    }
    cardsim_reply_s reply;
    reply.opcode = opcode;
    if (endpoint == CARDSIM_EP_FWUPDATE) {
        cardsim_flash_reply_s r = flash_.handle(opcode, req, len);
        reply.fw_errno = r.fw_errno;
        reply.body = std::move(r.body);
    } else if (endpoint == CARDSIM_EP_CPLD || endpoint == CARDSIM_EP_XCVR) {
        cardsim_board_reply_s r = board_.handle(endpoint, opcode, req, len);
        reply.fw_errno = r.fw_errno;
        reply.body = std::move(r.body);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (endpoint != CARDSIM_EP_FWUPDATE && endpoint != CARDSIM_EP_CPLD && endpoint != CARDSIM_EP_XCVR) {
        const card_op_s* op = find_op(endpoint, opcode);
        reply.fw_errno = cardsim_check_request(op, req, len);
        if (reply.fw_errno == 0) {
            reply.body.assign(op->rsp_size, 0);
            if (op->answer) {
                op->answer(spec_, opcode, req, len, reply.body);
            }
        }
    }
    requests_++;
    if (fault_applies(fault_, endpoint, opcode)) {
        apply_fault(fault_, endpoint, opcode, reply);
    } else if (endpoint == CARDSIM_EP_CARD && opcode == CARDSIM_OP_CARD_RESET && reply.fw_errno == 0) {
        // the answer goes out, then the card reboots as a card does
        (void)reboot_locked_();
    }
    return reply;
}

uint32_t cardsim_firmware::reboot()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return reboot_locked_();
}

uint32_t cardsim_firmware::reboot_locked_()
{
    uint32_t image = flash_.reset();
    fault_ = image == CARDSIM_IMAGE_NONE ? cardsim_fault_s{cardsim_fault_e::SILENT, 0, 0, 0} : cardsim_fault_s{};
    return image;
}

void cardsim_firmware::set_on_request(std::function<void()> fn)
{
    std::lock_guard<std::mutex> lock(on_request_mutex_);
    on_request_ = std::move(fn);
}

cardsim_card_spec_s cardsim_firmware::spec() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return spec_;
}

void cardsim_firmware::make_coredump(cardsim_dump_e dump, uint32_t size)
{
    std::lock_guard<std::mutex> lock(mutex_);
    spec_.set_dump_size(dump, size);
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
