#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fwupdate/fwupdate_tables.h"
#include "ipc/nic_ipc.h"
#include "log/trace_level.h"

// the engine's state: per thread the card it drives, process-wide the
// directories and trace callbacks

typedef void (*fwupdate_trace_cb_t)(void* ctxt, trace_level_e level, const char* format, ...);

// the card's identity and boot state as the card reports it
struct rfc_card_info_s {
    std::string board_id;       // "0x%08x"
    std::string asic_name;      // "talmira", "sevrin" or "unknown"
    std::string board_keyname;
    std::string life_cycle_state;
    std::string extra;
    uint8_t sigchk = 0;
    uint8_t hw_fuse = 0;
    uint8_t secure_boot = 0;
    uint8_t secure_enable = 0;
    uint64_t life_cycle_fuses = 0;
    std::string soc_running;    // "A", "B" or "G"
    std::string soc_active;     // the startup image: "A", "B" or "G"
    std::string suc_running;
    std::string suc_startup;    // "A" or "B"
    uint32_t fwupdate_ipc_version = 0;
};

// the versions of the images on flash, by group, each (name, version) in
// the card's order
using rfc_version_group_t = std::vector<std::pair<std::string, std::string>>;
struct rfc_image_version_info_u {
    rfc_version_group_t suc, fpga, sri, soc;
};

struct fwupdate_secure_image_info_s {
    std::vector<std::pair<std::string, std::string>> entries;
};

struct fwupdate_init_params_s {
    std::string card_bdf;
    std::string vxc_core_bdf;
    std::string oper_dir;
    std::string conf_dir;
    trace_level_e trace_level = trace_level_err;
    fwupdate_trace_cb_t trace_cb = nullptr;
    void* trace_cb_ctxt = nullptr;
};

struct rfc_init_params_s {
    char card_bdf[33] = {};
    char oper_dir[4096] = {};
    trace_level_e trace_level = trace_level_err;
    fwupdate_trace_cb_t trace_cb = nullptr;
    void* trace_cb_ctxt = nullptr;
};

// one image a package puts on one partition: the unpacked file, its declared
// digest, the version text the card records with it
struct fwupdate_image_s {
    std::string partition;
    std::string path;
    std::string algorithm, digest;
    std::string version;
    uint64_t size = 0;
};

struct fwupdate_thread_state_s {
    std::string vmb_bdf;
    std::string vxc_core_bdf;
    std::string fwupgrade_bdf_dir;  // oper dir + "/fwupgrade/" + card + "/"
    rfc_card_info_s card_info;
    rfc_image_version_info_u image_version_info;
    fwupdate_secure_image_info_s secure_image_info;
    bool upgrade_all = false;
    bool reset = false;
    void* fwupdate_trace_cb_ctxt = nullptr;
    uint8_t fwupdate_test_env = 0;
    uint8_t rfc_test_env = 0;
    void* rfc_trace_cb_ctxt = nullptr;
    std::string dev_oper_dir;       // oper dir + "/" + card + "/"
    nic_ipc_handle_s ipc;
    bool dev_init = false;
    // the running update's deadline flag (fwupdate_deadline), null outside one
    const bool* abort = nullptr;
    // what the last successful firmware_update wrote, in order
    std::vector<fwupdate_image_s> installed;
};

// the calling thread's state, made on first use
fwupdate_thread_state_s& fwupdate_tls();

// process-wide: the last values fwupdate_init was given
struct fwupdate_process_state_s {
    std::string oper_dir;
    std::string conf_dir;
    std::string asic_name;
    fwupdate_trace_cb_t fwupdate_trace_cb = nullptr;
    trace_level_e fwupdate_trace_level = trace_level_none;
    fwupdate_trace_cb_t rfc_trace_cb = nullptr;
    trace_level_e rfc_trace_level = trace_level_none;
    bool uboottpl_skip_version_check = false;
};
fwupdate_process_state_s& fwupdate_globals();

// "%Y-%m-%d %H:%M:%S" "." microseconds, local time
std::string fwupdate_timestamp();

// one message of the engine or of the remote flash client: "[time] " and the
// formatted text, handed to the installed callback when its level allows
void fwupdate_log(trace_level_e level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void rfc_log(trace_level_e level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// the card directory, work directory and config directory of this thread's card
std::string fwupdate_card_config_dir();
