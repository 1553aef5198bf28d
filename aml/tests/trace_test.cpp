#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "aml/aml_trace.h"
#include "tests/support/process_runner.h"

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

    // long messages are cut; no context is harmless
    ctxt = {};
    std::string long_text(5000, 'x');
    aml_firmware_trace_cb(&ctxt, trace_level_err, "%s", long_text.c_str());
    EXPECT_EQ(ctxt.messages, std::string(1023, 'x') + "\n");
    EXPECT_EQ(ctxt.last_error, std::string(1023, 'x'));
    aml_firmware_trace_cb(nullptr, trace_level_err, "%s", "nobody listens");

    // levels outside one to five only reach the log file
    test_temp_dir dir("aml-trace");
    const std::string path = dir.file("log");
    ctxt = {};
    ctxt.log_file = fopen(path.c_str(), "w");
    ASSERT_NE(ctxt.log_file, nullptr);
    aml_firmware_trace_cb(&ctxt, trace_level_none, "silent %d", 0);
    aml_firmware_trace_cb(&ctxt, static_cast<trace_level_e>(6), "too verbose");
    aml_firmware_trace_cb(&ctxt, trace_level_warn, "warned");
    EXPECT_EQ(ctxt.messages, "warned\n");
    EXPECT_TRUE(ctxt.last_error.empty());
    // flushed at every message: readable before the file is closed
    EXPECT_EQ(test_read_file(path), "silent 0\ntoo verbose\nwarned\n");
    fclose(ctxt.log_file);
}

}  // namespace
