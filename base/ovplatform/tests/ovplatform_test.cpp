// ovplatform_test.cpp - host identity, account look-ups and signal names.
#include <ovplatform/ovlog.h>
#include <ovplatform/ovplatform.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "internal/account.h"
#include "internal/descriptors.h"
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

// ---------------------------------------------------------------------------
// Account look-ups (internal, used by the file, path and identity modules)
// ---------------------------------------------------------------------------

TEST(AccountLookup, FindsUsersAndGroupsByNameAndId) {
    using namespace ov::detail;
    UserEntry user;
    ASSERT_OV_OK(find_user_by_id(0, &user));
    ASSERT_NE(user.get(), nullptr);
    EXPECT_STREQ(user.get()->pw_name, "root");
    UserEntry by_name;
    ASSERT_OV_OK(find_user_by_name("root", &by_name));
    ASSERT_NE(by_name.get(), nullptr);
    EXPECT_EQ(by_name.get()->pw_uid, 0u);
    EXPECT_STREQ(by_name.get()->pw_dir, user.get()->pw_dir);

    GroupEntry group;
    ASSERT_OV_OK(find_group_by_id(0, &group));
    ASSERT_NE(group.get(), nullptr);
    GroupEntry group_by_name;
    ASSERT_OV_OK(find_group_by_name(group.get()->gr_name, &group_by_name));
    ASSERT_NE(group_by_name.get(), nullptr);
    EXPECT_EQ(group_by_name.get()->gr_gid, 0u);

    // Accounts that do not exist are found as nothing, not as an error.
    UserEntry none;
    EXPECT_OV_OK(find_user_by_name("no-such-user-of-this-test", &none));
    EXPECT_EQ(none.get(), nullptr);
    EXPECT_OV_OK(find_user_by_id(4000000001u, &none));
    EXPECT_EQ(none.get(), nullptr);
    GroupEntry no_group;
    EXPECT_OV_OK(find_group_by_name("no-such-group-of-this-test", &no_group));
    EXPECT_EQ(no_group.get(), nullptr);
    EXPECT_OV_OK(find_group_by_id(4000000001u, &no_group));
    EXPECT_EQ(no_group.get(), nullptr);
}

// A group whose record is far larger than the first scratch buffer (3,000
// members) and a user with a home directory of 4,000 characters, in test
// account files bind-mounted over the real ones in a private mount namespace.
TEST(AccountLookup, RecordsLargerThanTheFirstBufferAreFound) {
    if (getuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    std::string tmpl = (std::filesystem::temp_directory_path() / "ovacct.XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    const std::string dir = tmpl;
    std::string members;
    for (int i = 0; i < 3000; ++i) members += (i ? ",member" : "member") + std::to_string(i);
    const std::string home = "/" + std::string(4000, 'h');
    ovtest::write_file(dir + "/group", "root:x:0:\nbig:x:4242:" + members + "\n");
    ovtest::write_file(dir + "/passwd",
                       "root:x:0:0:root:/root:/bin/sh\nlong:x:4243:4242::" + home + ":/bin/sh\n");
    const int status = ovtest::RunChild([&] {
        if (unshare(CLONE_NEWNS) != 0) return 10;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 11;
        if (mount((dir + "/group").c_str(), "/etc/group", nullptr, MS_BIND, nullptr) != 0)
            return 12;
        if (mount((dir + "/passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0)
            return 13;
        using namespace ov::detail;
        GroupEntry by_name, by_id;
        if (find_group_by_name("big", &by_name) != 0 || by_name.get() == nullptr) return 1;
        if (find_group_by_id(4242, &by_id) != 0 || by_id.get() == nullptr) return 2;
        int count = 0;
        for (char **m = by_id.get()->gr_mem; *m != nullptr; ++m) ++count;
        if (count != 3000 || std::strcmp(by_id.get()->gr_mem[2999], "member2999") != 0) return 3;
        UserEntry user_by_name, user_by_id;
        if (find_user_by_name("long", &user_by_name) != 0 || user_by_name.get() == nullptr)
            return 4;
        if (find_user_by_id(4243, &user_by_id) != 0 || user_by_id.get() == nullptr) return 5;
        if (home != user_by_id.get()->pw_dir || user_by_name.get()->pw_gid != 4242) return 6;
        return 0;
    });
    std::filesystem::remove_all(dir);
    if (status >= 10) GTEST_SKIP() << "no private mount namespace here (step " << status << ")";
    EXPECT_EQ(status, 0) << "1-3: the group, 4-6: the user was not found whole";
}

// ---------------------------------------------------------------------------
// Closing inherited descriptors (internal, used by process start-up)
// ---------------------------------------------------------------------------

// Each way closes exactly the descriptors at or above the first number: low
// and high ones, gaps between them, and none below. Checked in a child, so
// that the test program's own descriptors stay open.
TEST(CloseDescriptors, EveryWayClosesTheSameSet) {
    using ov::detail::CloseWay;
    for (const CloseWay way : {CloseWay::kCloseRange, CloseWay::kListed, CloseWay::kLoop}) {
        SCOPED_TRACE(static_cast<int>(way));
        const int status = ovtest::RunChild([way] {
            const int base = open("/dev/null", O_RDONLY);
            if (base < 0) return 10;
            // Spread out: just above the first, in the middle, near the limit.
            const long limit = ov::detail::open_file_limit();
            const int numbers[] = {20, 21, 23, 300, static_cast<int>(limit - 1)};
            for (int fd : numbers)
                if (dup2(base, fd) != fd) return 11;
            if (dup2(base, 19) != 19) return 12;
            if (!ov::detail::close_descriptors_by(way, 20)) return 77;  // not available here
            for (int fd : numbers)
                if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) return 1;
            if (fcntl(19, F_GETFD) == -1) return 2;  // below the first: kept
            if (fcntl(0, F_GETFD) == -1 && fcntl(1, F_GETFD) == -1) return 3;
            return 0;
        });
        if (status == 77) continue;
        EXPECT_EQ(status, 0)
            << "1: one at or above the first stayed open, 2-3: one below was closed";
    }
}

TEST(CloseDescriptors, KeepsErrnoAndIgnoresANegativeStart) {
    const int status = ovtest::RunChild([] {
        const int fd = open("/dev/null", O_RDONLY);
        errno = 1234;
        ov::detail::close_descriptors_from(-1);
        if (fcntl(fd, F_GETFD) == -1) return 1;
        ov::detail::close_descriptors_from(3);
        if (errno != 1234) return 2;
        return fcntl(fd, F_GETFD) == -1 ? 0 : 3;
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
