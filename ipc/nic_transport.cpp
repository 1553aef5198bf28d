// the channel to a card's firmware: vosk ipc character device or fwctl

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ipc/ipc_drv.h"
#include "ipc/nic_ipc.h"

// per thread: the preferred transport and whether the other one may stand in
static thread_local int g_ipc_transport = NIC_IPC_TRANSPORT_VOSK;
static thread_local bool g_use_alternate_transport = true;

static constexpr size_t k_card_lookup_capacity = 16;

int nic_ipc_init(int transport, bool use_alternate)
{
    if (transport != NIC_IPC_TRANSPORT_VOSK && transport != NIC_IPC_TRANSPORT_FWCTL) {
        return -3;
    }
    g_ipc_transport = transport;
    g_use_alternate_transport = use_alternate;
    return 0;
}

int nic_vosk_ipc_open(nic_ipc_handle_s* handle, const char* path)
{
    return ipc_cmd_dev_open2(&handle->dev, path);
}

int nic_fwctl_ipc_open(nic_ipc_handle_s* handle, const char* path)
{
    return ipc_cmd_dev_open2(&handle->dev, path);
}

void nic_vosk_ipc_close(nic_ipc_handle_s* handle)
{
    if (handle->dev.fd > 0) {
        ipc_cmd_dev_close(&handle->dev);
    }
}

void nic_fwctl_ipc_close(nic_ipc_handle_s* handle)
{
    nic_vosk_ipc_close(handle);
}

struct transport_ops_s {
    uint32_t transport;
    int (*path_of)(const std::string& card_bdf, std::string& path);
    int (*open)(nic_ipc_handle_s* handle, const char* path);
};

static const transport_ops_s k_vosk_ops = {NIC_IPC_TRANSPORT_VOSK, nic_vosk_device_path_from_vmb_bdf,
                                           nic_vosk_ipc_open};
static const transport_ops_s k_fwctl_ops = {NIC_IPC_TRANSPORT_FWCTL, nic_fwctl_device_path_from_vmb_bdf,
                                            nic_fwctl_ipc_open};

// opens the card's device of this transport; 1 when it has none
static int try_open(const transport_ops_s& ops, nic_ipc_handle_s* handle, const std::string& card_bdf)
{
    std::string path;
    if (ops.path_of(card_bdf, path) != 0) {
        return 1;
    }
    handle->transport = ops.transport;
    return ops.open(handle, path.c_str()) == 0 ? 0 : -1;
}

int nic_ipc_open(nic_ipc_handle_s* handle, const char* card_bdf)
{
    std::string bdf = card_bdf ? card_bdf : "";
    if (g_ipc_transport == NIC_IPC_TRANSPORT_FWCTL) {
        if (bdf.empty()) {
            std::vector<std::string> cards;
            (void)nic_ipc_card_pcie_devices(NIC_PCI_VENDOR_ID, nic_ipc_asic_pcie_device_id(), cards,
                                            k_card_lookup_capacity);
            if (cards.empty()) {
                return -2;
            }
            bdf = cards[0];
        }
        int rc = try_open(k_fwctl_ops, handle, bdf);
        if (rc <= 0) {
            return rc;
        }
        return g_use_alternate_transport && try_open(k_vosk_ops, handle, bdf) == 0 ? 0 : -1;
    }
    if (bdf.empty()) {
        handle->transport = NIC_IPC_TRANSPORT_VOSK;
        return nic_vosk_ipc_open(handle, IPC_DRV_DEFAULT_DEVICE) == 0 ? 0 : -1;
    }
    if (g_ipc_transport != NIC_IPC_TRANSPORT_VOSK) {
        return -3;
    }
    int rc = try_open(k_vosk_ops, handle, bdf);
    if (rc <= 0) {
        return rc;
    }
    return g_use_alternate_transport && try_open(k_fwctl_ops, handle, bdf) == 0 ? 0 : -1;
}

void nic_ipc_close(nic_ipc_handle_s* handle)
{
    nic_vosk_ipc_close(handle);
    handle->dev.fd = -1;
}

ssize_t nic_vosk_ipc_req_rsp(nic_ipc_handle_s* handle, uint32_t endpoint, uint32_t opcode, void* buf,
                             size_t req_len, size_t rsp_cap, uint32_t* rsp_errno)
{
    struct iovec req = {buf, req_len};
    struct iovec rsp = {buf, rsp_cap};
    return ipc_cmd_send_req_v(&handle->dev, endpoint, opcode, &req, req_len ? 1 : 0, &rsp,
                              rsp_cap ? 1 : 0, rsp_errno);
}

ssize_t nic_ipc_req_rsp(nic_ipc_handle_s* handle, uint32_t endpoint, uint32_t opcode, void* buf,
                        size_t req_len, size_t rsp_cap, uint32_t* rsp_errno)
{
    switch (handle->transport) {
    case NIC_IPC_TRANSPORT_FWCTL:
        return nic_fwctl_ipc_req_rsp(handle, endpoint, opcode, buf, req_len, rsp_cap, rsp_errno);
    case NIC_IPC_TRANSPORT_VOSK:
        return nic_vosk_ipc_req_rsp(handle, endpoint, opcode, buf, req_len, rsp_cap, rsp_errno);
    default:
        return -1;
    }
}
