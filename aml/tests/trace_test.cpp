#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "aml/aml_trace.h"

namespace {

TEST(AmlTrace, GathersMessagesAndTheLastError)
{
    aml_fwupdate_trace_cb_ctxt_s ctxt;
    aml_firmware_trace_cb(&ctxt, trace_level_info, "[%s] step %d", "Thu_Dec__4", 1);
    aml_firmware_trace_cb(&ctxt, trace_level_err, "[%s] flash %s failed", "Thu_Dec__4", "fw-a");
    aml_firmware_trace_cb(&ctxt, trace_level_verbose, "detail");
    aml_firmware_trace_cb(&ctxt, trace_level_err, "[stamp] second failure");
    EXPECT_EQ(ctxt.messages,
              "[Thu_Dec__4] step 1\n[Thu_Dec__4] flash fw-a failed\ndetail\n[stamp] second failure\n");
    EXPECT_EQ(ctxt.last_error, "second failure");
}

TEST(AmlTrace, LevelsOutsideOneToFiveOnlyReachTheLogFile)
{
    char path[] = "/tmp/aml-trace-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    aml_fwupdate_trace_cb_ctxt_s ctxt;
    ctxt.log_file = fopen(path, "w");
    ASSERT_NE(ctxt.log_file, nullptr);
    aml_firmware_trace_cb(&ctxt, trace_level_none, "silent %d", 0);
    aml_firmware_trace_cb(&ctxt, static_cast<trace_level_e>(6), "too verbose");
    aml_firmware_trace_cb(&ctxt, trace_level_warn, "warned");
    EXPECT_EQ(ctxt.messages, "warned\n");
    EXPECT_TRUE(ctxt.last_error.empty());
    // flushed at every message: readable before the file is closed
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "silent 0\ntoo verbose\nwarned\n");
    fclose(ctxt.log_file);
    unlink(path);
}

TEST(AmlTrace, LongMessagesAreCutAndNoContextIsHarmless)
{
    aml_fwupdate_trace_cb_ctxt_s ctxt;
    std::string long_text(5000, 'x');
    aml_firmware_trace_cb(&ctxt, trace_level_err, "%s", long_text.c_str());
    EXPECT_EQ(ctxt.messages, std::string(1023, 'x') + "\n");
    EXPECT_EQ(ctxt.last_error, std::string(1023, 'x'));
    aml_firmware_trace_cb(nullptr, trace_level_err, "%s", "nobody listens");
}

}  // namespace
