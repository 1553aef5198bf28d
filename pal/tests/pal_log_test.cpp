// the layer's trace lines: the level switch, where they go before and after
// a logger is set, and how long a line may be

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "log/module_trace.h"
#include "pal/pal_log.h"

namespace {

std::vector<std::string> g_seen;

int recording_cb(uint32_t mod_id, uint32_t level, const char* format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    g_seen.push_back(std::to_string(mod_id) + "/" + std::to_string(level) + " " + text);
    return 0;
}

// the module id is process-wide once set: one test, in order
TEST(PalLog, LevelsSwitchAndDestination)
{
    testing::internal::CaptureStdout();
    pal_log(1, "before %d", 1);
    pal_log(3, "info while off");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Pal-trace before 1\n");

    logger_init(recording_cb);
    logger_register_module_id(4);
    pal_log(0, "never");
    pal_log(2, "warn");
    pal_log(5, "verbose off");
    pal_set_log_enable(1);
    pal_log(5, "verbose on");
    pal_log(6, "too high");
    pal_set_log_enable(0);
    pal_log(4, "debug off");
    EXPECT_EQ(g_seen, (std::vector<std::string>{"4/2 Pal-trace warn", "4/5 Pal-trace verbose on"}));

    g_seen.clear();
    pal_log(1, "%s", std::string(1500, 'z').c_str());
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_seen[0], "4/1 Pal-trace " + std::string(1023, 'z'));
    logger_init(nullptr);
}

}  // namespace
