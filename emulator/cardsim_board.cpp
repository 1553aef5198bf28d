// the board services of the firmware model: CPLD, sensors and FRU on
// endpoint 6, transceiver cages and module memory on endpoint 7

#include "emulator/cardsim_board.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "ipc/le_bytes.h"

namespace {

constexpr size_t k_max_requests = 4096;

// endpoint 6
constexpr uint32_t k_op_fru_read = 0x10001, k_op_get_led = 0x10002, k_op_set_led = 0x10003;
constexpr uint32_t k_op_card_status = 0x10004, k_op_fw_ver = 0x10005, k_op_rev = 0x10006;
constexpr uint32_t k_op_id = 0x10007, k_op_minor_rev = 0x10008, k_op_boot_status = 0x10009;
constexpr uint32_t k_op_rst_cause = 0x1000a, k_op_rst_event = 0x1000b, k_op_reg_read = 0x1000c;
constexpr uint32_t k_op_reg_write = 0x1000d, k_op_fwsel = 0x1000e, k_op_sensor_first = 0x1000f;
constexpr uint32_t k_op_sensor_last = 0x10017;

// endpoint 7
constexpr uint32_t k_op_present = 0x10001, k_op_in_reset = 0x10002, k_op_set_port = 0x10003;
constexpr uint32_t k_op_reset_port = 0x10004, k_op_lp_set = 0x10005, k_op_lp_clear = 0x10006;
constexpr uint32_t k_op_xcvr_led = 0x10007, k_op_read = 0x10008, k_op_write = 0x10009;
constexpr uint32_t k_op_dom_read = 0x1000a, k_op_temp = 0x1000b, k_op_link = 0x1000c;
constexpr uint32_t k_op_power_on = 0x1000d, k_op_power_off = 0x1000e, k_op_powered = 0x1000f;
constexpr uint32_t k_op_power_failure = 0x10010, k_op_power_ctrl = 0x10011, k_op_intr_pending = 0x10012;
constexpr uint32_t k_op_intr_clear = 0x10013;
constexpr uint32_t k_xcvr_last = k_op_intr_clear;

// endpoint-7 request fields
constexpr size_t k_req_received = 0, k_req_port = 4, k_req_offset = 12, k_req_length = 20;
constexpr size_t k_req_data = 28;

constexpr size_t k_cpld_rsp = 16, k_sensor_rsp = 12, k_fru_rsp = 4 + 512, k_fwsel_rsp = 8;
constexpr size_t k_xcvr_rsp = 12, k_xcvr_read_rsp = 8 + CARDSIM_XCVR_CHUNK;
constexpr size_t k_cpld_req = 12, k_xcvr_req = 240;

size_t module_span()
{
    return CARDSIM_XCVR_LOWER + CARDSIM_XCVR_PAGE * CARDSIM_XCVR_PAGES;
}

// where module address `a` is, with byte 127 choosing the upper page; null
// past the last page
uint8_t* module_byte(cardsim_xcvr_s& x, size_t a)
{
    if (a < CARDSIM_XCVR_LOWER) {
        return &x.lower[a];
    }
    size_t at = static_cast<size_t>(x.lower[127]) * CARDSIM_XCVR_PAGE + (a - CARDSIM_XCVR_LOWER);
    return at < x.upper.size() ? &x.upper[at] : nullptr;
}

// a module whose every byte tells where it is: lower byte i holds i (page
// select 0), byte j of upper page p holds p ^ j ^ 0x80, monitoring byte k
// holds k ^ 0xd0 (in the low 8 bits)
cardsim_xcvr_s patterned_xcvr()
{
    cardsim_xcvr_s x;
    for (size_t i = 0; i < x.lower.size(); i++) {
        x.lower[i] = static_cast<uint8_t>(i);
    }
    x.lower[127] = 0;
    for (size_t p = 0; p < CARDSIM_XCVR_PAGES; p++) {
        for (size_t j = 0; j < CARDSIM_XCVR_PAGE; j++) {
            x.upper[p * CARDSIM_XCVR_PAGE + j] = static_cast<uint8_t>(p ^ j ^ 0x80);
        }
    }
    for (size_t k = 0; k < x.dom.size(); k++) {
        x.dom[k] = static_cast<uint8_t>(k ^ 0xd0);
    }
    cardsim_xcvr_healthy(x);
    return x;
}

}  // namespace

