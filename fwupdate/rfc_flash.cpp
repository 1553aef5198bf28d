// erase, write and the card-side digest checks of one flash partition

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "fwupdate/rfc.h"
#include "fwupdate/rfc_exchange.h"
#include "fwupdate/rfc_wire.h"
#include "ipc/le_bytes.h"

namespace {

// waits the poll period in short slices, so that an abort ends it early;
// true when the wait ran out without an abort
bool poll_wait(unsigned seconds, const bool& abort)
{
    for (unsigned slice = 0; slice < seconds * 10; slice++) {
        if (__atomic_load_n(&abort, __ATOMIC_RELAXED)) {
            return false;
        }
        usleep(100000);
    }
    return !__atomic_load_n(&abort, __ATOMIC_RELAXED);
}

bool aborted(const bool& abort)
{
    return __atomic_load_n(&abort, __ATOMIC_RELAXED);
}

long file_size(FILE* f)
{
    if (fseek(f, 0, SEEK_END) != 0) {
        return -1;
    }
    long size = ftell(f);
    rewind(f);
    return size;
}

// the size of an image on the host; an unreadable file is logged
bool host_file_size(const std::string& file, long& size)
{
    FILE* f = fopen(file.c_str(), "rb");
    if (f == nullptr) {
        rfc_log(trace_level_err, "Failed to open file %s", file.c_str());
        return false;
    }
    size = file_size(f);
    fclose(f);
    return true;
}

// sends the request until the card answers something other than "in
// progress"; the answer's first byte, or -1 on a failed exchange, -2 on abort
int poll_status(const rfc_exchange_s& x, const uint8_t* req, size_t req_len, size_t rsp_len, unsigned wait_s,
                const std::string& bdf, const bool& abort, uint8_t* answer = nullptr)
{
    std::vector<uint8_t> buf(std::max(req_len, rsp_len));
    while (!aborted(abort)) {
        std::fill(buf.begin(), buf.end(), 0);
        memcpy(buf.data(), req, req_len);
        if (rfc_exchange(x, buf.data(), req_len, rsp_len, bdf) != RFC_EXCHANGE_OK) {
            return -1;
        }
        if (buf[0] != RFC_STATUS_IN_PROGRESS) {
            if (answer) {
                memcpy(answer, buf.data(), rsp_len);
            }
            return buf[0];
        }
        if (!poll_wait(wait_s, abort)) {
            break;
        }
    }
    return -2;
}

// both erase requests: sent and polled until the card is done
int erase_exchange(uint32_t cmd, const uint8_t* req, size_t len, const std::string& bdf, const bool& abort)
{
    rfc_log(trace_level_info, "Erase partition in progress...");
    rfc_exchange_s x = {cmd, "FLASH_ERASE", "erase", "flash"};
    int status = poll_status(x, req, len, RFC_ERASE_RSP_SIZE, RFC_ERASE_POLL_S, bdf, abort);
    if (status == -2) {
        rfc_log(trace_level_err, "Erase operation aborted due to timeout");
        return RFC_ABORTED;
    }
    if (status != RFC_STATUS_DONE) {
        if (status > 0) {
            rfc_log(trace_level_err, "erase operation failed");
        }
        return RFC_ERR;
    }
    rfc_log(trace_level_info, "erase operation completed");
    return RFC_OK;
}

}  // namespace

