#pragma once

#include <string>

// secure boot and partition erase, as the card management library asks for them

struct fwupdate_secure_boot_upd_req_s {
    bool enable = false;
};
struct fwupdate_secure_boot_upd_rsp_s {
    uint32_t status = 0;  // the card's answer status
};
struct fwupdate_flash_partition_erase_req_s {
    std::string partition;
};
struct fwupdate_flash_partition_erase_rsp_s {};
struct fwupdate_secure_boot_info_s {
    std::string info;
};

constexpr int FWUPDATE_NO_IPC = 62;
// what the operations this card's ASIC has no use for answer
constexpr int FWUPDATE_NOT_SUPPORTED = 44;

int fwupdate_secure_boot_update(fwupdate_secure_boot_upd_req_s* req, fwupdate_secure_boot_upd_rsp_s* rsp);
int fwupdate_flash_partition_erase(fwupdate_flash_partition_erase_req_s* req,
                                   fwupdate_flash_partition_erase_rsp_s* rsp);
int fwupdate_secure_boot_info_get(fwupdate_secure_boot_info_s* info);
int fwupdate_secure_image_bootloader1_arcounter_commit();
int fwupdate_secure_image_hallgard_arcounter_commit();
int card_lifecycle_state_set_production();