uint32_t cardsim_board_request_s::word(size_t at) const
{
    return le_at<uint32_t>(body, at);
}

cardsim_board::cardsim_board(size_t ports) : fru_(CARDSIM_FRU_SIZE, 0xff), xcvrs_(ports, patterned_xcvr())
{
    // a FRU that starts like one: the common header, then the board name
    const uint8_t head[] = {0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xfe};
    std::copy(std::begin(head), std::end(head), fru_.begin());
    const char name[] = "ORLIX-2600";
    std::copy(name, name + sizeof(name) - 1, fru_.begin() + 8);
}

using board_op_s = cardsim_op_s<cardsim_board>;
constexpr auto EXACT = cardsim_req_e::EXACT;

// CPLD requests carry zero words at 0 and 8, transceiver requests at 8 and 16
static bool cpld_reserved_clear(const uint8_t* req, size_t len)
{
    return cardsim_words_zero(req, len, {0, 8});
}

static bool xcvr_reserved_clear(const uint8_t* req, size_t len)
{
    return cardsim_words_zero(req, len, {8, 16});
}

#define CPLD_OP(op_) {op_, k_cpld_req, EXACT, k_cpld_rsp, &cardsim_board::cpld_answer_, cpld_reserved_clear}
#define SENSOR_OP(op_) {op_, 0, EXACT, k_sensor_rsp, &cardsim_board::cpld_answer_}
#define XCVR_OP(op_, rsp_) {op_, k_xcvr_req, EXACT, rsp_, &cardsim_board::xcvr_answer_, xcvr_reserved_clear}

const board_op_s cardsim_board::k_cpld_ops[] = {
    {k_op_fru_read, 4, EXACT, k_fru_rsp, &cardsim_board::cpld_answer_},
    CPLD_OP(k_op_get_led), CPLD_OP(k_op_set_led), CPLD_OP(k_op_card_status), CPLD_OP(k_op_fw_ver),
    CPLD_OP(k_op_rev), CPLD_OP(k_op_id), CPLD_OP(k_op_minor_rev), CPLD_OP(k_op_boot_status),
    CPLD_OP(k_op_rst_cause), CPLD_OP(k_op_rst_event), CPLD_OP(k_op_reg_read), CPLD_OP(k_op_reg_write),
    {k_op_fwsel, 4, EXACT, k_fwsel_rsp, &cardsim_board::cpld_answer_},
    SENSOR_OP(0x1000f), SENSOR_OP(0x10010), SENSOR_OP(0x10011), SENSOR_OP(0x10012), SENSOR_OP(0x10013),
    SENSOR_OP(0x10014), SENSOR_OP(0x10015), SENSOR_OP(0x10016), SENSOR_OP(0x10017),
};

const board_op_s cardsim_board::k_xcvr_ops[] = {
    XCVR_OP(k_op_present, k_xcvr_rsp),       XCVR_OP(k_op_in_reset, k_xcvr_rsp),
    XCVR_OP(k_op_set_port, k_xcvr_rsp),      XCVR_OP(k_op_reset_port, k_xcvr_rsp),
    XCVR_OP(k_op_lp_set, k_xcvr_rsp),        XCVR_OP(k_op_lp_clear, k_xcvr_rsp),
    XCVR_OP(k_op_xcvr_led, k_xcvr_rsp),      XCVR_OP(k_op_read, k_xcvr_read_rsp),
    XCVR_OP(k_op_write, k_xcvr_rsp),         XCVR_OP(k_op_dom_read, k_xcvr_read_rsp),
    XCVR_OP(k_op_temp, k_xcvr_rsp),          XCVR_OP(k_op_link, k_xcvr_rsp),
    XCVR_OP(k_op_power_on, k_xcvr_rsp),      XCVR_OP(k_op_power_off, k_xcvr_rsp),
    XCVR_OP(k_op_powered, k_xcvr_rsp),       XCVR_OP(k_op_power_failure, k_xcvr_rsp),
    XCVR_OP(k_op_power_ctrl, k_xcvr_rsp),    XCVR_OP(k_op_intr_pending, k_xcvr_rsp),
    XCVR_OP(k_op_intr_clear, k_xcvr_rsp),
};

const board_op_s* cardsim_board::find_op_(uint32_t endpoint, uint32_t opcode)
{
    if (endpoint == CARDSIM_EP_CPLD) {
        return cardsim_find_op(k_cpld_ops, opcode);
    }
    return endpoint == CARDSIM_EP_XCVR ? cardsim_find_op(k_xcvr_ops, opcode) : nullptr;
}

