#include <gtest/gtest.h>

#include "aml/aml_status.h"

namespace {

TEST(AmlStatus, TextsOfEveryValue)
{
    EXPECT_EQ(aml_status_to_str(0), "OK");
    EXPECT_EQ(aml_status_to_str(1), "KOVRA ORLIX card(s) not detected");
    EXPECT_EQ(aml_status_to_str(2), "KOVRA ORLIX card's resource device not found");
    EXPECT_EQ(aml_status_to_str(5), "KOVRA ORLIX card IPC connection error");
    EXPECT_EQ(aml_status_to_str(11), "Invalid input");
    EXPECT_EQ(aml_status_to_str(15), "Message size mismatch");
    EXPECT_EQ(aml_status_to_str(21), "PCIe rescan error");
    EXPECT_EQ(aml_status_to_str(25), "Out-of-bound error");
    EXPECT_EQ(aml_status_to_str(26), "Intialization error");
    EXPECT_EQ(aml_status_to_str(255), "Generic error");
    // values without a text of their own
    for (uint32_t value : {22u, 23u, 24u, 27u, 254u, 256u, 0xffffffffu}) {
        EXPECT_EQ(aml_status_to_str(value), "Unknown error") << value;
    }
    // every value from 0 to 21 has a text
    for (uint32_t value = 0; value <= 21; value++) {
        EXPECT_NE(aml_status_to_str(value), "Unknown error") << value;
    }
}

TEST(AmlStatus, FirmwareStatusToLibraryStatus)
{
    const std::pair<uint32_t, uint32_t> mapped[] = {
        {0, 0}, {2, 11}, {3, 10}, {4, 8}, {6, 13}, {8, 25}, {11, 24},
        {39, 9}, {44, 7}, {54, 26}, {56, 15}, {62, 5}, {63, 6},
    };
    for (const auto& [ret, status] : mapped) {
        EXPECT_EQ(sdk_ret_to_aml_status(ret), status) << ret;
    }
    for (uint32_t ret : {1u, 5u, 7u, 9u, 10u, 12u, 38u, 55u, 61u, 64u, 65u, 255u, 0xffffffffu}) {
        EXPECT_EQ(sdk_ret_to_aml_status(ret), AML_STATUS_GENERIC_ERR) << ret;
    }
}

TEST(AmlStatus, LibraryStatusToFirmwareStatus)
{
    const std::pair<uint32_t, uint32_t> mapped[] = {
        {0, 0}, {5, 62}, {6, 63}, {7, 44}, {8, 4}, {9, 39}, {10, 3},
        {11, 2}, {13, 6}, {15, 56}, {24, 11}, {25, 8},
    };
    for (const auto& [status, ret] : mapped) {
        EXPECT_EQ(aml_to_sdk_ret_status(status), ret) << status;
    }
    // initialisation errors are generic on the way back
    for (uint32_t status : {1u, 2u, 12u, 14u, 16u, 21u, 26u, 255u, 1000u}) {
        EXPECT_EQ(aml_to_sdk_ret_status(status), sdk::SDK_RET_ERR) << status;
    }
}

TEST(AmlStatus, MappedStatusesRoundTrip)
{
    for (uint32_t ret = 0; ret < 64; ret++) {
        aml_status_e status = sdk_ret_to_aml_status(ret);
        if (status != AML_STATUS_GENERIC_ERR && status != AML_STATUS_INIT_ERR) {
            EXPECT_EQ(aml_to_sdk_ret_status(status), ret) << ret;
        }
    }
}

TEST(AmlStatus, FirmwareSuccessIsZeroOrEleven)
{
    EXPECT_TRUE(aml_sdk_ret_is_success(0));
    EXPECT_TRUE(aml_sdk_ret_is_success(11));
    EXPECT_FALSE(aml_sdk_ret_is_success(1));
    EXPECT_FALSE(aml_sdk_ret_is_success(24));
}

}  // namespace
