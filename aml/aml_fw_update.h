#pragma once

// installing a firmware package on one card and comparing its flash with a
// package, with progress and a read-back, in the library's own records

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "aml/aml_card_handle.h"
#include "aml/aml_fw_info.h"
#include "aml/aml_status.h"

struct aml_card_fw_update_req_s {
    aml_card_handle_s card;
    std::string package;
    bool gold = false;  // the package's gold image, the boot selection left alone
    // at the deadline the install stops and the next boot image stays as it was; 0: none
    uint32_t timeout_s = AML_FW_TIMEOUT_DEFAULT_S;
    // called on the calling thread: once with (0, "") when the install
    // starts, then as the engine moves on (percent, step)
    std::function<void(unsigned percent, const std::string& step)> on_progress;
};
struct aml_card_fw_update_rsp_s {
    std::string error;
    bool nothing_to_do = false;  // the card holds the package already: nothing written
    std::string written_image;   // after a write: "fw-a", "fw-b" or "fw-gold"
    // after a write that the card does not read back as written: what differs
    // (the status is then 255 and error says "installed, but " and this)
    std::string readback;
    unsigned progress = 0;  // where the install ended
};
// validates the card, installs the package on the main image the card does
// not run (or the gold image), then reads the card's next boot image and
// versions back: success only when they are what was written
aml_status_e aml_card_fw_update(aml_card_fw_update_req_s* req, aml_card_fw_update_rsp_s* rsp);

// one partition a package writes, against what the card's flash holds
struct aml_fw_partition_check_s {
    std::string partition, file, version;
    uint64_t size = 0;
    bool match = false;
    std::string package_sha512, card_sha512;  // upper-case hexadecimal
};
struct aml_card_fw_verify_req_s {
    aml_card_handle_s card;
    std::string package;
    bool gold = false;
    uint32_t timeout_s = AML_FW_TIMEOUT_DEFAULT_S;
};
struct aml_card_fw_verify_rsp_s {
    std::string error;
    std::vector<aml_fw_partition_check_s> partitions;
};
// the card digests each partition the package would write over the image's
// length; nothing is written. OK when every one was compared (partitions say
// which match), 9 at the deadline
aml_status_e aml_card_fw_verify(aml_card_fw_verify_req_s* req, aml_card_fw_verify_rsp_s* rsp);
