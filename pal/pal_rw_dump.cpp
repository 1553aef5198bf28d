// recording register and memory accesses into capture files, and playing
// a capture back

#include "pal/pal_rw_dump.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <fmt/format.h>

#include "ipc/le_bytes.h"
#include "pal/pal_trace.h"

using sdk::lib::pal_ret_t;
using sdk::lib::PAL_RET_NOK;
using sdk::lib::PAL_RET_OK;

namespace {

struct rw_run_s {
    bool open = false;
    pal_rw_kind_e kind = PAL_RW_REG_READ;
    uint64_t first = 0;
    uint32_t count = 0;
    uint32_t words[PAL_RW_RUN_MAX];  // register words or memory bytes
};

struct rw_state_s {
    bool dump_init = false, replay_init = false, dump_active = false, dump_paused = false,
         replay_active = false;
    uint32_t mode = 0;  // 1 reads and writes, 2 reads, 3 writes
    std::string dump_dir, replay_dir, replay_fmt, section;
    FILE* txt = nullptr;
    FILE* bin = nullptr;
    rw_run_s run;
    pal_rw_counts_s counts = {};
};

thread_local rw_state_s rw;

const char* const k_kind_names[] = {"REG-READ", "REG-WRITE", "MEM-READ", "MEM-WRITE", "MEM-SET"};

bool is_write(pal_rw_kind_e kind)
{
    return kind == PAL_RW_REG_WRITE || kind == PAL_RW_MEM_WRITE || kind == PAL_RW_MEM_SET;
}

bool is_reg(pal_rw_kind_e kind)
{
    return kind == PAL_RW_REG_READ || kind == PAL_RW_REG_WRITE;
}

std::string process_name()
{
    std::ifstream comm(fmt::format("/proc/{}/comm", getpid()));
    std::string name;
    std::getline(comm, name);
    return name;
}

void count(pal_rw_kind_e kind, uint32_t n)
{
    uint32_t pal_rw_counts_s::*field[] = {&pal_rw_counts_s::reg_reads, &pal_rw_counts_s::reg_writes,
                                          &pal_rw_counts_s::mem_reads, &pal_rw_counts_s::mem_writes,
                                          &pal_rw_counts_s::mem_sets};
    rw.counts.*field[kind] += n;
}

void flush_run()
{
    rw_run_s& r = rw.run;
    if (!r.open || r.count == 0) {
        r.open = false;
        return;
    }
    bool merged = true;
    for (uint32_t i = 1; i < r.count; i++) {
        merged = merged && r.words[i] == r.words[0];
    }
    uint32_t listed = merged ? 1 : r.count;
    std::string data;
    for (uint32_t i = 0; i < listed; i++) {
        data += fmt::format("0x{:x} ", r.words[i]);
    }
    if (rw.txt) {
        fprintf(rw.txt, "%s addr 0x%" PRIx64 " optype %u merged %u nwords %u data %s\n", k_kind_names[r.kind],
                r.first, r.kind, merged ? 1u : 0u, r.count, data.c_str());
        fflush(rw.txt);
    }
    if (rw.bin && is_write(r.kind)) {
        // count, kind (0x80: merged), address, then the listed values
        uint8_t rec[2 + 8 + 4 * PAL_RW_RUN_MAX];
        const size_t addr_len = is_reg(r.kind) ? 4 : 8, word_len = is_reg(r.kind) ? 4 : 1;
        rec[0] = static_cast<uint8_t>(r.count);
        rec[1] = static_cast<uint8_t>(r.kind | (merged ? 0x80 : 0));
        size_t len = 2;
        bool fits = le_put(rec, sizeof(rec), len, addr_len, r.first);
        len += addr_len;
        for (uint32_t i = 0; fits && i < listed; i++, len += word_len) {
            fits = le_put(rec, sizeof(rec), len, word_len, r.words[i]);
        }
        if (fits) {
            fwrite(rec, 1, len, rw.bin);
        }
        fflush(rw.bin);
    }
    count(r.kind, r.count);
    r.open = false;
}

void record(pal_rw_kind_e kind, uint64_t addr, uint32_t value)
{
    rw_run_s& r = rw.run;
    uint64_t step = is_reg(kind) ? 4 : 1;
    if (r.open && (r.kind != kind || addr != r.first + step * r.count || r.count == PAL_RW_RUN_MAX)) {
        flush_run();
    }
    if (!r.open) {
        r.open = true;
        r.kind = kind;
        r.first = addr;
        r.count = 0;
    }
    r.words[r.count++] = value;
}

void close_files()
{
    flush_run();
    if (rw.txt) {
        fclose(rw.txt);
    }
    if (rw.bin) {
        fclose(rw.bin);
    }
    rw.txt = rw.bin = nullptr;
}

pal_ret_t dump_start(uint32_t mode, const char* section)
{
    const char* build = getenv("BLD_VERSION");
    if (build == nullptr) {
        fprintf(stderr, "BLD_VERSION is not set, skipping register rw dump\n");
        return PAL_RET_NOK;
    }
    if (rw.dump_active) {
        printf("Register read-write capture is enabled already, ignoring ...\n");
        return PAL_RET_OK;
    }
    rw.section = section ? section : "";
    std::string txt = pal_rw_capture_path(rw.dump_dir, rw.section, "txt");
    std::string bin = pal_rw_capture_path(rw.dump_dir, rw.section, "bin");
    rw.txt = fopen(txt.c_str(), "a");
    if (rw.txt == nullptr) {
        fprintf(stderr, "Failed to open %s\n", txt.c_str());
        return PAL_RET_NOK;
    }
    rw.bin = fopen(bin.c_str(), "wb");
    if (rw.bin == nullptr) {
        fprintf(stderr, "Failed to open %s\n", bin.c_str());
        close_files();
        return PAL_RET_NOK;
    }
    rw.counts = {};
    rw.mode = mode;
    rw.dump_active = true;
    rw.dump_paused = false;
    PAL_TRACE_INFO("Enabling PAL RW dump for section %s, file %s", rw.section.c_str(), txt.c_str());
    return PAL_RET_OK;
}

// one text line of a capture, played back: writes done, reads checked
void replay_line(const std::string& line)
{
    std::istringstream in(line);
    std::string name, word;
    in >> name;
    int kind = -1;
    for (int k = 0; k < 5; k++) {
        if (name == k_kind_names[k]) {
            kind = k;
        }
    }
    if (kind < 0) {
        return;  // labels and anything unknown
    }
    uint64_t addr = 0;
    uint32_t optype = 0, merged = 0, n = 0;
    std::vector<uint32_t> data;
    while (in >> word) {
        std::string value;
        if (word == "addr" || word == "optype" || word == "merged" || word == "nwords" || word == "nbytes") {
            in >> value;
        }
        try {
            if (word == "addr") {
                addr = std::stoull(value, nullptr, 16);
            } else if (word == "nwords" || word == "nbytes") {
                n = std::stoul(value);
            } else if (word == "merged") {
                merged = std::stoul(value);
            } else if (word == "optype") {
                optype = std::stoul(value);
            } else if (word == "data") {
                while (in >> value) {
                    data.push_back(static_cast<uint32_t>(std::stoul(value, nullptr, 16)));
                }
            } else if (kind == PAL_RW_MEM_SET && word.rfind("0x", 0) == 0) {
                addr = std::stoull(word, nullptr, 16);
            }
        } catch (const std::exception&) {
            return;  // a malformed line is skipped
        }
    }
    (void)optype;
    if (data.empty() || n == 0) {
        return;
    }
    // a fill is one line of any size, counted once as the dump counts it
    if (kind == PAL_RW_MEM_SET) {
        sdk::lib::pal_mem_set(addr, static_cast<uint8_t>(data[0]), n);
        count(PAL_RW_MEM_SET, 1);
        return;
    }
    if (n > PAL_RW_RUN_MAX) {
        return;
    }
    std::vector<uint32_t> words(n);
    for (uint32_t i = 0; i < n; i++) {
        words[i] = merged ? data[0] : (i < data.size() ? data[i] : data.back());
    }
    std::vector<uint8_t> bytes(words.begin(), words.end());
    switch (kind) {
    case PAL_RW_REG_WRITE:
        sdk::lib::pal_reg_write(addr, words.data(), n);
        break;
    case PAL_RW_REG_READ: {
        std::vector<uint32_t> now(n);
        sdk::lib::pal_reg_read(addr, now.data(), n);
        rw.counts.mismatches += now != words;
        break;
    }
    case PAL_RW_MEM_WRITE:
        sdk::lib::pal_mem_write(addr, bytes.data(), n);
        break;
    case PAL_RW_MEM_READ: {
        std::vector<uint8_t> now(n);
        sdk::lib::pal_mem_read(addr, now.data(), n);
        rw.counts.mismatches += now != bytes;
        break;
    }
    }
    count(static_cast<pal_rw_kind_e>(kind), n);
}

pal_ret_t replay_start(const char* section)
{
    std::string sec = section ? section : "";
    std::string path = pal_rw_capture_path(rw.replay_dir, sec, "txt");
    std::ifstream in(path);
    if (!in) {
        PAL_TRACE_ERR("Failed to open, dir %s, section %s, file %s", rw.replay_dir.c_str(), sec.c_str(),
                      path.c_str());
        return PAL_RET_NOK;
    }
    PAL_TRACE_INFO("Reg RW control, config replay from %s", path.c_str());
    rw.counts = {};
    for (std::string line; std::getline(in, line);) {
        replay_line(line);
    }
    PAL_TRACE_INFO("Reg RW control, config replay done, n_reg_writes %u, n_reg_reads %u, n_mem_writes %u, "
                   "n_mem_reads %u, n_mem_set %u",
                   rw.counts.reg_writes, rw.counts.reg_reads, rw.counts.mem_writes, rw.counts.mem_reads,
                   rw.counts.mem_sets);
    rw.replay_active = true;
    return PAL_RET_OK;
}

}  // namespace

