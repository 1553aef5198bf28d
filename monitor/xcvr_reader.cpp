// reads the modules' diagnostic pages of a card for the scrape

#include "monitor/xcvr_reader.h"

#include <algorithm>
#include <functional>
#include <system_error>
#include <thread>

#include "monitor/orlixmon_state.h"
#include "monitor/orlixmon_trace.h"
#include "monitor/worker.h"
#include "pal/pal_cpld.h"
#include "pal/pal_qsfp.h"

namespace {

constexpr uint32_t k_eth_type = 1;
constexpr uint32_t k_retries = 1;
// until the first cards are known a pass comes at least this often
constexpr int64_t k_no_card_wait_ns = 1000000000;

// one cage: its presence, then its lower memory, then (paged memory only)
// the thresholds of page 3, every read under the host-wide transceiver
// lock. page 0 is selected again afterwards, as a module starts
orlixmon_xcvr_diag_s read_cage(uint32_t cage, bool& asked)
{
    orlixmon_xcvr_diag_s d;
    d.port = cage;
    const int present = pal_is_qsfp_port_psnt(static_cast<int>(cage));
    asked = present >= 0;
    d.present = present > 0;
    if (!d.present) {
        return d;
    }
    uint8_t lower[ORLIXMON_XCVR_PAGE_SIZE], page3[ORLIXMON_XCVR_PAGE_SIZE];
    if (pal_qsfp_read_page(lower, sizeof lower, 0, PAL_QSFP_LOWER_PAGE, k_retries, cage) != 0) {
        ORLIXMON_TRACE_DEBUG("transceiver {}: lower memory unreadable", cage);
        return d;
    }
    bool thresholds = false;
    if (!orlixmon_xcvr_flat_memory(lower)) {
        thresholds = pal_qsfp_read_page(page3, sizeof page3, ORLIXMON_XCVR_PAGE_SIZE, ORLIXMON_XCVR_THRESHOLD_PAGE,
                                        k_retries, cage) == 0;
        const uint8_t page0 = 0;
        (void)pal_qsfp_write_page(&page0, 1, PAL_QSFP_PAGE_SELECT_OFFSET, PAL_QSFP_LOWER_PAGE, k_retries, cage);
    }
    orlixmon_xcvr_decode(lower, thresholds ? page3 : nullptr, d);
    return d;
}

struct card_job_s {
    orlixmon_card_ctxt_s* ctxt;
    std::vector<uint32_t> cages;
};

}  // namespace

std::vector<uint32_t> orlixmon_xcvr_cages(const std::vector<uint32_t>& port_ifindexes)
{
    std::vector<uint32_t> cages;
    for (uint32_t ifindex : port_ifindexes) {
        const uint32_t parent = (ifindex >> 16) & 0xff;
        if ((ifindex >> 28) == k_eth_type && parent != 0 &&
            std::find(cages.begin(), cages.end(), parent) == cages.end()) {
            cages.push_back(parent);
        }
    }
    return cages;
}

std::vector<orlixmon_xcvr_diag_s> orlixmon_xcvr_read_card(const std::string& bdf, const std::vector<uint32_t>& cages)
{
    std::vector<orlixmon_xcvr_diag_s> out;
    if (pal_ipc_channel_open(bdf.c_str()) != 0) {
        ORLIXMON_TRACE_DEBUG("ORLIX {} - no channel for the transceivers", bdf);
        return out;
    }
    for (uint32_t cage : cages) {
        bool asked = false;
        orlixmon_xcvr_diag_s d = read_cage(cage, asked);
        if (asked) {
            out.push_back(d);
        }
    }
    pal_ipc_channel_close();
    return out;
}

int orlixmon_xcvr_reader(uint64_t interval_us)
{
    ORLIXMON_TRACE_INFO("Reading transceiver diagnostics every {} s", interval_us / 1000000);
    while (g_orlixmon_state.running()) {
        std::vector<card_job_s> jobs;
        g_orlixmon_state.for_each_card([&](orlixmon_card_ctxt_s& ctxt) {
            std::vector<uint32_t> ifindexes;
            {
                std::lock_guard<std::mutex> lock(ctxt.lists_mutex);
                for (const auto& port : ctxt.ports) {
                    ifindexes.push_back(port.ifindex);
                }
            }
            std::lock_guard<std::mutex> lock(ctxt.mutex);
            if (!ctxt.card_down && ctxt.metrics.present.load()) {
                jobs.push_back({&ctxt, orlixmon_xcvr_cages(ifindexes)});
            }
        });
        // every card at once, each on a thread of its own: a pass takes as
        // long as its slowest card
        std::vector<std::thread> threads;
        for (auto& job : jobs) {
            auto run = [&job] { job.ctxt->metrics.set_xcvrs(orlixmon_xcvr_read_card(job.ctxt->card.bdf, job.cages)); };
            try {
                threads.emplace_back(run);
            } catch (const std::system_error&) {
                run();
            }
        }
        for (auto& thread : threads) {
            thread.join();
        }
        const int64_t wait_ns = jobs.empty() ? std::min<int64_t>(k_no_card_wait_ns, interval_us * 1000)
                                             : static_cast<int64_t>(interval_us) * 1000;
        g_orlixmon_state.wait_running(orlixmon_monotonic_ns() + wait_ns);
    }
    return 0;
}