int rfc_flash_erase_based_on_hash(flash_partition_e partition, uint64_t size, const std::string& algorithm,
                                  const std::string& digest, const std::string& version, const std::string& bdf,
                                  const bool& abort)
{
    if (!rfc_partition_ok(partition) || fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    if (algorithm != "sha512") {
        rfc_log(trace_level_err, "Invalid hash type");
        return RFC_ERR;
    }
    if (version.size() > RFC_ERASE_HASH_VERSION_MAX) {
        rfc_log(trace_level_err, "Version value is too long- version len %ld", static_cast<long>(version.size()));
        return RFC_ERR;
    }
    rfc_log(trace_level_info, "version len %ld version %s", static_cast<long>(version.size()), version.c_str());
    uint8_t req[RFC_ERASE_HASH_REQ_SIZE] = {};
    le_put(req, sizeof(req), RFC_ERASE_HASH_OFF_PARTITION, 4, partition);
    le_put(req, sizeof(req), RFC_ERASE_HASH_OFF_SIZE, 8, size);
    le_put(req, sizeof(req), RFC_ERASE_HASH_OFF_TYPE, 4, RFC_HASH_TYPE_SHA512);
    req[RFC_ERASE_HASH_OFF_VERLEN] = static_cast<uint8_t>(version.size());
    if (!rfc_hex_to_bytes(digest, req + RFC_ERASE_HASH_OFF_DIGEST, RFC_SHA512_LEN)) {
        rfc_log(trace_level_err, "Invalid hash type");
        return RFC_ERR;
    }
    memcpy(req + RFC_ERASE_HASH_OFF_VERSION, version.data(), version.size());
    rfc_log(trace_level_info, "Sending ipc for erase flash, image id %u size %ld", partition, static_cast<long>(size));
    return erase_exchange(RFC_CMD_FLASH_ERASE_HASH, req, sizeof(req), bdf, abort);
}

int rfc_flash_erase(flash_partition_e partition, uint64_t size, const std::string& bdf, const bool& abort)
{
    if (!rfc_partition_ok(partition) || fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    uint8_t req[RFC_ERASE_REQ_SIZE] = {};
    le_put(req, sizeof(req), 0, 4, partition);
    le_put(req, sizeof(req), 8, 8, size);
    rfc_log(trace_level_info, "sending ipc for erase flash, image id %u size %ld", partition, static_cast<long>(size));
    return erase_exchange(RFC_CMD_FLASH_ERASE, req, sizeof(req), bdf, abort);
}

size_t rfc_write_chunk_size(flash_partition_e partition)
{
    bool small = partition == FLASH_PARTITION_SUC_BOOT || partition == FLASH_PARTITION_SUC_APP ||
                 partition == FLASH_PARTITION_FPGA_CFG || partition == FLASH_PARTITION_FPGA_GOLD_CFG;
    size_t limit = small ? RFC_WRITE_LIMIT_SMALL : RFC_WRITE_LIMIT;
    // the largest multiple of 16 below the limit
    return (limit - 1) / 16 * 16;
}

size_t rfc_write_chunk_count(flash_partition_e partition, uint64_t size)
{
    size_t chunk = rfc_write_chunk_size(partition);
    return static_cast<size_t>((size + chunk - 1) / chunk);
}

int rfc_flash_write(flash_partition_e partition, const std::string& file, const std::string& bdf, const bool& abort)
{
    if (!rfc_partition_ok(partition)) {
        return RFC_ERR;
    }
    FILE* f = fopen(file.c_str(), "rb");
    if (f == nullptr) {
        rfc_log(trace_level_err, "Failed to open file %s", file.c_str());
        return RFC_ERR;
    }
    long size = file_size(f);
    if (size < 0) {
        fclose(f);
        rfc_log(trace_level_err, "Failed to open file %s", file.c_str());
        return RFC_ERR;
    }
    if (partition == FLASH_PARTITION_FPGA_GOLD_CFG && size % 16 != 0) {
        fclose(f);
        rfc_log(trace_level_err, "CPLD file size should be multiple of 16");
        return RFC_BAD_REQUEST;
    }
    if (fwupdate_ipc_open(bdf.c_str()) != 0) {
        fclose(f);
        return RFC_ERR;
    }
    size_t chunk = rfc_write_chunk_size(partition);
    size_t chunks = rfc_write_chunk_count(partition, static_cast<uint64_t>(size));
    rfc_log(trace_level_info, "sending ipc for flash write (%lu chunks), image id %u", static_cast<unsigned long>(chunks),
            partition);
    rfc_log(trace_level_info, "Write flash in progress...");
    rfc_exchange_s x = {RFC_CMD_FLASH_WRITE, "FLASH_WRITE", "write", "flash"};
    int rc = RFC_OK;
    for (size_t i = 0; i < chunks && rc == RFC_OK; i++) {
        if (aborted(abort)) {
            rfc_log(trace_level_err, "Write operation aborted due to timeout");
            rc = RFC_ABORTED;
            break;
        }
        uint64_t offset = static_cast<uint64_t>(i) * chunk;
        size_t len = std::min<uint64_t>(chunk, static_cast<uint64_t>(size) - offset);
        uint8_t buf[RFC_WRITE_HDR_SIZE + RFC_WRITE_LIMIT] = {};
        le_put(buf, sizeof(buf), RFC_WRITE_OFF_PARTITION, 4, partition);
        le_put(buf, sizeof(buf), RFC_WRITE_OFF_OFFSET, 8, offset);
        le_put(buf, sizeof(buf), RFC_WRITE_OFF_LENGTH, 4, len);
        if (fread(buf + RFC_WRITE_HDR_SIZE, 1, len, f) != len) {
            rfc_log(trace_level_err, "failed to read data");
            rc = RFC_ERR;
            break;
        }
        if (rfc_exchange(x, buf, RFC_WRITE_HDR_SIZE + len, RFC_WRITE_RSP_SIZE, bdf) != RFC_EXCHANGE_OK ||
            buf[0] != RFC_STATUS_DONE) {
            if (buf[0] != RFC_STATUS_DONE) {
                rfc_log(trace_level_err, "%s",
                        rfc_error_text(bdf, fmt::format("Failed to write flash, err : {}", buf[0])).c_str());
            }
            rc = RFC_ERR;
        }
    }
    fclose(f);
    if (rc == RFC_OK) {
        rfc_log(trace_level_info, "write flash completed");
    }
    return rc;
}

int rfc_verify_image(flash_partition_e partition, const std::string& file, const std::string& digest,
                     const std::string& bdf, const bool& abort)
{
    if (!rfc_partition_ok(partition)) {
        return RFC_ERR;
    }
    long size = 0;
    if (!host_file_size(file, size)) {
        return RFC_ERR;
    }
    if (aborted(abort)) {
        rfc_log(trace_level_err, "Verify image operation aborted due to timeout");
        return RFC_ABORTED;
    }
    if (fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    rfc_log(trace_level_debug, "Sending IPC to verify checksum for image %u", partition);
    uint8_t req[RFC_VERIFY_REQ_SIZE] = {};
    le_put(req, sizeof(req), RFC_VERIFY_OFF_PARTITION, 4, partition);
    le_put(req, sizeof(req), RFC_VERIFY_OFF_SIZE, 8, static_cast<uint64_t>(size));
    le_put(req, sizeof(req), RFC_VERIFY_OFF_TYPE, 4, RFC_HASH_TYPE_SHA512);
    le_put(req, sizeof(req), RFC_VERIFY_OFF_HASHLEN, 2, RFC_SHA512_LEN);
    if (!rfc_hex_to_bytes(digest, req + RFC_VERIFY_OFF_DIGEST, RFC_SHA512_LEN)) {
        rfc_log(trace_level_err, "verify image checksum failed");
        return RFC_ERR;
    }
    rfc_exchange_s x = {RFC_CMD_IMAGE_VERIFY, "IMAGE_VERIFY", "verify", "checksum"};
    int status = poll_status(x, req, sizeof(req), RFC_VERIFY_RSP_SIZE, RFC_VERIFY_POLL_S, bdf, abort);
    if (status == -2) {
        rfc_log(trace_level_err, "Verify image operation aborted due to timeout");
        return RFC_ABORTED;
    }
    if (status == -1) {
        return RFC_ERR;
    }
    if (status != RFC_STATUS_DONE) {
        rfc_log(trace_level_err, "verify image checksum failed");
        return RFC_ERR;
    }
    rfc_log(trace_level_info, "Verify image checksum succeeded");
    return RFC_OK;
}

static std::string upper_hex(const uint8_t* bytes, size_t len)
{
    std::string out;
    for (size_t i = 0; i < len; i++) {
        out += fmt::format("{:02X}", bytes[i]);
    }
    return out;
}

static bool same_text_ignoring_case(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

int rfc_partition_checksum(flash_partition_e partition, uint64_t size, const std::string& bdf, const bool& abort,
                           std::string& digest)
{
    digest.clear();
    if (!rfc_partition_ok(partition) || fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    rfc_log(trace_level_debug, "Sending IPC to get checksum, image id %u", partition);
    uint8_t req[RFC_CHECKSUM_REQ_SIZE] = {};
    le_put(req, sizeof(req), 0, 4, partition);
    le_put(req, sizeof(req), 8, 8, size);
    uint8_t answer[RFC_CHECKSUM_RSP_SIZE] = {};
    rfc_exchange_s x = {RFC_CMD_CHECKSUM, "IMAGE_CHECKSUM", "verify", "checksum"};
    int status = poll_status(x, req, sizeof(req), RFC_CHECKSUM_RSP_SIZE, RFC_VERIFY_POLL_S, bdf, abort, answer);
    if (status == -2) {
        rfc_log(trace_level_err, "Verify operation aborted due to timeout");
        return RFC_ABORTED;
    }
    if (status == -1) {
        return RFC_ERR;
    }
    if (status != RFC_STATUS_DONE) {
        rfc_log(trace_level_err, "verify checksum failed");
        return RFC_ERR;
    }
    digest = upper_hex(answer + 1, RFC_SHA512_LEN);
    rfc_log(trace_level_debug, "sha512 %s", digest.c_str());
    return RFC_OK;
}

int rfc_verify_checksum(flash_partition_e partition, const std::string& file, const std::string& digest,
                        const std::string& bdf, const bool& abort)
{
    if (!rfc_partition_ok(partition)) {
        return RFC_ERR;
    }
    long size = 0;
    if (!host_file_size(file, size)) {
        return RFC_ERR;
    }
    std::string got;
    int rc = rfc_partition_checksum(partition, static_cast<uint64_t>(size), bdf, abort, got);
    if (rc != RFC_OK) {
        return rc;
    }
    if (!same_text_ignoring_case(got, digest)) {
        rfc_log(trace_level_info, "Verify checksum failed");
        return RFC_ERR;
    }
    rfc_log(trace_level_info, "Verify checksum succeeded");
    return RFC_OK;
}

int rfc_validate_startup_image(firmware_image_type_e type, flash_partition_e partition, const std::string& bdf,
                               std::string& digest)
{
    if (!rfc_partition_ok(partition) || fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    const char* name = flash_partition_name(partition);
    rfc_log(trace_level_debug, "Sending IPC for verify startup image %s, image id %u", name, partition);
    rfc_log(trace_level_info, "Verifying checksum of %s in progress...", name);
    uint8_t req[RFC_STARTUP_REQ_SIZE] = {};
    le_put(req, sizeof(req), 0, 4, partition);
    le_put(req, sizeof(req), 4, 4, type);
    uint8_t answer[RFC_STARTUP_RSP_SIZE] = {};
    // no abort flag of its own: the running update's deadline, if any
    const bool never = false;
    const bool& abort = fwupdate_tls().abort ? *fwupdate_tls().abort : never;
    rfc_exchange_s x = {RFC_CMD_IMAGE_CHECKSUM_VERIFY, "IMAGE_CHEKSUM_VERIFY", "verify", "checksum image"};
    int status = poll_status(x, req, sizeof(req), RFC_STARTUP_RSP_SIZE, RFC_VERIFY_POLL_S, bdf, abort, answer);
    if (status == -2) {
        rfc_log(trace_level_err, "Verify startup image operation aborted due to timeout");
        return RFC_ABORTED;
    }
    if (status < 0) {
        return RFC_ERR;
    }
    if (status != RFC_STATUS_DONE) {
        rfc_log(trace_level_err, "Checksum verification failed for %s, response status %u", name, status);
        rfc_log(trace_level_err, "Failed to verify checksum for %s, ipc err %u, ipc ret %d", name, 0u, status);
        return RFC_ERR;
    }
    // the digest comes as text, up to its end or first NUL
    const char* text = reinterpret_cast<const char*>(answer + 1);
    digest.assign(text, strnlen(text, RFC_SHA512_LEN));
    return RFC_OK;
}

int rfc_validate_startup_image(flash_partition_e partition, const std::string& bdf, rfc_startup_image_s& startup)
{
    if (!rfc_partition_ok(partition) || fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    const char* name = flash_partition_name(partition);
    rfc_log(trace_level_debug, "Sending IPC for verify startup image %s, image id %u", name, partition);
    uint8_t req[RFC_STARTUP_VERIFY_REQ_SIZE] = {};
    le_put(req, sizeof(req), 0, 4, partition);
    std::vector<uint8_t> answer(RFC_STARTUP_VERIFY_RSP_SIZE);
    // no abort flag of its own: the running update's deadline, if any
    const bool never = false;
    const bool& abort = fwupdate_tls().abort ? *fwupdate_tls().abort : never;
    rfc_exchange_s x = {RFC_CMD_STARTUP_IMAGE_VERIFY, "STARTUP_IMAGE_VERIFY", "verify", "startup image"};
    int status = poll_status(x, req, sizeof(req), answer.size(), RFC_VERIFY_POLL_S, bdf, abort, answer.data());
    if (status == -2) {
        rfc_log(trace_level_err, "Verify startup image operation aborted due to timeout");
        return RFC_ABORTED;
    }
    if (status < 0) {
        return RFC_ERR;
    }
    uint32_t image = le_at<uint32_t>(answer, RFC_STARTUP_VERIFY_OFF_IMAGE);
    startup.image = image < FIRMWARE_IMAGE_INVALID ? static_cast<firmware_image_type_e>(image) : FIRMWARE_IMAGE_INVALID;
    if (status != RFC_STATUS_DONE) {
        rfc_log(trace_level_err, "Startup image %s of %s fails the card's check, response status %u", name,
                boot_image_type_name(startup.image), status);
        return RFC_ERR;
    }
    startup.digest = upper_hex(answer.data() + RFC_STARTUP_VERIFY_OFF_DIGEST, RFC_SHA512_LEN);
    const char* text = reinterpret_cast<const char*>(answer.data() + RFC_STARTUP_VERIFY_OFF_VERSION);
    startup.version.assign(text, strnlen(text, RFC_STARTUP_VERIFY_VERSION_LEN));
    return RFC_OK;
}