std::string pal_rw_capture_path(const std::string& dir, const std::string& section, const std::string& ext)
{
    const char* build = getenv("BLD_VERSION");
    return fmt::format("/{}/rw-capture-{}-{}-{}.{}", dir, process_name(), build ? build : "", section, ext);
}

bool pal_rw_dump_recording(pal_rw_kind_e kind)
{
    if (!rw.dump_active || rw.dump_paused) {
        return false;
    }
    return rw.mode == 1 || (rw.mode == 2 && !is_write(kind)) || (rw.mode == 3 && is_write(kind));
}

bool pal_rw_replay_active()
{
    return rw.replay_active;
}

void pal_rw_dump_reg(pal_rw_kind_e kind, uint64_t addr, const uint32_t* words, uint32_t n)
{
    if (!pal_rw_dump_recording(kind)) {
        return;
    }
    if (addr > UINT32_MAX) {
        return;  // register captures hold 32-bit addresses
    }
    for (uint32_t i = 0; i < n; i++) {
        record(kind, addr + 4ull * i, words[i]);
    }
}

void pal_rw_dump_mem(pal_rw_kind_e kind, uint64_t addr, const uint8_t* bytes, uint32_t n)
{
    if (!pal_rw_dump_recording(kind)) {
        return;
    }
    for (uint32_t i = 0; i < n; i++) {
        record(kind, addr + i, bytes[i]);
    }
}

