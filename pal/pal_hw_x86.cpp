// binding the calling thread to one card: mapping its resource function's
// header, register and memory windows, and translating addresses in them

#include "pal/pal_hw_x86.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fmt/format.h>

#include "ipc/nic_ipc.h"
#include "ipc/le_bytes.h"
#include "ipc/shell_command.h"
#include "ipc/sysfs_attr.h"

static thread_local palx86_ctx_s palx86ctx;

const palx86_ctx_s& palx86_ctx()
{
    return palx86ctx;
}

// maps a whole resource file shared, read-write, with synchronous writes
static int map_resource(const std::string& rsc_bdf, const char* name, palx86_window_s& window)
{
    std::string path = ipc_sysfs_pci_path(rsc_bdf, name);
    int fd = open(path.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        perror(path.c_str());
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    void* va = st.st_size > 0 ? mmap(nullptr, st.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    close(fd);
    if (va == MAP_FAILED) {
        perror("mmap");
        return -1;
    }
    window.va = static_cast<uint8_t*>(va);
    window.size = static_cast<uint64_t>(st.st_size);
    return 0;
}

static void unmap(palx86_window_s& window)
{
    if (window.va != nullptr) {
        munmap(window.va, window.size);
        window = {};
    }
}

// the windows of one resource function; on any failure none stays mapped
int palx86_init_with_rsc_bdf(const char* rsc_bdf)
{
    std::string rsc = rsc_bdf ? rsc_bdf : "";
    if (!ipc_sysfs_name_ok(rsc)) {
        fprintf(stderr, "device memenable failed\n");
        return -1;
    }
    auto setpci = ipc_shell_run(ipc_shell_command("setpci -s {} 0x4.w=2", {rsc}));
    if (!setpci.ok()) {
        fprintf(stderr, "device memenable failed: setpci %s\n", setpci.failure().c_str());
        return -1;
    }
    palx86_window_s hdr, regs, mem;
    auto fail = [&] {
        unmap(hdr);
        unmap(regs);
        unmap(mem);
        return -1;
    };
    if (map_resource(rsc, "resource4", hdr) != 0) {
        return -1;
    }
    if (hdr.size < PALX86_HDR_OFF_MEM_BASE + sizeof(uint64_t)) {
        fprintf(stderr, "palx header window of %s too small\n", rsc.c_str());
        return fail();
    }
    uint32_t magic = le_at<uint32_t>(hdr.va, hdr.size, PALX86_HDR_OFF_MAGIC);
    uint32_t version = le_at<uint32_t>(hdr.va, hdr.size, PALX86_HDR_OFF_VERSION);
    if (magic != PALX86_HDR_MAGIC && version == 0) {
        fprintf(stderr, "palx asic-magic/host-magic 0x%x/0x%xasic-version/host-version %d/%d check failed\n",
                magic, PALX86_HDR_MAGIC, 0, 1);
        return fail();
    }
    if (map_resource(rsc, "resource0", regs) != 0) {
        return fail();
    }
    regs.base = le_at<uint64_t>(hdr.va, hdr.size, PALX86_HDR_OFF_REG_BASE);
    if (map_resource(rsc, "resource2", mem) != 0) {
        return fail();
    }
    mem.base = le_at<uint64_t>(hdr.va, hdr.size, PALX86_HDR_OFF_MEM_BASE);
    palx86ctx.hdr = hdr;
    palx86ctx.regs = regs;
    palx86ctx.mem = mem;
    palx86ctx.initialised = 1;
    return 0;
}

int pal_hw_x86_init(const char* card_bdf)
{
    if (palx86ctx.initialised) {
        return 0;
    }
    palx86ctx.card_bdf = std::string(card_bdf ? card_bdf : "").substr(0, NIC_BDF_MAX);
    nic_ipc_card_device_info_s info;
    nic_ipc_get_card_device_info(palx86ctx.card_bdf, &info);
    if (!(info.flags & NIC_DEV_INFO_RESOURCE)) {
        fprintf(stderr, "Cannot get resource device bdf for card %s\n", palx86ctx.card_bdf.c_str());
        return -1;
    }
    return palx86_init_with_rsc_bdf(info.rsc_bdf.c_str());
}

// a thread that never bound itself binds by the environment on first use
static int palx86_lazy_bind()
{
    if (palx86ctx.initialised) {
        return 0;
    }
    std::string rsc;
    if (const char* uuid = getenv("PAL_CARD_UUID")) {
        if (nic_ipc_card_rsc_bdf_from_uuid(uuid, rsc) != 0) {
            return -1;
        }
    } else if (const char* bdf = getenv("PAL_RESDEV_BDF")) {
        rsc = std::string("0000:") + bdf;
    } else {
        auto lspci = ipc_shell_run(
            ipc_shell_command("lspci -Dn -d {}", {fmt::format("{:04x}:{:04x}", NIC_PCI_VENDOR_ID, NIC_PCI_DEV_RESOURCE)}), 1);
        if (!lspci.started || lspci.lines.empty()) {
            fprintf(stderr, "Resource map device %04x:%04x not found%s%s\n", NIC_PCI_VENDOR_ID, NIC_PCI_DEV_RESOURCE,
                    lspci.errors.empty() ? "" : ": lspci ", lspci.errors.empty() ? "" : lspci.failure().c_str());
            return -1;
        }
        rsc = lspci.lines[0].substr(0, lspci.lines[0].find(' '));
    }
    return palx86_init_with_rsc_bdf(rsc.c_str());
}

static int window_pa_to_va(const palx86_window_s& w, uint64_t pa, uint8_t** va)
{
    if (w.va == nullptr || pa < w.base || pa - w.base >= w.size) {
        return -1;
    }
    *va = w.va + (pa - w.base);
    return 0;
}

int pal_hw_x86_regs_pa_to_va(uint64_t pa, uint8_t** va)
{
    (void)palx86_lazy_bind();
    return window_pa_to_va(palx86ctx.regs, pa, va);
}

int pal_hw_x86_mem_pa_to_va(uint64_t pa, uint8_t** va)
{
    (void)palx86_lazy_bind();
    return window_pa_to_va(palx86ctx.mem, pa, va);
}

int pal_hw_x86_mem_va_to_pa(uint64_t* pa, const uint8_t* va)
{
    (void)palx86_lazy_bind();
    const palx86_window_s& w = palx86ctx.mem;
    if (w.va == nullptr || va < w.va || static_cast<uint64_t>(va - w.va) >= w.size) {
        return -1;
    }
    *pa = static_cast<uint64_t>(va - w.va) + w.base;
    return 0;
}

uint64_t pal_hw_x86_mem_totalsize()
{
    (void)palx86_lazy_bind();
    return palx86ctx.mem.size;
}

int pal_hw_x86_pmem_va(uint8_t** va)
{
    if (palx86_lazy_bind() != 0 || palx86ctx.hdr.va == nullptr) {
        return -1;
    }
    *va = palx86ctx.hdr.va;
    return 0;
}
