// partition-level requests of the card's firmware-update service: sector
// erase, the card's partition table and metadata, and the transceiver
// EEPROM behind partition "xcvr-eeprom"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/rfc.h"
#include "fwupdate/rfc_exchange.h"
#include "fwupdate/rfc_wire.h"
#include "ipc/le_bytes.h"

namespace {

std::string text_field(const uint8_t* p, size_t len)
{
    const char* s = reinterpret_cast<const char*>(p);
    return std::string(s, strnlen(s, len));
}

bool aborted(const bool& abort)
{
    return __atomic_load_n(&abort, __ATOMIC_RELAXED);
}

// waits in short slices so that an abort ends the wait
void retry_wait(unsigned seconds, const bool& abort)
{
    for (unsigned slice = 0; slice < seconds * 10; slice++) {
        if (aborted(abort)) {
            return;
        }
        usleep(100000);
    }
}

}  // namespace

int rfc_flash_sector_erase(flash_partition_e partition, uint64_t size, const std::string& bdf)
{
    if (!rfc_partition_ok(partition)) {
        return RFC_ERR;
    }
    if (size == 0 || size % RFC_FLASH_SECTOR_SIZE != 0) {
        rfc_log(trace_level_err, "flash partition erase size is not valid");
        return RFC_ERR;
    }
    if (fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    const uint64_t sectors = size / RFC_FLASH_SECTOR_SIZE;
    rfc_log(trace_level_info, "Erase partition in progress....");
    rfc_exchange_s x = {RFC_CMD_FLASH_SECTOR_ERASE, "FLASH_SECTOR_ERASE", "erase", "flash sector"};
    for (uint64_t first = 0; first < sectors; first += RFC_SECTOR_ERASE_GROUP) {
        uint64_t count = std::min<uint64_t>(RFC_SECTOR_ERASE_GROUP, sectors - first);
        uint64_t offset = first * RFC_FLASH_SECTOR_SIZE, bytes = count * RFC_FLASH_SECTOR_SIZE;
        uint8_t buf[RFC_SECTOR_ERASE_REQ_SIZE] = {};
        le_put(buf, sizeof(buf), RFC_SECTOR_ERASE_OFF_PARTITION, 4, partition);
        le_put(buf, sizeof(buf), RFC_SECTOR_ERASE_OFF_COUNT, 4, count);
        le_put(buf, sizeof(buf), RFC_SECTOR_ERASE_OFF_OFFSET, 8, offset);
        le_put(buf, sizeof(buf), RFC_SECTOR_ERASE_OFF_SIZE, 8, bytes);
        rfc_log(trace_level_info, "sending ipc for erase flash sector , image id %u size %ld sector_count %ld",
                partition, static_cast<long>(bytes), static_cast<long>(count));
        if (rfc_exchange(x, buf, RFC_SECTOR_ERASE_REQ_SIZE, RFC_SECTOR_ERASE_RSP_SIZE, bdf) != RFC_EXCHANGE_OK ||
            buf[0] != RFC_STATUS_DONE) {
            rfc_log(trace_level_err, "failed in erase flash sector size :%lx offset :%lx",
                    static_cast<unsigned long>(bytes), static_cast<unsigned long>(offset));
            return RFC_ERR;
        }
    }
    rfc_log(trace_level_info, "erase operation completed");
    return RFC_OK;
}

int rfc_partition_info(const std::string& bdf, uint32_t partition, bool& supported)
{
    supported = true;
    if (partition > RFC_PARTITION_ALL) {
        rfc_log(trace_level_err, "flash partition is not valid");
        return RFC_ERR;
    }
    if (fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    const bool all = partition == RFC_PARTITION_ALL;
    const size_t rsp_len = all ? RFC_PINFO_RSP_ALL_SIZE : RFC_PINFO_RSP_ONE_SIZE;
    uint8_t buf[RFC_PINFO_RSP_ALL_SIZE] = {};
    le_put(buf, sizeof(buf), 0, 4, all ? 0 : partition);
    le_put(buf, sizeof(buf), RFC_PINFO_OFF_SCOPE, 4, all ? RFC_PINFO_SCOPE_ALL : RFC_PINFO_SCOPE_ONE);
    rfc_exchange_s x = {RFC_CMD_PARTITION_INFO_GET, "PARTITION_INFO_GET", "get", "partition info"};
    if (rfc_exchange(x, buf, RFC_PINFO_REQ_SIZE, rsp_len, bdf) != RFC_EXCHANGE_OK) {
        return RFC_ERR;
    }
    size_t count = std::min<size_t>(le_at<uint32_t>(buf, sizeof(buf), RFC_PINFO_OFF_COUNT),
                                    (rsp_len - RFC_PINFO_OFF_ENTRIES) / RFC_PINFO_ENTRY);
    // the card describes the partition asked for with the answer's first entry
    if (buf[0] != RFC_STATUS_DONE || count == 0 || (!all && buf[RFC_PINFO_OFF_ENTRIES + RFC_PINFO_E_ID] != partition)) {
        supported = false;
        rfc_log(trace_level_err, "Get partition info is not supported for partition id %u", partition);
        return RFC_ERR;
    }
    std::string text;
    for (size_t i = 0; i < count; i++) {
        const uint8_t* e = buf + RFC_PINFO_OFF_ENTRIES + i * RFC_PINFO_ENTRY;
        uint8_t type = e[RFC_PINFO_E_TYPE];
        char line[512];
        snprintf(line, sizeof(line),
                 "id: %-2d  id_name:%-20s  type_id:%-2d  type_name:%-20s  partition_size:%-10lx  running:%-2d  "
                 "startup:%-2d  upgrade-support:%-2d  version:%s\n",
                 e[RFC_PINFO_E_ID], flash_partition_name(e[RFC_PINFO_E_ID]), type,
                 boot_image_type_name(static_cast<firmware_image_type_e>(type)),
                 static_cast<unsigned long>(le_at<uint64_t>(buf, sizeof(buf), (e - buf) + RFC_PINFO_E_SIZE)), e[RFC_PINFO_E_RUNNING],
                 e[RFC_PINFO_E_STARTUP], e[RFC_PINFO_E_UPGRADABLE],
                 text_field(e + RFC_PINFO_E_VERSION, RFC_PINFO_E_VERSION_LEN).c_str());
        text += line;
    }
    return fwupdate_write_output(fwupdate_tls().dev_oper_dir + "partition_info.txt", text) ? RFC_OK : RFC_ERR;
}

int rfc_partition_metadata(flash_partition_e partition, const std::string& bdf, uint8_t write_file)
{
    if (!rfc_partition_ok(partition) || fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    uint8_t buf[RFC_META_RSP_SIZE] = {};
    le_put(buf, sizeof(buf), 0, 4, partition);
    rfc_exchange_s x = {RFC_CMD_META_DATA_GET, "META_DATA_GET", "get", "meta data"};
    if (rfc_exchange(x, buf, RFC_META_REQ_SIZE, RFC_META_RSP_SIZE, bdf) != RFC_EXCHANGE_OK) {
        return RFC_ERR;
    }
    if (buf[0] != RFC_STATUS_DONE) {
        rfc_log(trace_level_err, "partition id %d not supported to get metadata", static_cast<int>(partition));
        return RFC_ERR;
    }
    std::string profile = text_field(buf + RFC_META_OFF_PROFILE, RFC_META_FIELD);
    std::string version = text_field(buf + RFC_META_OFF_VERSION, RFC_META_FIELD);
    rfc_log(trace_level_debug, "partition %s profile_name %s version %s", flash_partition_name(partition),
            profile.c_str(), version.c_str());
    if (write_file) {
        std::string json = fmt::format("{{\n\"profile_name\": \"{}\",\n\"version\": \"{}\"\n}}\n", profile, version);
        if (!fwupdate_write_output(fwupdate_tls().dev_oper_dir + flash_partition_name(partition) + ".txt", json)) {
            return RFC_ERR;
        }
    }
    return RFC_OK;
}

int rfc_xcvr_write(flash_partition_e partition, uint32_t port, const std::string& file, const std::string& bdf,
                   const bool& abort, uint8_t* progress, std::string* status, rfc_progress_cb_t callback,
                   void* context)
{
    if (partition != FLASH_PARTITION_XCVR_EEPROM) {
        rfc_log(trace_level_err, "XCVR partition id is not valid %u", partition);
        return RFC_ERR;
    }
    FILE* f = fopen(file.c_str(), "rb");
    if (f == nullptr) {
        rfc_log(trace_level_err, "Failed to open file %s", file.c_str());
        return RFC_ERR;
    }
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0) {
        size = ftell(f);
        rewind(f);
    }
    if (size <= 0) {
        fclose(f);
        rfc_log(trace_level_err, "XCVR image %s is empty or unreadable", file.c_str());
        return RFC_ERR;
    }
    if (fwupdate_ipc_open(bdf.c_str()) != 0) {
        fclose(f);
        return RFC_ERR;
    }
    const size_t chunk = rfc_write_chunk_size(partition);
    const size_t chunks = rfc_write_chunk_count(partition, static_cast<uint64_t>(size));
    rfc_log(trace_level_info, "Sending ipc for xcvr write (%lu chunks), image id %u, port %u",
            static_cast<unsigned long>(chunks), partition, port);
    rfc_log(trace_level_info, "Write XCVR EEPROM in progress...");
    const std::string what = fmt::format("Write XCVR [port {}]", port);
    rfc_exchange_s x = {RFC_CMD_XCVR_WRITE, "XCVR_WRITE", "write", "xcvr eeprom"};
    int rc = RFC_OK;
    uint64_t total = 0;
    for (size_t i = 0; i < chunks && rc == RFC_OK; i++) {
        uint64_t offset = static_cast<uint64_t>(i) * chunk;
        size_t len = std::min<uint64_t>(chunk, static_cast<uint64_t>(size) - offset);
        uint8_t data[RFC_WRITE_LIMIT];
        if (fread(data, 1, len, f) != len) {
            rfc_log(trace_level_err, "failed to read data");
            rc = RFC_ERR;
            break;
        }
        for (unsigned attempt = 0;; attempt++) {
            if (aborted(abort)) {
                rfc_log(trace_level_err, "Write operation aborted due to timeout");
                rc = RFC_ABORTED;
                break;
            }
            uint8_t buf[RFC_XCVR_HDR_SIZE + RFC_WRITE_LIMIT] = {};
            le_put(buf, sizeof(buf), RFC_XCVR_OFF_PORT, 4, port);
            le_put(buf, sizeof(buf), RFC_XCVR_OFF_PARTITION, 4, partition);
            le_put(buf, sizeof(buf), RFC_XCVR_OFF_OFFSET, 8, offset);
            le_put(buf, sizeof(buf), RFC_XCVR_OFF_LENGTH, 4, len);
            memcpy(buf + RFC_XCVR_HDR_SIZE, data, len);
            if (rfc_exchange(x, buf, RFC_XCVR_HDR_SIZE + len, RFC_XCVR_RSP_SIZE, bdf) != RFC_EXCHANGE_OK) {
                rc = RFC_ERR;
                break;
            }
            uint8_t st = buf[0];
            if (st == RFC_STATUS_BUSY || st == RFC_STATUS_IN_PROGRESS) {
                if (attempt + 1 >= RFC_XCVR_RETRY_MAX) {
                    rfc_log(trace_level_err, "XCVR write failed with error code %u", st);
                    rc = RFC_ERR;
                    break;
                }
                rfc_log(trace_level_info,
                        "XCVR write in progress for port %u at offset %llu, size %llu, retrying after %d seconds...",
                        port, static_cast<unsigned long long>(offset), static_cast<unsigned long long>(len),
                        static_cast<int>(RFC_XCVR_RETRY_S));
                retry_wait(RFC_XCVR_RETRY_S, abort);  // an abort ends the wait; the loop reports it
                continue;
            }
            if (st != RFC_STATUS_DONE) {
                rfc_log(trace_level_err, "XCVR write failed with error code %u", st);
                rc = RFC_ERR;
                break;
            }
            uint64_t written = le_at<uint32_t>(buf, sizeof(buf), RFC_XCVR_RSP_OFF_WRITTEN);
            if (written != len) {
                rfc_log(trace_level_err, "%s",
                        rfc_error_text(bdf, fmt::format("XCVR write at offset {} took {} of {} bytes", offset,
                                                        written, len))
                            .c_str());
                rc = RFC_ERR;
                break;
            }
            total += written;
            break;
        }
        if (rc == RFC_OK) {
            uint8_t pct = static_cast<uint8_t>((i + 1) * 100 / chunks);
            if (progress) {
                *progress = pct;
            }
            if (status) {
                *status = what;
            }
            if (callback) {
                callback(context, pct, what);
            }
        }
    }
    fclose(f);
    if (rc != RFC_OK) {
        return rc;
    }
    rfc_log(trace_level_info, "XCVR write completed for %llu bytes", static_cast<unsigned long long>(total));
    rfc_log(trace_level_info, "write xcvr eeprom completed");
    return RFC_OK;
}

int rfc_xcvr_version_get(uint32_t port, const std::string& bdf, std::string* version)
{
    if (port > 0xff) {
        rfc_log(trace_level_err, "XCVR port is not valid %u", port);
        return RFC_ERR;
    }
    if (fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    uint8_t buf[RFC_XCVR_VERSION_RSP_SIZE] = {};
    buf[0] = static_cast<uint8_t>(port);
    rfc_exchange_s x = {RFC_CMD_XCVR_VERSION_GET, "XCVR_VERSION_GET", "get", "xcvr version"};
    if (rfc_exchange(x, buf, RFC_XCVR_VERSION_REQ_SIZE, RFC_XCVR_VERSION_RSP_SIZE, bdf) != RFC_EXCHANGE_OK) {
        return RFC_ERR;
    }
    if (buf[0] != RFC_STATUS_DONE) {
        rfc_log(trace_level_err, "Failed to get XCVR version for port %u, status %u", port, buf[0]);
        return RFC_ERR;
    }
    if (version) {
        *version = text_field(buf + RFC_XCVR_VERSION_OFF_TEXT, RFC_XCVR_VERSION_FIELD);
    }
    rfc_log(trace_level_info, "Transceiver version get successful for port %u", port);
    return RFC_OK;
}