void pal_rw_dump_memset(uint64_t addr, uint8_t value, uint32_t size)
{
    if (!pal_rw_dump_recording(PAL_RW_MEM_SET)) {
        return;
    }
    flush_run();
    if (rw.txt) {
        fprintf(rw.txt, "%s 0x%" PRIx64 " optype %u merged %u nbytes %u data 0x%x\n", k_kind_names[PAL_RW_MEM_SET],
                addr, PAL_RW_MEM_SET, 0u, size, value);
        fflush(rw.txt);
    }
    count(PAL_RW_MEM_SET, 1);
}

pal_rw_counts_s pal_rw_counts()
{
    return rw.counts;
}

pal_ret_t pal_rw_ctrl(const sdk::lib::pal_reg_rw_ctrl_s* ctrl)
{
    if (ctrl == nullptr) {
        return PAL_RET_NOK;
    }
    switch (ctrl->op) {
    case sdk::lib::PAL_RW_CTRL_DUMP_INIT:
        rw.dump_dir = std::string(ctrl->arg ? ctrl->arg : "").substr(0, 255);
        rw.dump_init = true;
        return PAL_RET_OK;
    case sdk::lib::PAL_RW_CTRL_REPLAY_INIT:
        rw.replay_dir = std::string(ctrl->arg ? ctrl->arg : "").substr(0, 255);
        rw.replay_fmt = std::string(ctrl->arg2 ? ctrl->arg2 : "").substr(0, 15);
        rw.replay_init = true;
        return PAL_RET_OK;
    case sdk::lib::PAL_RW_CTRL_START_RW:
    case sdk::lib::PAL_RW_CTRL_START_READ:
    case sdk::lib::PAL_RW_CTRL_START_WRITE:
        if (rw.dump_init) {
            return dump_start(ctrl->op, ctrl->arg);
        }
        return rw.replay_init ? replay_start(ctrl->arg) : PAL_RET_NOK;
    case sdk::lib::PAL_RW_CTRL_STOP:
        if (rw.dump_init) {
            rw.dump_active = false;
            close_files();
            PAL_TRACE_INFO("PAL RW control, dump done for %s, n_reg_writes %u, n_reg_reads %u, n_mem_writes %u, "
                           "n_mem_reads %u, n_mem_set %u",
                           rw.section.c_str(), rw.counts.reg_writes, rw.counts.reg_reads, rw.counts.mem_writes,
                           rw.counts.mem_reads, rw.counts.mem_sets);
            rw.counts = {};
        } else if (rw.replay_init) {
            rw.replay_active = false;
        }
        return PAL_RET_OK;
    case sdk::lib::PAL_RW_CTRL_LABEL:
        if (rw.dump_active) {
            flush_run();
            rw.dump_paused = true;
            if (rw.txt) {
                fprintf(rw.txt, "RW_SUSPEND %s\n", ctrl->arg ? ctrl->arg : "");
                fflush(rw.txt);
            }
        }
        return PAL_RET_OK;
    case sdk::lib::PAL_RW_CTRL_RESUME:
        if (rw.dump_active) {
            rw.dump_paused = false;
        }
        return PAL_RET_OK;
    default:
        return PAL_RET_NOK;
    }
}
