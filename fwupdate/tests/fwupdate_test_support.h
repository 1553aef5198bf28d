#pragma once

// what the update engine's tests share: the engine's headers they all use,
// the engine's messages captured, a host-only binding and the fixture of one
// emulated card

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "emulator/cardsim_flash.h"
#include "emulator/cardsim_host.h"
#include "fwupdate/fwupdate.h"
#include "fwupdate/fwupdate_archive.h"
#include "fwupdate/fwupdate_shell.h"
#include "fwupdate/fwupdate_tables.h"
#include "fwupdate/fwupdate_verify.h"
#include "fwupdate/rfc.h"
#include "fwupdate/rfc_wire.h"
#include "ipc/shell_command.h"
#include "tests/support/fw_package.h"
#include "tests/support/process_runner.h"

// the engine's messages, as a caller of the engine receives them, and an
// action run once when a message first appears (to change the world at
// that very step)
struct fw_trace_capture {
    std::vector<std::string> lines;
    std::map<std::string, std::function<void()>> on;

    static void cb(void* ctxt, trace_level_e, const char* format, ...)
    {
        char buf[4096];
        va_list args;
        va_start(args, format);
        vsnprintf(buf, sizeof(buf), format, args);
        va_end(args);
        auto* self = static_cast<fw_trace_capture*>(ctxt);
        self->lines.push_back(buf);
        const char* close = strstr(buf, "] ");
        auto it = self->on.find(close ? close + 2 : buf);
        if (it != self->on.end()) {
            auto action = std::move(it->second);
            self->on.erase(it);
            action();
        }
    }
    // true when a message (without its time stamp) is exactly text
    bool has(const std::string& text) const
    {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            size_t close = l.find("] ");
            return close != std::string::npos && l.compare(close + 2, std::string::npos, text) == 0;
        });
    }
    std::string all() const
    {
        std::string s;
        for (const auto& l : lines) {
            s += l + "\n";
        }
        return s;
    }
};

struct fw_case_name {
    template <class C>
    std::string operator()(const ::testing::TestParamInfo<C>& info) const
    {
        return info.param.name;
    }
};

// binds the calling thread's engine state to folders of a test, without a
// card: enough for the host-side steps
inline void fw_bind_host_only(const test_temp_dir& dir, fw_trace_capture& trace, const std::string& bdf = "0000:20:00.0")
{
    auto& g = fwupdate_globals();
    auto& tls = fwupdate_tls();
    g.oper_dir = dir.file("oper");
    g.conf_dir = dir.file("conf");
    g.asic_name = "talmira";
    g.fwupdate_trace_cb = fw_trace_capture::cb;
    g.fwupdate_trace_level = trace_level_verbose;
    g.rfc_trace_cb = fw_trace_capture::cb;
    g.rfc_trace_level = trace_level_verbose;
    tls.fwupdate_trace_cb_ctxt = &trace;
    tls.rfc_trace_cb_ctxt = &trace;
    tls.vmb_bdf = bdf;
    tls.fwupgrade_bdf_dir = g.oper_dir + "/fwupgrade/" + bdf + "/";
    tls.dev_oper_dir = g.oper_dir + "/" + bdf + "/";
    for (const auto& d : {tls.fwupgrade_bdf_dir, g.conf_dir + "/" + bdf + "/", tls.dev_oper_dir}) {
        std::filesystem::create_directories(d);
    }
}

// one emulated card the engine drives from the test's thread, and the test's
// folders; Base is ::testing::Test or a ::testing::TestWithParam<...>. the
// card answers polled operations at once and has the board of the test
// packages (tests/support/fw_package.h)
template <class Base>
class fw_emulated_card : public Base {
protected:
    static constexpr uint32_t k_board = 0x00000a01;

    void SetUp() override
    {
        ASSERT_TRUE(host.ok()) << host.error();
        host.flash(0).set_busy_polls(0);
        host.flash(0).set_board_id(k_board);
        unsetenv("ORLIX_SUC_UPDATE");
    }
    void TearDown() override { rfc_cleanup(); }

    // what a library operation does first: start the engine on the card
    int init()
    {
        fwupdate_init_params_s p;
        p.card_bdf = host.card(0).card_bdf;
        p.vxc_core_bdf = host.card(0).core_bdf;
        p.oper_dir = dir.file("oper");
        p.conf_dir = dir.file("conf");
        p.trace_level = trace_level_verbose;
        p.trace_cb = fw_trace_capture::cb;
        p.trace_cb_ctxt = &trace;
        return fwupdate_init(p);
    }

    int update(firmware_update_req_s& req)
    {
        progress = 0;
        status.clear();
        return firmware_update(&req, &progress, status);
    }
    uint64_t requests() { return host.firmware(0).requests(); }
    std::string bytes(uint32_t partition) const
    {
        auto b = host.partition_bytes(0, partition);
        return std::string(b.begin(), b.end());
    }
    std::string bytes(const std::string& partition) const { return bytes(flash_partition_from_name(partition)); }

    // the card after a reboot, as the engine sees it: running image and version
    void expect_runs(uint32_t image, const std::string& version)
    {
        static const char* const letters[] = {"A", "B", "G"};
        ASSERT_EQ(host.reset_card(0), image) << trace.all();
        ASSERT_EQ(init(), 0) << trace.all();
        auto& tls = fwupdate_tls();
        ASSERT_EQ(rfc_version_info_get(tls.vmb_bdf, nullptr, &tls.image_version_info), 0);
        EXPECT_EQ(tls.card_info.soc_running, letters[image]);
        EXPECT_EQ(rfc_running_version(tls.card_info, tls.image_version_info), version);
    }

    bool flash_untouched() const
    {
        for (uint32_t p = 0; p < FLASH_PARTITION_MAX; p++) {
            if (!host.partition_bytes(0, p).empty()) {
                return false;
            }
        }
        return true;
    }

    cardsim_host host{{1, {}, 0}};
    test_temp_dir dir{"fwupdate-emu"};
    fw_trace_capture trace;
    uint8_t progress = 0;
    std::string status;
};
