// the card's secure-image state, its update, signed metadata and the card's
// check of a partition's signature against a public key kept on the host

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/rfc.h"
#include "fwupdate/rfc_exchange.h"
#include "fwupdate/rfc_wire.h"
#include "ipc/le_bytes.h"

namespace {

constexpr uint32_t k_status_unsupported = 2;

// a card's text inside a JSON string: quotes, backslashes and control
// characters escaped
std::string json_text(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            out += fmt::format("\\u{:04x}", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

template <size_t N>
uint32_t u32(const uint8_t (&buf)[N], size_t at)
{
    return le_at<uint32_t>(buf, N, at);
}

template <size_t N>
unsigned long u64(const uint8_t (&buf)[N], size_t at)
{
    return static_cast<unsigned long>(le_at<uint64_t>(buf, N, at));
}

// the secure image information file of one image type: one "key": "value"
// line per field, a comma after every line but the last, whatever the type
std::string secure_info_text(secure_image_type_e type, const uint8_t (&b)[RFC_SII_RSP_SIZE])
{
    std::vector<std::pair<const char*, std::string>> f;
    f.emplace_back("secure_ipc_version", fmt::format("{}", u32(b, RFC_SII_OFF_IPC_VERSION)));
    if (type == SECURE_IMAGE_TYPE_BOOT_RECORDS || type == SECURE_IMAGE_TYPE_BOOT_PARTITIONS) {
        f.emplace_back("current_boot_partition", fmt::format("{}", u32(b, RFC_SII_OFF_CURRENT_BOOT)));
        f.emplace_back("next_boot_partition", fmt::format("{}", u32(b, RFC_SII_OFF_NEXT_BOOT)));
    }
    if (type == SECURE_IMAGE_TYPE_BOOT_RECORDS) {
        f.emplace_back("bl1_ar_nv_count", fmt::format("{}", u64(b, RFC_SII_OFF_BL1_AR_COUNT)));
        f.emplace_back("bl1_ar_version", fmt::format("{}", u32(b, RFC_SII_OFF_BL1_AR_VERSION)));
        f.emplace_back("bl1_version", fmt::format("{}", u64(b, RFC_SII_OFF_BL1_VERSION)));
        f.emplace_back("hallgardfw_version", fmt::format("{}", u64(b, RFC_SII_OFF_HALLGARD_VERSION)));
        f.emplace_back("hallgard_ar_nv_count", fmt::format("{}", u64(b, RFC_SII_OFF_HALLGARD_AR_COUNT)));
        f.emplace_back("hallgard_ar_version", fmt::format("{}", u32(b, RFC_SII_OFF_HALLGARD_AR_VERSION)));
    }
    if (type == SECURE_IMAGE_TYPE_BL31) {
        const char* s = reinterpret_cast<const char*>(b + RFC_SII_OFF_BL31_VERSION);
        f.emplace_back("bl31 version", json_text(std::string(s, strnlen(s, RFC_SII_BL31_FIELD))));
    }
    if (type == SECURE_IMAGE_TYPE_FUSES_LCS) {
        f.emplace_back("fuse", fmt::format("0x{:x}", u32(b, RFC_SII_OFF_FUSE)));
        f.emplace_back("bootloader1_current_fuse", fmt::format("0x{:x}", u32(b, RFC_SII_OFF_BL1_FUSE)));
        f.emplace_back("hallgard_enable", fmt::format("0x{:x}", u32(b, RFC_SII_OFF_HALLGARD_ENABLE)));
        f.emplace_back("lcs_boot_state", rfc_lcs_name(u32(b, RFC_SII_OFF_LCS_BOOT)));
        f.emplace_back("lcs_next_state", rfc_lcs_name(u32(b, RFC_SII_OFF_LCS_NEXT)));
    }
    std::string t = "{\n";
    for (size_t i = 0; i < f.size(); i++) {
        t += fmt::format("\"{}\": \"{}\"{}\n", f[i].first, f[i].second, i + 1 < f.size() ? "," : "");
    }
    return t + "}\n";
}

// SIGNED_META_DATA_GET; the JSON text of the answer. object words the
// exchange's failures
int signed_metadata_get(flash_partition_e partition, const std::string& bdf, const std::string& object,
                        std::string& json)
{
    if (!rfc_partition_ok(partition) || fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    uint8_t buf[RFC_SIGNED_META_RSP_SIZE] = {};
    le_put(buf, sizeof(buf), 0, 4, partition);
    rfc_exchange_s x = {RFC_CMD_SIGNED_META_DATA_GET, "SIGNED_META_DATA_GET", "read", object.c_str()};
    if (rfc_exchange(x, buf, RFC_SIGNED_META_REQ_SIZE, RFC_SIGNED_META_RSP_SIZE, bdf) != RFC_EXCHANGE_OK) {
        return RFC_ERR;
    }
    if (u32(buf, 0) != 0) {
        rfc_log(trace_level_err, "read signed meta data not supported for %u", partition);
        return RFC_ERR;
    }
    size_t room = RFC_SIGNED_META_RSP_SIZE - RFC_SIGNED_META_OFF_TEXT;
    size_t len = std::min<size_t>(u32(buf, RFC_SIGNED_META_OFF_LENGTH), room);
    const char* text = reinterpret_cast<const char*>(buf + RFC_SIGNED_META_OFF_TEXT);
    json.assign(text, strnlen(text, len));
    return RFC_OK;
}

// the text of a string member of a flat JSON object; "" when it has none
std::string json_string_member(const std::string& json, const std::string& key)
{
    const std::string quoted = "\"" + key + "\"";
    for (size_t at = json.find(quoted); at != std::string::npos; at = json.find(quoted, at + 1)) {
        size_t p = json.find_first_not_of(" \t\r\n", at + quoted.size());
        if (p == std::string::npos || json[p] != ':') {
            continue;
        }
        p = json.find_first_not_of(" \t\r\n", p + 1);
        if (p == std::string::npos || json[p] != '"') {
            return "";
        }
        size_t end = json.find('"', p + 1);
        return end == std::string::npos ? "" : json.substr(p + 1, end - p - 1);
    }
    return "";
}

bool read_whole_file(const std::string& path, std::string& text)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        rfc_log(trace_level_err, "Failed to open file %s", path.c_str());
        return false;
    }
    text.clear();
    char chunk[512];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0) {
        text.append(chunk, n);
    }
    bool ok = !ferror(f);
    fclose(f);
    if (!ok) {
        rfc_log(trace_level_err, "Failed to read file %s", path.c_str());
    }
    return ok;
}

}  // namespace