size_t cardsim_board::response_size(uint32_t endpoint, uint32_t opcode)
{
    const board_op_s* op = find_op_(endpoint, opcode);
    return op ? op->rsp_size : 0;
}

cardsim_board_reply_s cardsim_board::handle(uint32_t endpoint, uint32_t opcode, const uint8_t* req, size_t len)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (requests_.size() >= k_max_requests) {
        requests_.erase(requests_.begin());
    }
    requests_.push_back({endpoint, opcode, std::vector<uint8_t>(req, req + len)});

    cardsim_board_reply_s r;
    const board_op_s* op = find_op_(endpoint, opcode);
    r.fw_errno = cardsim_check_request(op, req, len);
    if (r.fw_errno == 0) {
        r.body.assign(op->rsp_size, 0);
        op->answer(*this, opcode, req, len, r.body);
    }
    return r;
}

void cardsim_board::cpld_answer_(cardsim_board& self, uint32_t opcode, const uint8_t* req, size_t len,
                                 std::vector<uint8_t>& b)
{
    cardsim_cpld_s& cpld_ = self.cpld_;
    cardsim_sensors_s& sensors_ = self.sensors_;
    std::vector<uint8_t>& fru_ = self.fru_;
    if (cpld_.status != 0) {
        le_put<uint32_t>(b.data(), b.size(), 0, cpld_.status);
        return;
    }
    const uint8_t a0 = le_at<uint8_t>(req, len, 4), a1 = le_at<uint8_t>(req, len, 5);
    const uint8_t a2 = le_at<uint8_t>(req, len, 6), a3 = le_at<uint8_t>(req, len, 7);
    const uint32_t sensors[] = {sensors_.pin,   sensors_.pout1,      sensors_.pout2,
                                sensors_.vin,   sensors_.vout1,      sensors_.vout2,
                                sensors_.board_temp, sensors_.die_temp, sensors_.hwtrip_temp};
    switch (opcode) {
    case k_op_fru_read: {
        uint32_t offset = le_at<uint32_t>(req, len, 0);
        if (offset >= fru_.size()) {
            le_put<uint32_t>(b.data(), b.size(), 0, CARDSIM_BOARD_EINVAL);
            break;
        }
        for (size_t i = 0; i < 512; i++) {
            b[4 + i] = offset + i < fru_.size() ? fru_[offset + i] : 0xff;
        }
        break;
    }
    case k_op_get_led:
        le_put<uint32_t>(b.data(), b.size(), 8, cpld_.led_a | static_cast<uint32_t>(cpld_.led_b) << 8);
        break;
    case k_op_set_led:
        cpld_.led_a = a0;
        cpld_.led_b = a1;
        break;
    case k_op_card_status:
        cpld_.card_status = a0;
        break;
    case k_op_fw_ver:
        cpld_.fw_version = {a0, a1, a2, a3};
        break;
    case k_op_rev:
        le_put<uint32_t>(b.data(), b.size(), 8, cpld_.rev);
        break;
    case k_op_id:
        le_put<uint32_t>(b.data(), b.size(), 8, cpld_.id);
        break;
    case k_op_minor_rev:
        le_put<uint32_t>(b.data(), b.size(), 8, cpld_.minor_rev);
        break;
    case k_op_boot_status:
        le_put<uint32_t>(b.data(), b.size(), 8, cpld_.boot_status);
        break;
    case k_op_rst_cause:
        le_put<uint32_t>(b.data(), b.size(), 8, cpld_.reset_cause);
        break;
    case k_op_rst_event:
        le_put<uint32_t>(b.data(), b.size(), 8, cpld_.reset_events);
        break;
    case k_op_reg_read:
        b[9] = cpld_.regs[a0];
        break;
    case k_op_reg_write:
        cpld_.regs[a0] = a1;
        break;
    case k_op_fwsel: {
        uint32_t sel = le_at<uint32_t>(req, len, 0);
        if (sel > 2) {
            le_put<uint32_t>(b.data(), b.size(), 0, CARDSIM_BOARD_EINVAL);
        } else {
            cpld_.fw_select = sel;
        }
        break;
    }
    default:
        le_put<uint32_t>(b.data(), b.size(), 8, sensors[opcode - k_op_sensor_first]);
        break;
    }
}

