#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "aml/aml_card_validate.h"
#include "aml/aml_state.h"
#include "tests/support/process_runner.h"

namespace fs = std::filesystem;

// every test runs in its own process (one ctest entry each), so each sees the
// library uninitialised

namespace {

class AmlState : public ::testing::Test {
protected:
    void SetUp() override { unsetenv("AML_TEST_ENV"); }
    aml_init_params_s params(const std::string& oper, const std::string& conf, bool skip = false)
    {
        return {(root_ / oper).string(), (root_ / conf).string(), skip};
    }
    test_temp_dir dir_{"aml-state"};
    fs::path root_ = dir_.path();
};

// defaults until initialised; a folder that cannot be made leaves the
// library uninitialised; a good init takes its folders and the second one
// keeps them
TEST_F(AmlState, InitTakesItsFoldersOnceAndAFailureLeavesItUninitialised)
{
    auto dirs = [] { return aml_oper_dir() + "|" + aml_conf_dir(); };
    EXPECT_EQ(dirs(), "/tmp/orlix/|/etc/kovra/orlix/");
    EXPECT_FALSE(g_aml_state.skip_ipc_errno_check);

    test_write_file(dir_.file("file"), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(aml_init(params("oper", "file/conf")), AML_STATUS_GENERIC_ERR);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(test_has(err, "Failed to create directory " + (root_ / "file/conf").string() + ", err - ")) << err;
    EXPECT_FALSE(g_aml_state.initialised);
    EXPECT_EQ(aml_conf_dir(), "/etc/kovra/orlix/");

    auto p = params("oper dir", "conf;dir", true);
    ASSERT_EQ(aml_init(p), AML_STATUS_OK);
    EXPECT_TRUE(g_aml_state.initialised);
    EXPECT_EQ(dirs(), p.oper_dir + "|" + p.conf_dir);
    EXPECT_TRUE(g_aml_state.skip_ipc_errno_check);
    EXPECT_TRUE(fs::is_directory(p.oper_dir) && fs::is_directory(p.conf_dir));

    auto second = params("oper2", "conf2", false);
    EXPECT_EQ(aml_init(second), AML_STATUS_OK);
    EXPECT_EQ(dirs(), p.oper_dir + "|" + p.conf_dir);
    EXPECT_TRUE(g_aml_state.skip_ipc_errno_check) << "the second init changes nothing";
    EXPECT_FALSE(fs::exists(second.oper_dir));
}

// the setting is read by a validation, per thread, and refuses initialisation
TEST_F(AmlState, TestSettingFromAValidationRefusesInit)
{
    setenv("AML_TEST_ENV", "1", 1);
    EXPECT_EQ(g_aml_test_env, 0) << "init itself does not read the environment";
    aml_card_handle_s card{"NOT-A-UUID", ""};
    EXPECT_EQ(aml_card_handle_validate(&card), AML_STATUS_INVALID_INPUT);
    EXPECT_EQ(g_aml_test_env, 1);
    int other = -1;
    std::thread([&] { other = g_aml_test_env; }).join();
    EXPECT_EQ(other, 0);
    EXPECT_EQ(aml_init(params("oper", "conf")), AML_STATUS_INVALID_INPUT);
    EXPECT_FALSE(g_aml_state.initialised);
    EXPECT_FALSE(fs::exists(root_ / "oper"));
    // text that is no number counts as no setting
    for (const char* junk : {"junk", "99999999999999999999"}) {
        setenv("AML_TEST_ENV", junk, 1);
        aml_card_handle_validate(&card);
        EXPECT_EQ(g_aml_test_env, 0) << junk;
    }
}

}  // namespace
