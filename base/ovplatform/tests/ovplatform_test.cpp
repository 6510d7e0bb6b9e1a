// ovplatform_test.cpp - host identity.
#include <ovplatform/ovplatform.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "test_util.h"

namespace {

std::string system_hostname() {
    char name[256] = {};
    EXPECT_EQ(gethostname(name, sizeof name - 1), 0);
    return name;
}

TEST(PlatformHostname, IsTheSystemHostNameWithNothingAdded) {
    char buffer[8192];
    std::memset(buffer, 'x', sizeof buffer);
    ASSERT_OV_OK(ov_platform_hostname(buffer, sizeof buffer));
    // Exactly the system's name: no domain (from getdomainname or a resolver)
    // is appended, so on a host whose name has no dot the result has none.
    EXPECT_FALSE(std::string(buffer).empty());
    EXPECT_EQ(std::string(buffer), system_hostname());
}

TEST(PlatformHostname, SmallBuffers) {
    const std::string system = system_hostname();
    ASSERT_FALSE(system.empty());

    // Exactly room for the name and its NUL.
    std::string exact(system.size() + 1, 'x');
    ASSERT_OV_OK(ov_platform_hostname(exact.data(), exact.size()));
    EXPECT_STREQ(exact.c_str(), system.c_str());

    // One byte short: refused, and the buffer is left empty rather than
    // holding an unterminated part of the name.
    std::string shorter(system.size(), 'x');
    EXPECT_EQ(ov_platform_hostname(shorter.data(), shorter.size()), ENAMETOOLONG);
    EXPECT_EQ(shorter[0], '\0');

    char untouched = 'x';
    EXPECT_EQ(ov_platform_hostname(&untouched, 0), ENAMETOOLONG);
    EXPECT_EQ(untouched, 'x');

    EXPECT_EQ(ov_platform_hostname(nullptr, 64), EINVAL);
}

}  // namespace
