// asks a card's firmware for its ports and LIFs and fills the card's lists

#include "monitor/interface_discovery.h"

#include <cerrno>
#include <cstring>
#include <set>

#include "ipc/nic_ipc.h"
#include "monitor/orlixmon_trace.h"

namespace {

constexpr uint32_t k_ep_card = 0x13, k_ep_port = 0x11, k_ep_lif = 0x12;
constexpr uint32_t k_op_device_info = 0x10001;
constexpr uint32_t k_op_port_ifindex = 0x1000b;
constexpr uint32_t k_op_port_info = 0x10000;
constexpr uint32_t k_op_port_stats_region = 0x1001b;
constexpr uint32_t k_op_lif_get_all = 0x10001;
constexpr uint32_t k_fw_ok = 0, k_fw_ok_alt = 11;

// one channel per fetch, closed on every way out
class card_channel {
public:
    explicit card_channel(const std::string& bdf) : ok_(nic_ipc_open(&handle_, bdf.c_str()) == 0) {}
    ~card_channel() { nic_ipc_close(&handle_); }
    bool ok() const { return ok_; }
    ssize_t exchange(uint32_t ep, uint32_t op, uint8_t* buf, size_t req_len, size_t rsp_cap, uint32_t& fw_errno)
    {
        fw_errno = 0;
        return nic_ipc_req_rsp(&handle_, ep, op, buf, req_len, rsp_cap, &fw_errno);
    }

private:
    nic_ipc_handle_s handle_;
    bool ok_;
};

// the texts of one request's four ways to fail
struct exchange_texts_s {
    const char* name;
    const char* what;  // "port information", ...
};

// sends one request and checks errno, length and status (0 or 11);
// logs the failure in the request's own words
bool checked_exchange(card_channel& ch, const std::string& bdf, const exchange_texts_s& t, uint32_t ep, uint32_t op,
                      uint8_t* buf, size_t req_len, size_t rsp_len)
{
    uint32_t fw_errno = 0;
    ssize_t n = ch.exchange(ep, op, buf, req_len, rsp_len, fw_errno);
    if (n < 0) {
        ORLIXMON_TRACE_ERR("Failed to send {} for card{}, err : {}", t.name, bdf, strerror(errno));
        return false;
    }
    if (fw_errno != 0) {
        ORLIXMON_TRACE_ERR("Failed to get {} for card {}, err : {}", t.what, bdf, fw_errno);
        return false;
    }
    if (static_cast<size_t>(n) < rsp_len) {
        ORLIXMON_TRACE_ERR("Error - {} IPC response size {} doesn't match expected size {} for card{}", t.name, n,
                           rsp_len, bdf);
        return false;
    }
    uint32_t status;
    memcpy(&status, buf, sizeof(status));
    if (status != k_fw_ok && status != k_fw_ok_alt) {
        ORLIXMON_TRACE_ERR("Failed to get {} for card {}, status : {}", t.what, bdf, status);
        return false;
    }
    return true;
}

const exchange_texts_s k_port_info_texts = {"PORT_INFO_GET", "port information"};
const exchange_texts_s k_port_region_texts = {"P4_PORT_STATS_MEM_RE_INFO_GET", "p4 port stats mem region"};
const exchange_texts_s k_lif_texts = {"LIF_GET_ALL", "lif information"};

}  // namespace

