// ovlog_test.cpp - the logger's threshold, filter and errno guarantee.
#include <ovplatform/ovlog.h>
#include <ovplatform/overror.h>

#include <cerrno>

#include "test_util.h"

namespace {

class LogThreshold : public ::testing::Test {
protected:
    void TearDown() override { ov_log_set_level(3); }
};

TEST_F(LogThreshold, SettingsMoveTheThresholdAsDocumented) {
    EXPECT_EQ(ov_log_level(), 3);
    EXPECT_TRUE(ov_log_at_default_level());
    ov_log_enable(0);
    EXPECT_EQ(ov_log_level(), -1);
    EXPECT_FALSE(ov_log_enabled());
    EXPECT_EQ(ov_log(0, "t", 1, "x"), -1);
    ov_log_enable(1);
    EXPECT_EQ(ov_log_level(), 3);
    ov_log_set_debug(1);
    EXPECT_EQ(ov_log_level(), 4);
    EXPECT_TRUE(ov_log_debug_enabled());
    ov_log_set_debug(0);
    EXPECT_EQ(ov_log_level(), 3);
    ov_log_set_debug_level(2);
    EXPECT_EQ(ov_log_level(), 5);
    ov_log_set_debug_level(0);
    EXPECT_EQ(ov_log_level(), 3);
    ov_log_set_debug_level(-4);
    EXPECT_EQ(ov_log_level(), 3);
    ov_log_set_level(-7);
    EXPECT_EQ(ov_log_level(), -1);
}

TEST_F(LogThreshold, UnconfiguredLoggerDropsAndKeepsErrno) {
    errno = ENOSPC;
    EXPECT_EQ(ov_log(1, "t", 1, "message %d", 1), 0);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(ov_log_kind(), OV_LOG_NONE);
}

TEST_F(LogThreshold, OpenRejectsBadArguments) {
    EXPECT_EQ(ov_log_open(OV_LOG_FILE, nullptr), EINVAL);
    std::string longpath(8193, 'a');
    EXPECT_EQ(ov_log_open(OV_LOG_FILE, longpath.c_str()), EPATHMAX);
    EXPECT_EQ(ov_log_open(OV_LOG_CALLBACK, "x"), EINVAL);
    EXPECT_EQ(ov_log_kind(), OV_LOG_NONE);
}

}  // namespace
