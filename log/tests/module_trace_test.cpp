// the module trace callback slot and the per-thread module ids

#include <gtest/gtest.h>

#include <thread>

#include "log/module_trace.h"

namespace {

int g_seen_level = 0;
int recording_cb(uint32_t, uint32_t level, const char*, ...)
{
    g_seen_level = static_cast<int>(level);
    return 0;
}

// no callback: stdout, a message cut at 1023 bytes
TEST(ModuleTrace, CallbackSlotFallsBackToStdout)
{
    EXPECT_EQ(logger_trace_cb(), &stdout_logger_cb_);
    testing::internal::CaptureStdout();
    logger_trace_cb()(0, 3, "%s", std::string(2000, 'a').c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(1023, 'a') + "\n");
    logger_init(recording_cb);
    EXPECT_TRUE(logger_is_trace_cb_set());
    logger_trace_cb()(1, 2, "x");
    EXPECT_EQ(g_seen_level, 2);
    logger_init(nullptr);
    EXPECT_FALSE(logger_is_trace_cb_set());
    EXPECT_EQ(logger_trace_cb(), &stdout_logger_cb_);
}

// one test: the process-wide default is set once
TEST(ModuleTrace, ModuleIdsPerThreadWithFirstAsDefault)
{
    EXPECT_EQ(logger_get_module_id(), UINT32_MAX);
    std::thread([] { logger_register_module_id(7); }).join();
    EXPECT_EQ(logger_get_module_id(), 7u);
    logger_register_module_id(5);
    EXPECT_EQ(logger_get_module_id(), 5u);
    uint32_t other = 0;
    std::thread([&] {
        logger_register_module_id(9);
        other = logger_get_module_id();
    }).join();
    EXPECT_EQ(other, 9u);
    EXPECT_EQ(logger_get_module_id(), 5u);
    std::thread([&] { other = logger_get_module_id(); }).join();
    EXPECT_EQ(other, 7u);
}

}  // namespace
