// ovplatform_test.cpp - host identity and signal names.
#include <ovplatform/ovlog.h>
#include <ovplatform/ovplatform.h>

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

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

TEST(PlatformSignals, NamesOfNumbers) {
    const struct {
        int number;
        const char *name;
    } cases[] = {
        {1, "SIGHUP"},          {6, "SIGABRT"},         {10, "SIGUSR1"},
        {11, "SIGSEGV"},        {12, "SIGUSR2"},        {15, "SIGTERM"},
        {17, "SIGCHLD"},        {29, "SIGPOLL"},        {31, "SIGSYS"},
        {0, "UNKNOWN SIGNAL"},  {-1, "UNKNOWN SIGNAL"}, {16, "UNKNOWN SIGNAL"},
        {30, "UNKNOWN SIGNAL"}, {32, "UNKNOWN SIGNAL"}, {64, "UNKNOWN SIGNAL"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_STREQ(ov_platform_signal_name(c.number), c.name);
    }
}

TEST(PlatformSignals, NumbersOfNames) {
    const struct {
        const char *name;
        int number;
    } cases[] = {
        {"hup", 1},        {"SIGHUP", 1},
        {"SigHup", 1},     {"sigint", 2},
        {"iot", 6},        {"SIGIOT", 6},
        {"abrt", 6},       {"io", 29},
        {"SIGIO", 29},     {"poll", 29},
        {"SIGPOLL", 29},   {"segv", 11},
        {"SIGVTALRM", 26}, {"sys", 31},
        {"SIGSEGVX", -1},  {"SIGSEGV ", -1},
        {"SEG", -1},       {"SIG", -1},
        {"", -1},          {"SIGSIGHUP", -1},
        {"STKFLT", -1},    {"UNKNOWN SIGNAL", -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ov_platform_signal_number(c.name), c.number);
    }
    EXPECT_EQ(ov_platform_signal_number(nullptr), -1);
}

TEST(PlatformSignals, EveryNameLeadsBackToItsNumber) {
    for (int number = 1; number < 32; ++number) {
        const char *name = ov_platform_signal_name(number);
        if (std::strcmp(name, "UNKNOWN SIGNAL") == 0) continue;
        SCOPED_TRACE(name);
        EXPECT_EQ(ov_platform_signal_number(name), number);
        EXPECT_EQ(ov_platform_signal_number(name + 3), number);
    }
}

// Log messages as "level|source|text".
std::vector<std::string> *g_logged = nullptr;
void collect_log(uint32_t level, const char *file, int /*line*/, const char *format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    g_logged->push_back(std::to_string(level) + "|" + (file != nullptr ? file : "") + "|" + text);
}

TEST(PlatformSignals, OnlyAnUnknownNameIsLogged) {
    std::vector<std::string> logged;
    g_logged = &logged;
    ASSERT_OV_OK(ov_log_set_callback(collect_log));
    EXPECT_EQ(ov_platform_signal_number("segv"), 11);
    EXPECT_EQ(ov_platform_signal_number("SIGSEGVX"), -1);
    EXPECT_OV_OK(ov_log_close());
    g_logged = nullptr;
    EXPECT_EQ(logged, std::vector<std::string>{
                          "1|base/ovplatform/src/ovplatform|unrecognized signame SIGSEGVX"});
}

}  // namespace