bool cardsim_board::fault_on_(cardsim_xcvr_fault_e kind, uint32_t port) const
{
    return fault_.kind == kind && (fault_.port == 0 || fault_.port == port);
}

void cardsim_board::xcvr_answer_(cardsim_board& self, uint32_t opcode, const uint8_t* req, size_t len,
                                 std::vector<uint8_t>& b)
{
    b.assign(k_xcvr_rsp, 0);
    auto& xcvrs_ = self.xcvrs_;
    auto& fault_ = self.fault_;
    auto fault_on_ = [&](cardsim_xcvr_fault_e kind, uint32_t port) { return self.fault_on_(kind, port); };
    const uint32_t port = le_at<uint32_t>(req, len, k_req_port);
    if (port == 0 || port > xcvrs_.size()) {
        le_put<uint32_t>(b.data(), b.size(), 0, CARDSIM_BOARD_EINVAL);
        return;
    }
    cardsim_xcvr_s& x = xcvrs_[port - 1];
    auto answer = [&](uint32_t v) { le_put<uint32_t>(b.data(), b.size(), 8, v); };
    switch (opcode) {
    case k_op_present:
        answer(x.present);
        break;
    case k_op_in_reset:
        answer(x.in_reset);
        break;
    case k_op_set_port:
        x.in_reset = false;
        break;
    case k_op_reset_port:
        x.in_reset = true;
        break;
    case k_op_lp_set:
        x.low_power = true;
        break;
    case k_op_lp_clear:
        x.low_power = false;
        break;
    case k_op_xcvr_led:
        x.led_colour = le_at<uint8_t>(req, len, k_req_data);
        x.led_frequency = le_at<uint8_t>(req, len, k_req_data + 1);
        break;
    case k_op_temp:
        x.temperature = le_at<uint32_t>(req, len, k_req_data);
        break;
    case k_op_link:
        x.link_status = le_at<uint8_t>(req, len, k_req_data);
        break;
    case k_op_power_on:
    case k_op_power_off:
        if (!x.power_ctrl) {
            le_put<uint32_t>(b.data(), b.size(), 0, CARDSIM_BOARD_EINVAL);
        } else {
            x.powered = opcode == k_op_power_on;
        }
        break;
    case k_op_powered:
        answer(x.powered);
        break;
    case k_op_power_failure:
        answer(x.power_failure);
        break;
    case k_op_power_ctrl:
        answer(x.power_ctrl);
        break;
    case k_op_intr_pending:
        answer(x.intr_pending);
        break;
    case k_op_intr_clear:
        x.intr_pending = false;
        break;
    case k_op_write: {
        const uint32_t offset = le_at<uint32_t>(req, len, k_req_offset);
        const uint32_t length = le_at<uint32_t>(req, len, k_req_length);
        if (!x.present) {
            le_put<uint32_t>(b.data(), b.size(), 0, CARDSIM_BOARD_ENODEV);
        } else if (fault_on_(cardsim_xcvr_fault_e::WRITE_FAILS, port)) {
            le_put<uint32_t>(b.data(), b.size(), 0, fault_.value);
        } else if (length > CARDSIM_XCVR_WRITE_MAX || len < k_req_data + length ||
                   static_cast<uint64_t>(offset) + length > module_span()) {
            le_put<uint32_t>(b.data(), b.size(), 0, CARDSIM_BOARD_EINVAL);
        } else {
            // byte by byte: a write of byte 127 turns the page of what follows
            for (uint32_t i = 0; i < length; i++) {
                uint8_t* p = module_byte(x, offset + i);
                if (p == nullptr) {
                    le_put<uint32_t>(b.data(), b.size(), 0, CARDSIM_BOARD_EINVAL);
                    break;
                }
                *p = req[k_req_data + i];
                if (offset + i == 127) {
                    x.page_selects++;
                }
            }
        }
        break;
    }
    case k_op_read:
    case k_op_dom_read: {
        const bool dom = opcode == k_op_dom_read;
        const uint32_t received = le_at<uint32_t>(req, len, k_req_received);
        const uint32_t offset = le_at<uint32_t>(req, len, k_req_offset);
        const uint32_t length = le_at<uint32_t>(req, len, k_req_length);
        const size_t span = dom ? x.dom.size() : module_span();
        if (!x.present) {
            le_put<uint32_t>(b.data(), b.size(), 0, CARDSIM_BOARD_ENODEV);
            break;
        }
        if (fault_on_(cardsim_xcvr_fault_e::READ_FAILS, port)) {
            le_put<uint32_t>(b.data(), b.size(), 0, fault_.value);
            break;
        }
        if (fault_on_(cardsim_xcvr_fault_e::READ_STALLS, port)) {
            b.resize(8);
            le_put<uint32_t>(b.data(), b.size(), 0, CARDSIM_BOARD_MORE);
            break;
        }
        if (received > length || static_cast<uint64_t>(offset) + length > span) {
            le_put<uint32_t>(b.data(), b.size(), 0, CARDSIM_BOARD_EINVAL);
            break;
        }
        size_t chunk = std::min<size_t>(CARDSIM_XCVR_CHUNK, length - received);
        const bool more = received + chunk < length;
        if (fault_on_(cardsim_xcvr_fault_e::LONG_CHUNK, port)) {
            chunk = CARDSIM_XCVR_CHUNK;
        }
        b.assign(8 + chunk, 0);
        le_put<uint32_t>(b.data(), b.size(), 0, more ? CARDSIM_BOARD_MORE : CARDSIM_BOARD_OK);
        for (size_t i = 0; i < chunk; i++) {
            const size_t a = static_cast<size_t>(offset) + received + i;
            if (dom) {
                b[8 + i] = a < x.dom.size() ? x.dom[a] : 0xff;
            } else {
                const uint8_t* p = a < span ? module_byte(x, a) : nullptr;
                b[8 + i] = p ? *p : 0xff;
            }
        }
        break;
    }
    }
}

