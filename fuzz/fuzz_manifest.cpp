// the package manifest and its compatibility checks, through the engine's
// public functions: the package revision and the asic, board and
// revocation checks of check_package_compatibility, with the input as the
// MANIFEST of the card's work directory. the manifest is read with jq, one
// run a value: inputs are kept small so that a run stays fast.
// first byte: which board id the card reports, then the manifest text

#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "fuzz/fuzz_input.h"
#include "fwupdate/fwupdate_state.h"
#include "fwupdate/fwupdate_tables.h"
#include "fwupdate/fwupdate_compat.h"
#include "fwupdate/fwupdate_install_list.h"

namespace {

constexpr size_t k_manifest_max = 512;

const char* const k_board_ids[] = {"0x00000001", "0x00000002", "unknown", "0x12345678"};

const std::string& manifest_setup()
{
    static const std::string manifest = [] {
        const std::string& dir = fuzz_scratch_dir();
        fwupdate_tls().fwupgrade_bdf_dir = dir;
        fwupdate_globals().asic_name = asic_list()[0];
        // the host's revocation list of the asic: one range revoked for board 1
        fwupdate_globals().conf_dir = dir + "/";
        std::string asic_dir = dir + "/" + asic_list()[0];
        (void)mkdir(asic_dir.c_str(), 0700);
        (void)fuzz_write_file(asic_dir + "/fwcompat-revoked.json",
                              R"({"0x00000001": {"1.2.3": [{"min": 10, "max": 20}, {"min": "#", "max": "#"}]}})");
        return dir + "/MANIFEST";
    }();
    return manifest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string& manifest = manifest_setup();
    uint32_t board = fuzz_take(data, size, 1);
    if (size > k_manifest_max || !fuzz_write_file(manifest, data, size)) {
        return 0;
    }
    int rc = 0;
    (void)fwupdate_package_revision(manifest, rc);
    (void)check_package_compatibility(k_board_ids[board % 4]);
    return 0;
}