int orlixmon_card_port_get(orlixmon_card_ctxt_s& ctxt, std::vector<orlixmon_port_entry_s>& ports)
{
    const std::string& bdf = ctxt.card.bdf;
    card_channel ch(bdf);
    if (!ch.ok()) {
        ORLIXMON_TRACE_ERR("ORLIX {} - Failed to open IPC connection", bdf);
        return 62;
    }
    uint8_t buf[IPC_CMD_MAX_BODY] = {};
    uint32_t fw_errno = 0;
    ssize_t n = ch.exchange(k_ep_card, k_op_device_info, buf, 0, ORLIX_DEVICE_INFO_RSP_SIZE, fw_errno);
    std::array<uint8_t, 6> mac{};
    if (n < 0 || fw_errno != 0 || !orlixmon_decode_device_info_mac(buf, static_cast<size_t>(n), mac)) {
        ORLIXMON_TRACE_ERR("ORLIX {} - DEVICE_INFO failed, received {} bytes, err : {}", bdf, n, fw_errno);
        return 255;
    }

    memset(buf, 0, sizeof(buf));
    n = ch.exchange(k_ep_port, k_op_port_ifindex, buf, 1, ORLIX_PORT_IFINDEX_RSP_SIZE, fw_errno);
    uint32_t status = 0, count = 0;
    uint32_t ifindexes[ORLIX_PORT_IFINDEX_MAX] = {};
    if (n < 0 || fw_errno != 0 ||
        !orlixmon_decode_port_ifindex(buf, static_cast<size_t>(n), status, ifindexes, count) || status != 0) {
        ORLIXMON_TRACE_ERR("ORLIX {} - PORT_IFINDEX_GET failed, received {} bytes, err : {}, status : {}", bdf, n,
                           fw_errno, status);
        return 255;
    }

    for (uint32_t i = 0; i < count; i++) {
        orlixmon_port_entry_s port;
        memset(buf, 0, sizeof(buf));
        memcpy(buf, &ifindexes[i], sizeof(uint32_t));
        if (!checked_exchange(ch, bdf, k_port_info_texts, k_ep_port, k_op_port_info, buf, 8, ORLIX_PORT_INFO_RSP_SIZE) ||
            !orlixmon_decode_port_info(buf, ORLIX_PORT_INFO_RSP_SIZE, status, port.hw_id)) {
            return 255;
        }
        port.id = orlixmon_port_id(mac, ifindexes[i]);
        port.ifindex = ifindexes[i];
        port.name = orlixmon_port_name(ifindexes[i]);
        memset(buf, 0, sizeof(buf));
        if (!checked_exchange(ch, bdf, k_port_region_texts, k_ep_port, k_op_port_stats_region, buf, 1,
                              ORLIX_PORT_STATS_REGION_RSP_SIZE) ||
            !orlixmon_decode_port_stats_region(buf, ORLIX_PORT_STATS_REGION_RSP_SIZE, status, port.stats_addr,
                                               port.stats_size)) {
            return 255;
        }
        ports.push_back(std::move(port));
    }
    return 0;
}

int orlixmon_card_lif_get(orlixmon_card_ctxt_s& ctxt, std::vector<orlixmon_lif_entry_s>& lifs)
{
    const std::string& bdf = ctxt.card.bdf;
    card_channel ch(bdf);
    if (!ch.ok()) {
        ORLIXMON_TRACE_ERR("ORLIX {} - Failed to open IPC connection", bdf);
        return 62;
    }
    uint16_t cursor = ORLIX_LIF_CURSOR_END;
    // a cursor seen before would walk the same records forever
    std::set<uint16_t> seen;
    do {
        uint8_t buf[IPC_CMD_MAX_BODY] = {};
        memcpy(buf, &cursor, sizeof(cursor));
        orlixmon_lif_entry_s lif;
        uint32_t status = 0;
        uint16_t next = ORLIX_LIF_CURSOR_END;
        if (!checked_exchange(ch, bdf, k_lif_texts, k_ep_lif, k_op_lif_get_all, buf, 2, ORLIX_LIF_GET_ALL_RSP_SIZE) ||
            !orlixmon_decode_lif_record(buf, ORLIX_LIF_GET_ALL_RSP_SIZE, status, lif, next)) {
            return 255;
        }
        lifs.push_back(std::move(lif));
        if (next != ORLIX_LIF_CURSOR_END && !seen.insert(next).second) {
            ORLIXMON_TRACE_ERR("ORLIX {} - LIF_GET_ALL cursor {} comes back, walk stopped", bdf, next);
            return 255;
        }
        cursor = next;
    } while (cursor != ORLIX_LIF_CURSOR_END);
    return 0;
}
