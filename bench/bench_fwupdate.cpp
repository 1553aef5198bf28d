// a firmware update's flash path on the emulated card: erase, chunked
// writes, the card's SHA-512 verify, as the installer runs them for a
// partition (rfc_flash_erase_based_on_hash, rfc_flash_write,
// rfc_verify_image) without its one-second pauses between the steps.
//
// the emulated card's largest partition (soc-zephyr) holds 4 MiB: 64 MiB go
// as 16 rounds of a 4 MiB image over it. the reference is the product's own
// digest of an image (calculate_sha512_hash) over the same 64 MiB, as one
// file of the 16 images, in the same run.

#include <cstring>
#include <fstream>
#include <random>

#include "bench/bench_support.h"
#include "emulator/cardsim_flash.h"
#include "emulator/cardsim_sha512.h"
#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_tables.h"
#include "fwupdate/rfc.h"
#include "fwupdate/fwupdate_verify.h"

namespace {

constexpr size_t k_image = 4u << 20;
constexpr size_t k_rounds = 16;
constexpr double k_mib = 1024.0 * 1024.0;

struct images_s {
    std::string image;  // one 4 MiB image
    std::string all;    // the 16 rounds' bytes as one file
    std::string digest;
    bool ok = false;
};

const images_s& images()
{
    static images_s im;
    static bool made = false;
    if (made) {
        return im;
    }
    made = true;
    std::string dir = bench_temp_dir("fw");
    std::vector<char> bytes(k_image);
    std::mt19937_64 rng(42);
    for (size_t i = 0; i < k_image; i += 8) {
        uint64_t v = rng();
        memcpy(bytes.data() + i, &v, 8);
    }
    im.image = dir + "/zephyr.bin";
    im.all = dir + "/rounds.bin";
    std::ofstream(im.image, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    std::ofstream all(im.all, std::ios::binary);
    for (size_t r = 0; r < k_rounds; r++) {
        all.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    all.close();
    im.ok = calculate_sha512_hash(im.image, im.digest) == 0 && im.digest.size() == 128;
    return im;
}

bool bind_engine(benchmark::State& state, cardsim_host& host, const std::string& dir)
{
    host.flash(0).set_busy_polls(0);
    fwupdate_init_params_s p;
    p.card_bdf = host.card(0).card_bdf;
    p.vxc_core_bdf = host.card(0).core_bdf;
    p.oper_dir = dir + "/oper";
    p.conf_dir = dir + "/conf";
    if (fwupdate_init(p) != 0) {
        state.SkipWithError("fwupdate_init failed on the emulated card");
        return false;
    }
    return true;
}

void BM_FirmwareUpdate64MiB(benchmark::State& state)
{
    cardsim_host* host = bench_host(state);
    if (host == nullptr) {
        return;
    }
    const images_s& im = images();
    if (!im.ok) {
        state.SkipWithError("no image digest (sha512sum)");
        return;
    }
    std::string dir = bench_temp_dir("fwupdate");
    if (!bind_engine(state, *host, dir)) {
        return;
    }
    const std::string bdf = host->card(0).card_bdf;
    const bool never = false;
    const flash_partition_e part = FLASH_PARTITION_SOC_ZEPHYR;
    int failed = 0;
    for (auto _ : state) {
        for (size_t r = 0; r < k_rounds && !failed; r++) {
            if (rfc_flash_erase_based_on_hash(part, k_image, "sha512", im.digest, "1.4.1", bdf, never) != 0) {
                failed = 1;
            } else if (rfc_flash_write(part, im.image, bdf, never) != 0) {
                failed = 2;
            } else if (rfc_verify_image(part, im.image, im.digest, bdf, never) != 0) {
                failed = 3;
            }
        }
    }
    rfc_cleanup();
    if (failed) {
        state.SkipWithError(("the update failed at step " + std::to_string(failed)).c_str());
        return;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * k_rounds * k_image));
    state.counters["chunks"] = static_cast<double>(k_rounds * rfc_write_chunk_count(part, k_image));
}

// the product's digest of the same 64 MiB (sha512sum through the shell)
void BM_Sha512Reference(benchmark::State& state)
{
    const images_s& im = images();
    std::string digest;
    for (auto _ : state) {
        if (calculate_sha512_hash(im.all, digest) != 0 || digest.size() != 128) {
            state.SkipWithError("sha512sum failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * k_rounds * k_image));
}

// the emulated card's own digest, which each verify runs over the partition
void BM_CardSha512(benchmark::State& state)
{
    std::vector<uint8_t> bytes(k_image, 0x5a);
    for (auto _ : state) {
        for (size_t r = 0; r < k_rounds; r++) {
            benchmark::DoNotOptimize(cardsim_sha512::of(bytes.data(), bytes.size()));
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * k_rounds * k_image));
}

}  // namespace

BENCHMARK(BM_FirmwareUpdate64MiB)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
BENCHMARK(BM_Sha512Reference)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_CardSha512)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();
