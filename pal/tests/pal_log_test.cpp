// the layer's trace lines: the level switch, where they go before and after
// a logger is set, and how long a line may be

#include "pal/pal_log.h"
#include "pal/tests/pal_test_support.h"

namespace {

TEST(PalLog, LevelsSwitchAndDestination)
{
    testing::internal::CaptureStdout();
    pal_log(1, "before %d", 1);
    pal_log(3, "info while off");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Pal-trace before 1\n");

    pal_test_log log;
    logger_register_module_id(4);
    pal_log(0, "never");
    pal_log(2, "warn");
    pal_log(5, "verbose off");
    pal_set_log_enable(1);
    pal_log(5, "verbose on");
    pal_log(6, "too high");
    pal_set_log_enable(0);
    pal_log(4, "debug off");
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"4/2 Pal-trace warn", "4/5 Pal-trace verbose on"}));

    log.clear();
    pal_log(1, "%s", std::string(1500, 'z').c_str());
    EXPECT_EQ(log.lines(), std::vector<std::string>{"4/1 Pal-trace " + std::string(1023, 'z')});
}

}  // namespace
