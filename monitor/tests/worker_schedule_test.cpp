// the tickless worker polls on its grid: every poll at its instant (start +
// n x period, LIF and port each on its own period), a pass that overruns
// followed by one poll of what it missed and then the grid again, nothing
// while the card is parked, a new grid from a restart, and a stop that ends
// a long sleep at once. the instants are recorded by the counter readers
// (the start of each poll) on the monotonic clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "emulator/cardsim_host.h"
#include "ipc/nic_ipc.h"
#include "monitor/orlixmon_schedule.h"
#include "monitor/orlixmon_state.h"
#include "monitor/worker.h"
#include "tests/support/process_runner.h"

namespace {

using std::chrono::milliseconds;

// taken once: the periods and the tolerance must grow alike in a test
int64_t scale()
{
    static const int64_t s = test_timeout_scale();
    return s;
}
int64_t ms(int64_t n) { return n * 1000000 * scale(); }
// how late a poll may start (see the cases)
int64_t tolerance() { return ms(40); }

struct poll_s {
    orlixmon_telemetry_record_type_s kind;
    int64_t at_ns;
};

// what the readers see; written by the worker thread alone while it runs
struct recorder_s {
    std::vector<poll_s> polls;
    orlixmon_card_ctxt_s* ctxt = nullptr;
    int lif_polls = 0;
    int overrun_at = -1;  // this LIF poll takes overrun_ns
    int64_t overrun_ns = 0;
    int64_t overrun_end = 0;
    int park_at = -1;  // the card goes down during this LIF poll
    std::atomic<bool> parked{false};
};
recorder_s g_rec;

template <orlixmon_telemetry_record_type_s kind>
int read_as(orlixmon_card_ctxt_s&, pipeline_monitor_info_s&, size_t index, uint64_t, orlixmon_telemetry_record_s&,
            orlixmon_telemetry_record_s&)
{
    if (index != 0) {
        return 0;
    }
    g_rec.polls.push_back({kind, orlixmon_monotonic_ns()});
    if (kind != ORLIXMON_RECORD_TYPE_LIF) {
        return 0;
    }
    const int n = g_rec.lif_polls++;
    if (n == g_rec.overrun_at) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(g_rec.overrun_ns));
        g_rec.overrun_end = orlixmon_monotonic_ns();
    }
    if (n == g_rec.park_at) {
        // as the health checker marks a card down
        std::lock_guard<std::mutex> lock(g_rec.ctxt->mutex);
        g_rec.ctxt->card_down = true;
        g_rec.ctxt->cond.notify_all();
        g_rec.parked = true;
    }
    return 0;
}
int no_export(orlixmon_card_ctxt_s&, orlixmon_telemetry_record_s&) { return 0; }

struct schedule_case_s {
    const char* name;
    int64_t lif_ms, port_ms;  // periods, before the scale
    int64_t run_ms;           // of each run
    int overrun_at;           // the LIF poll that takes overrun_ms; -1: none
    int64_t overrun_ms;
    int park_at;              // the LIF poll whose pass marks the card down; -1: none
};

void PrintTo(const schedule_case_s& c, std::ostream* os) { *os << c.name; }

// the periods keep every instant of one kind away from the other's instants
// near an overrun or a park. the tolerance of a poll's lateness (40 ms, times
// the sanitizer scale like the periods) is a loaded host's wake-up latency
// with room to spare and still far below what a drift adds up to: a period
// counted in 100 us passes runs late by every pass's lateness, milliseconds
// per period
const schedule_case_s k_cases[] = {
    {"PeriodsThatDiffer", 60, 100, 700, -1, 0, -1},
    {"PassThatOverruns", 60, 100, 700, 3, 200, -1},
    {"ParkedAndRestarted", 60, 100, 500, -1, 0, 4},
    {"StopEndsALongSleep", 3600000, 3600000, 100, -1, 0, -1},
};

class WorkerSchedule : public ::testing::TestWithParam<schedule_case_s> {
protected:
    static void SetUpTestSuite()
    {
        orlixmon_init_params_s params;
        ASSERT_EQ(g_orlixmon_state.init(&params), 0);  // the running flag the loop tests
    }

    void SetUp() override
    {
        ASSERT_TRUE(host().ok()) << host().error();
        const cardsim_card_info_s& card = host().card(0);
        ctxt.card = {nic_ipc_uuid_from_serial(card.serial), card.card_bdf};
        ctxt.lifs = {{"lif-id-0", "lif0", 1, cardsim_lif_block(0)}, {"lif-id-1", "lif1", 2, cardsim_lif_block(1)}};
        ctxt.ports = {{"port-id-1", "eth1/1", cardsim_ifindex(CARDSIM_IFTYPE_ETH, 1, 1), 1, CARDSIM_PORT_REGION,
                       CARDSIM_PORT_REGION_SIZE}};
        info.record_types = {ORLIXMON_RECORD_TYPE_LIF, ORLIXMON_RECORD_TYPE_PORT};
        info.export_cb = no_export;
        info.lif_counters_read = read_as<ORLIXMON_RECORD_TYPE_LIF>;
        info.port_counters_read = read_as<ORLIXMON_RECORD_TYPE_PORT>;
        const schedule_case_s& c = GetParam();
        g_orlixmon_schedule.lif_poll = static_cast<uint64_t>(ms(c.lif_ms) / ORLIXMON_TICK_NS);
        g_orlixmon_schedule.port_poll = static_cast<uint64_t>(ms(c.port_ms) / ORLIXMON_TICK_NS);
        g_rec.polls.clear();
        g_rec.ctxt = &ctxt;
        g_rec.lif_polls = 0;
        g_rec.overrun_at = c.overrun_at, g_rec.overrun_ns = ms(c.overrun_ms), g_rec.overrun_end = 0;
        g_rec.park_at = c.park_at, g_rec.parked = false;
    }