cardsim_cpld_s cardsim_board::cpld() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return cpld_;
}

void cardsim_board::set_cpld(const cardsim_cpld_s& cpld)
{
    std::lock_guard<std::mutex> lock(mutex_);
    cpld_ = cpld;
}

cardsim_sensors_s cardsim_board::sensors() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sensors_;
}

void cardsim_board::set_sensors(const cardsim_sensors_s& sensors)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sensors_ = sensors;
}

std::vector<uint8_t> cardsim_board::fru() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return fru_;
}

void cardsim_board::set_fru(const std::vector<uint8_t>& fru)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fru_ = fru;
    fru_.resize(CARDSIM_FRU_SIZE, 0xff);
}

size_t cardsim_board::ports() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return xcvrs_.size();
}

cardsim_xcvr_s cardsim_board::xcvr(uint32_t port) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return port >= 1 && port <= xcvrs_.size() ? xcvrs_[port - 1] : cardsim_xcvr_s{};
}

void cardsim_board::set_xcvr(uint32_t port, const cardsim_xcvr_s& xcvr)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (port >= 1 && port <= xcvrs_.size()) {
        cardsim_xcvr_s& x = xcvrs_[port - 1];
        x = xcvr;
        // memories keep their sizes whatever the copy held
        x.lower.resize(CARDSIM_XCVR_LOWER, 0);
        x.upper.resize(CARDSIM_XCVR_PAGE * CARDSIM_XCVR_PAGES, 0);
        x.dom.resize(CARDSIM_XCVR_DOM_SIZE, 0);
    }
}

void cardsim_board::set_present(uint32_t port, bool present)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (port >= 1 && port <= xcvrs_.size()) {
        xcvrs_[port - 1].present = present;
    }
}

bool cardsim_board::set_xcvr_reading(uint32_t port, cardsim_xcvr_reading_e what, double value, uint32_t lane)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return port >= 1 && port <= xcvrs_.size() && cardsim_xcvr_set_reading(xcvrs_[port - 1], what, value, lane);
}

uint8_t cardsim_board::selected_page(uint32_t port) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return port >= 1 && port <= xcvrs_.size() ? xcvrs_[port - 1].lower[127] : 0;
}

void cardsim_board::set_xcvr_fault(const cardsim_xcvr_fault_s& fault)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = fault;
}

std::vector<cardsim_board_request_s> cardsim_board::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<cardsim_board_request_s> cardsim_board::requests(uint32_t endpoint, uint32_t opcode) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<cardsim_board_request_s> out;
    std::copy_if(requests_.begin(), requests_.end(), std::back_inserter(out),
                 [&](const cardsim_board_request_s& r) { return r.endpoint == endpoint && r.opcode == opcode; });
    return out;
}

void cardsim_board::clear_requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}