const char* rfc_lcs_name(uint32_t state)
{
    static const char* const names[] = {"disabled", "open", "soft_prod", "prod", "rip"};
    return state < sizeof(names) / sizeof(names[0]) ? names[state] : "unknown";
}

int rfc_secure_image_info(const char* name, secure_image_type_e type, const std::string& bdf)
{
    if (type == SECURE_IMAGE_TYPE_INVALID) {
        rfc_log(trace_level_err, "Invalid secure image type %u", type);
        return RFC_ERR;
    }
    if (fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    uint8_t buf[RFC_SII_RSP_SIZE] = {};
    le_put(buf, sizeof(buf), 0, 4, type);
    rfc_exchange_s x = {RFC_CMD_SECURE_IMAGE_INFO_GET, "SECURE_IMAGE_INFO_GET", "get", "secure image info"};
    if (rfc_exchange(x, buf, RFC_SII_REQ_SIZE, RFC_SII_RSP_SIZE, bdf) != RFC_EXCHANGE_OK) {
        return RFC_ERR;
    }
    uint32_t status = u32(buf, RFC_SII_OFF_STATUS);
    if (status == k_status_unsupported || type > SECURE_IMAGE_TYPE_BOOT_PARTITIONS) {
        rfc_log(trace_level_err, "Image type is not supported %u", type);
        return RFC_ERR;
    }
    if (status != 0) {
        rfc_log(trace_level_err, "%s",
                rfc_error_text(bdf, fmt::format("Failed to get secure image info, status : {}", status)).c_str());
        return RFC_ERR;
    }
    if (name && !fwupdate_write_output(fwupdate_tls().dev_oper_dir + name + ".txt", secure_info_text(type, buf))) {
        return RFC_ERR;
    }
    return RFC_OK;
}

int rfc_secure_image_info_update(secure_image_type_e type, secure_image_update_opcode_e opcode,
                                 const std::string& bdf)
{
    if (type == SECURE_IMAGE_TYPE_INVALID) {
        rfc_log(trace_level_err, "Invalid secure image type %u", type);
        return RFC_ERR;
    }
    if (fwupdate_ipc_open(bdf.c_str()) != 0) {
        return RFC_ERR;
    }
    uint8_t buf[RFC_SIU_REQ_SIZE] = {};
    le_put(buf, sizeof(buf), 0, 4, type);
    le_put(buf, sizeof(buf), RFC_SIU_OFF_OPCODE, 4, opcode);
    rfc_exchange_s x = {RFC_CMD_SECURE_IMAGE_INFO_UPDATE, "SECURE_IMAGE_INFO_UPDATE", "update", "secure image info"};
    if (rfc_exchange(x, buf, RFC_SIU_REQ_SIZE, RFC_SIU_RSP_SIZE, bdf) != RFC_EXCHANGE_OK) {
        return RFC_ERR;
    }
    uint32_t status = u32(buf, 0);
    if (status != 0) {
        rfc_log(trace_level_err, "%s",
                rfc_error_text(bdf, fmt::format("Failed to update secure image info, status : {}", status)).c_str());
        return RFC_ERR;
    }
    rfc_log(trace_level_info, "Secure image info update done for type %u, operation %u", type, opcode);
    return RFC_OK;
}

int rfc_partition_signed_metadata(flash_partition_e partition, const std::string& bdf)
{
    std::string json;
    int rc = signed_metadata_get(partition, bdf, "signed meta data", json);
    if (rc != RFC_OK) {
        return rc;
    }
    std::string path = fwupdate_tls().dev_oper_dir + flash_partition_name(partition) + "_signed.txt";
    return fwupdate_write_output(path, json) ? RFC_OK : RFC_ERR;
}

int rfc_image_signature_verify(flash_partition_e partition, const std::string& bdf)
{
    std::string json;
    int rc = signed_metadata_get(partition, bdf,
                                 std::string("image signature for ") + flash_partition_name(partition), json);
    if (rc != RFC_OK) {
        return rc;
    }
    // only the two key names the host keeps keys for; checked before any
    // file is touched
    std::string key_name = json_string_member(json, "key_name");
    if (key_name != "eng" && key_name != "prod") {
        rfc_log(trace_level_err, "invalid key name %s", key_name.c_str());
        return RFC_ERR;
    }
    const char* conf = getenv("ORLIX_CONF_DIR");
    std::string path = fmt::format("{}/fwkeys/{}_key-pub.pem", conf ? conf : "", key_name);
    if (path.size() > RFC_KEY_PATH_MAX) {
        rfc_log(trace_level_err, "Key file path is too long: %s", path.c_str());
        return RFC_ERR;
    }
    std::string key;
    if (!read_whole_file(path, key)) {
        return RFC_ERR;
    }
    if (key.empty() || RFC_SIGNATURE_OFF_KEY + key.size() > RFC_SIGNATURE_REQ_MAX) {
        rfc_log(trace_level_err, "Key file %s has a size of %lu bytes, 1 to %lu allowed", path.c_str(),
                static_cast<unsigned long>(key.size()),
                static_cast<unsigned long>(RFC_SIGNATURE_REQ_MAX - RFC_SIGNATURE_OFF_KEY));
        return RFC_ERR;
    }
    uint8_t buf[RFC_SIGNATURE_REQ_MAX] = {};
    le_put(buf, sizeof(buf), 0, 4, partition);
    le_put(buf, sizeof(buf), RFC_SIGNATURE_OFF_KEYLEN, 4, key.size());
    memcpy(buf + RFC_SIGNATURE_OFF_KEY, key.data(), key.size());
    std::string object = std::string("image signature for ") + flash_partition_name(partition);
    rfc_exchange_s x = {RFC_CMD_IMAGE_SIGNATURE, "IMAGE_SIGNATURE", "verify", object.c_str()};
    if (rfc_exchange(x, buf, RFC_SIGNATURE_OFF_KEY + key.size(), RFC_SIGNATURE_RSP_SIZE, bdf) != RFC_EXCHANGE_OK) {
        return RFC_ERR;
    }
    uint32_t status = u32(buf, 0);
    if (status != 0) {
        rfc_log(trace_level_err, "%s",
                rfc_error_text(bdf, fmt::format("Failed to verify {}, status : {}", object, status)).c_str());
        return RFC_ERR;
    }
    rfc_log(trace_level_info, "Image signature verified for %s with key %s", flash_partition_name(partition),
            key_name.c_str());
    return RFC_OK;
}