    static cardsim_host& host()
    {
        static cardsim_host h{{1, {}, 0}};
        return h;
    }

    // a worker thread as discovery starts one; t0 is taken before its loop
    // takes its own start, so no instant of the loop comes before t0 + n x period
    void start_worker()
    {
        done = false;
        worker = std::thread([this] {
            ASSERT_EQ(orlixmon_card_sdk_init(&ctxt.card), 0);
            t0 = orlixmon_monotonic_ns();
            orlixmon_worker_loop(ctxt, info, ORLIXMON_WORKER_WAIT_TICKLESS);
            done = true;
        });
    }

    // the restart handshake: the worker ends however long it meant to sleep
    void stop_worker()
    {
        {
            std::lock_guard<std::mutex> lock(ctxt.mutex);
            ctxt.stop = true;
        }
        ctxt.cond.notify_all();
        bool ended = test_wait_until([&] { return done.load(); }, milliseconds(5000));
        EXPECT_TRUE(ended) << "the stop did not wake the worker";
        ended ? worker.join() : worker.detach();
        std::lock_guard<std::mutex> lock(ctxt.mutex);
        ctxt.stop = false;
        ctxt.card_down = false;
    }

    struct window_s {
        int64_t from, to;  // the instants in (from, to] were missed: one poll at to
    };

    // the instants of one kind from t0 up to cut (inclusive), those inside
    // the busy window folded into one at its end
    static std::vector<int64_t> instants(int64_t t0, int64_t period, int64_t cut, const window_s& busy)
    {
        std::vector<int64_t> out;
        bool folded = false;
        for (int64_t at = t0; at <= cut; at += period) {
            if (at > busy.from && at <= busy.to) {
                if (!folded) {
                    out.push_back(busy.to);
                }
                folded = true;
            } else {
                out.push_back(at);
            }
        }
        return out;
    }

    // the polls of kind in [begin, end) land on the instants, none early and
    // none later than the tolerance; any further poll comes at tail_from or later
    void expect_on_grid(size_t begin, size_t end, orlixmon_telemetry_record_type_s kind,
                        const std::vector<int64_t>& want, int64_t tail_from)
    {
        std::vector<int64_t> got;
        for (size_t i = begin; i < end; i++) {
            if (g_rec.polls[i].kind == kind) {
                got.push_back(g_rec.polls[i].at_ns);
            }
        }
        const char* what = kind == ORLIXMON_RECORD_TYPE_LIF ? "LIF" : "port";
        ASSERT_GE(got.size(), want.size()) << what << " polls missing";
        for (size_t n = 0; n < want.size(); n++) {
            EXPECT_GE(got[n], want[n]) << what << " poll " << n << " came early";
            EXPECT_LE(got[n], want[n] + tolerance())
                << what << " poll " << n << " came " << (got[n] - want[n]) / 1000 << " us after its instant";
        }
        for (size_t n = want.size(); n < got.size(); n++) {
            EXPECT_GE(got[n], tail_from) << what << " poll " << n << " has no instant";
        }
    }

    orlixmon_card_ctxt_s ctxt;
    pipeline_monitor_info_s info;
    std::thread worker;
    std::atomic<bool> done{false};
    int64_t t0 = 0;
};

TEST_P(WorkerSchedule, PollsLandOnTheirInstants)
{
    const schedule_case_s& c = GetParam();
    const int64_t lif = ms(c.lif_ms), port = ms(c.port_ms);
    window_s busy{0, 0};
    size_t first_run_end = 0;
    int64_t first_t0 = 0;
    if (c.park_at >= 0) {
        start_worker();
        ASSERT_TRUE(test_wait_until([] { return g_rec.parked.load(); }, milliseconds(10000)));
        // parked: nothing polls for a few periods
        std::this_thread::sleep_for(std::chrono::nanoseconds(3 * lif));
        stop_worker();
        first_run_end = g_rec.polls.size();
        first_t0 = t0;
    }
    start_worker();
    std::this_thread::sleep_for(std::chrono::nanoseconds(ms(c.run_ms)));
    const int64_t stopped = orlixmon_monotonic_ns();
    stop_worker();
    if (c.overrun_at >= 0) {
        busy = {t0 + c.overrun_at * lif, g_rec.overrun_end};
    }

    if (c.park_at >= 0) {
        // the first run polled up to the pass that parked it, and not after
        const int64_t park = first_t0 + c.park_at * lif;
        expect_on_grid(0, first_run_end, ORLIXMON_RECORD_TYPE_LIF, instants(first_t0, lif, park, {0, 0}), INT64_MAX);
        expect_on_grid(0, first_run_end, ORLIXMON_RECORD_TYPE_PORT, instants(first_t0, port, park, {0, 0}), INT64_MAX);
    }
    // the last run: a grid of its own from its start; what falls too close
    // to the stop may or may not have run
    const int64_t cut = stopped - tolerance();
    expect_on_grid(first_run_end, g_rec.polls.size(), ORLIXMON_RECORD_TYPE_LIF, instants(t0, lif, cut, busy), cut);
    expect_on_grid(first_run_end, g_rec.polls.size(), ORLIXMON_RECORD_TYPE_PORT, instants(t0, port, cut, busy), cut);
}

INSTANTIATE_TEST_SUITE_P(Tickless, WorkerSchedule, ::testing::ValuesIn(k_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
