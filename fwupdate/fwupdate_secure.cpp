// switching secure boot, and erasing a partition by name

#include "fwupdate/fwupdate_secure.h"

#include <cerrno>
#include <cstring>

#include "fwupdate/fwupdate.h"
#include "fwupdate/rfc.h"
#include "fwupdate/rfc_wire.h"

namespace {

constexpr uint32_t k_option_enable = 1, k_option_disable = 2;
constexpr uint32_t k_not_enrolled = 100, k_lcs_prod = 101, k_gold_secure = 6;

}  // namespace

int fwupdate_secure_boot_update(fwupdate_secure_boot_upd_req_s* req, fwupdate_secure_boot_upd_rsp_s* rsp)
{
    nic_ipc_handle_s ipc;
    if (nic_ipc_open(&ipc, fwupdate_tls().vmb_bdf.c_str()) != 0) {
        fwupdate_log(trace_level_err, "Failed to open IPC connection");
        return FWUPDATE_NO_IPC;
    }
    uint8_t buf[RFC_SECURE_BOOT_SIZE] = {};
    uint32_t option = req->enable ? k_option_enable : k_option_disable;
    memcpy(buf, &option, sizeof(option));
    uint32_t fw_errno = 0;
    ssize_t n = nic_ipc_req_rsp(&ipc, RFC_ENDPOINT, RFC_CMD_SECURE_BOOT_UPDATE, buf, RFC_SECURE_BOOT_SIZE,
                                RFC_SECURE_BOOT_SIZE, &fw_errno);
    int err = errno;
    nic_ipc_close(&ipc);
    if (n < 0) {
        fwupdate_log(trace_level_err, "Failed to send SECURE_BOOT_UPDATE, err %s", strerror(err));
        return FWUPDATE_ERR;
    }
    if (fw_errno != 0) {
        fwupdate_log(trace_level_err, "Failed to update secure-boot, err : %u", fw_errno);
        return FWUPDATE_ERR;
    }
    if (static_cast<size_t>(n) < RFC_SECURE_BOOT_SIZE) {
        fwupdate_log(trace_level_err, "SECURE_BOOT_UPDATE IPC response size %ld doesn't match expected size %ld",
                     static_cast<long>(n), static_cast<long>(RFC_SECURE_BOOT_SIZE));
        return FWUPDATE_ERR;
    }
    uint32_t status;
    memcpy(&status, buf, sizeof(status));
    if (rsp) {
        rsp->status = status;
    }
    if (status == 0) {
        return FWUPDATE_OK;
    }
    if (status == k_not_enrolled) {
        fwupdate_log(trace_level_err, "Failed to perform secure-boot operation, card is not secure enrolled");
    } else if (!req->enable && status == k_lcs_prod) {
        fwupdate_log(trace_level_err, "LCS state is prod, cannot disable secure boot");
    } else if (!req->enable && status == k_gold_secure) {
        fwupdate_log(trace_level_err, "For secure-boot disable operation, goldfw should be loaded with non-secure image");
    } else {
        fwupdate_log(trace_level_err, "Failed to update secure-boot, status : %u", status);
    }
    return FWUPDATE_ERR;
}

int fwupdate_flash_partition_erase(fwupdate_flash_partition_erase_req_s* req, fwupdate_flash_partition_erase_rsp_s*)
{
    const bool never = false;
    return rfc_flash_erase(flash_partition_from_name(req->partition), 0, fwupdate_tls().vmb_bdf, never);
}

// not provided for this ASIC: refused without touching the card
int fwupdate_secure_boot_info_get(fwupdate_secure_boot_info_s*)
{
    return FWUPDATE_NOT_SUPPORTED;
}

int fwupdate_secure_image_bootloader1_arcounter_commit()
{
    return FWUPDATE_NOT_SUPPORTED;
}

int fwupdate_secure_image_hallgard_arcounter_commit()
{
    return FWUPDATE_NOT_SUPPORTED;
}

int card_lifecycle_state_set_production()
{
    return FWUPDATE_NOT_SUPPORTED;
}
