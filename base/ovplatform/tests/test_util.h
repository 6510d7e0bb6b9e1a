// test_util.h - helpers shared by the test programs.
#pragma once

#include <gtest/gtest.h>
#include <ovplatform/overror.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace ovtest {

// Prints the code's name and message when a call does not return 0.
#define ASSERT_OV_OK(expr)                                                          \
    do {                                                                            \
        int32_t ov_rc_ = (expr);                                                    \
        char ov_buf_[256];                                                          \
        ASSERT_EQ(ov_rc_, 0) << #expr << ": " << ov_error_name(ov_rc_) << " ("      \
                             << ov_error_text(ov_rc_, ov_buf_, sizeof ov_buf_) << ")"; \
    } while (0)
#define EXPECT_OV_OK(expr)                                                          \
    do {                                                                            \
        int32_t ov_rc_ = (expr);                                                    \
        char ov_buf_[256];                                                          \
        EXPECT_EQ(ov_rc_, 0) << #expr << ": " << ov_error_name(ov_rc_) << " ("      \
                             << ov_error_text(ov_rc_, ov_buf_, sizeof ov_buf_) << ")"; \
    } while (0)

// A fresh directory per test, removed with everything in it afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "ovtest.XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        // Give back permissions a test may have taken away, then remove.
        for (auto &e : std::filesystem::recursive_directory_iterator(
                 dir_, std::filesystem::directory_options::skip_permission_denied, ec)) {
            if (e.is_directory(ec) && !e.is_symlink(ec))
                std::filesystem::permissions(e.path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ec);
        }
        std::filesystem::remove_all(dir_, ec);
    }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    std::string dir_;
};

}  // namespace ovtest
