// ovplatform_test.cpp - host and system, users and groups, file systems,
// signal names, memory blocks and the process primitives of the platform
// module, with its internal account look-ups and descriptor closing.
//
// Accounts, groups and file-system tables that a case needs are made for
// real: test files bind-mounted over the system's own in a private mount
// namespace of a child process, which then drops to a test account where the
// case is about an unprivileged user. Child processes are real ones.
#include <ovplatform/overror.h>
#include <ovplatform/ovlog.h>
#include <ovplatform/ovpath.h>
#include <ovplatform/ovplatform.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "internal/account.h"
#include "internal/descriptors.h"
#include "internal/platform_memory.h"
#include "ovsupport/resources.h"
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

using ov::detail::CloseWay;

// Runs close_and_check in a child (so that the test program's own
// descriptors stay open) once for each way of closing descriptors, with
// /dev/null open on 19 and on each of open_ones. close_and_check returns
// 0, a code of its own that legend explains, or 77 when the way is not
// available here; such a way is passed over. Codes 10 to 12: the
// descriptors could not be opened.
void CheckEachCloseWay(const std::vector<int> &open_ones,
                       const std::function<int(CloseWay)> &close_and_check, const char *legend) {
    for (const CloseWay way : {CloseWay::kCloseRange, CloseWay::kListed, CloseWay::kLoop}) {
        SCOPED_TRACE(static_cast<int>(way));
        const int status = ovtest::RunChild([&] {
            const int base = open("/dev/null", O_RDONLY);
            if (base < 0) return 10;
            for (int fd : open_ones)
                if (dup2(base, fd) != fd) return 11;
            if (dup2(base, 19) != 19) return 12;
            return close_and_check(way);
        });
        if (status == 77) continue;
        EXPECT_EQ(status, 0) << legend;
    }
}

// Each way closes exactly the descriptors at or above the first number: low
// and high ones, gaps between them, and none below.
TEST(CloseDescriptors, EveryWayClosesTheSameSet) {
    // Spread out: just above the first, in the middle, near the limit.
    const std::vector<int> numbers = {20, 21, 23, 300,
                                      static_cast<int>(ov::detail::open_file_limit() - 1)};
    CheckEachCloseWay(
        numbers,
        [&](CloseWay way) {
            if (!ov::detail::close_descriptors_by(way, 20)) return 77;
            for (int fd : numbers)
                if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) return 1;
            if (fcntl(19, F_GETFD) == -1) return 2;  // below the first: kept
            if (fcntl(0, F_GETFD) == -1 && fcntl(1, F_GETFD) == -1) return 3;
            return 0;
        },
        "1: one at or above the first stayed open, 2-3: one below was closed");
}

// Descriptors asked to be kept stay open, whichever way closes the rest:
// between gaps, next to each other, at the first number, and ones given
// twice or below the first.
TEST(CloseDescriptors, KeptOnesStayOpen) {
    CheckEachCloseWay(
        {20, 21, 22, 23, 40, 41, 300},
        [](CloseWay way) {
            const int keep[] = {41, 20, 22, 41, 19, 23};
            if (!ov::detail::close_descriptors_except_by(way, 20, keep, 6)) return 77;
            for (int fd : {19, 20, 22, 23, 41})
                if (fcntl(fd, F_GETFD) == -1) return 1;
            for (int fd : {21, 40, 300})
                if (fcntl(fd, F_GETFD) != -1) return 2;
            return 0;
        },
        "1: a kept one was closed, 2: another one stayed open");
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

// ---------------------------------------------------------------------------
// Helpers: the environment, checks made in a child, private system files
// ---------------------------------------------------------------------------

using ovtest::ScopedEnv;

// Failures of checks made in a child process, as text for the parent to
// report: gtest assertions made in a child are lost with it.
class ChildChecks {
  public:
    template <class A, class B>
    void eq(const A &actual, const B &expected, const std::string &what) {
        if (!(actual == expected))
            text_ += what + ": got " + ::testing::PrintToString(actual) + ", want " +
                     ::testing::PrintToString(expected) + "\n";
    }
    void ok(bool passed, const std::string &what) {
        if (!passed) text_ += what + "\n";
    }
    const std::string &text() const { return text_; }

  private:
    std::string text_;
};

// The messages a capture received, as "level|text", for comparing in a child.
std::vector<std::string> Logged(const ovtest::LogCapture &capture) {
    std::vector<std::string> out;
    for (const auto &line : capture.lines())
        out.push_back(std::to_string(line.level) + "|" + line.text);
    return out;
}

bool Become(uid_t uid, gid_t gid) {
    return setgroups(0, nullptr) == 0 && setgid(gid) == 0 && setuid(uid) == 0;
}

// A file put over one of the system's own for the length of a child.
struct SystemFile {
    std::string target;
    std::string content;
    mode_t mode = 0644;
};

constexpr int kNoPrivateSystem = 10;

// Runs body in a child with each file bind-mounted over its target in a
// private mount namespace, so that a case sees accounts, groups and a file
// system table of its own while the machine's files stay as they are.
// @return what body reported ("" when every check passed), or nothing when
// no private namespace can be had here (the caller skips).
std::optional<std::string> RunWithSystemFiles(const std::vector<SystemFile> &files,
                                              const std::function<std::string()> &body) {
    const std::string dir =
        ovsupport::make_temp_dir(std::filesystem::temp_directory_path().string(), "ovplat");
    if (dir.empty()) return std::string("no temporary directory");
    std::vector<std::string> sources;
    for (size_t i = 0; i < files.size(); ++i) {
        sources.push_back(dir + "/file" + std::to_string(i));
        if (!ovsupport::write_file(sources.back(), files[i].content) ||
            chmod(sources.back().c_str(), files[i].mode) != 0)
            return std::string("cannot write ") + sources.back();
    }
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) return std::string("no pipe");
    const pid_t pid = ovsupport::StartFunction([&] {
        close(report[0]);
        if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return kNoPrivateSystem;
        for (size_t i = 0; i < files.size(); ++i)
            if (mount(sources[i].c_str(), files[i].target.c_str(), nullptr, MS_BIND, nullptr) != 0)
                return kNoPrivateSystem;
        const std::string failures = body();
        size_t written = 0;
        while (written < failures.size()) {
            const ssize_t n =
                write(report[1], failures.data() + written, failures.size() - written);
            if (n <= 0) return 2;
            written += static_cast<size_t>(n);
        }
        return 0;
    });
    close(report[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while (pid > 0 && (n = read(report[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
    close(report[0]);
    const auto status = pid > 0 ? ovsupport::Wait(pid) : std::nullopt;
    ovsupport::remove_tree(dir);
    if (ovsupport::ExitedWith(status, kNoPrivateSystem)) return std::nullopt;
    if (!ovsupport::ExitedWith(status, 0)) text += "child: " + ovsupport::DescribeStatus(status);
    return text;
}

#define EXPECT_CHILD_PASSES(result)                                            \
    do {                                                                       \
        const std::optional<std::string> child_result_ = (result);             \
        if (!child_result_) GTEST_SKIP() << "no private mount namespace here"; \
        EXPECT_EQ(*child_result_, "");                                         \
    } while (0)

// Test accounts. bob2 shares bob's user id; nohome has no home directory;
// the last user's name is longer than the buffers of the cases.
const std::string kLongUserName(300, 'l');
const std::string kPasswd =
    "root:x:0:0:root:/root:/bin/sh\n"
    "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n"
    "alice:x:4201:4201:Alice:/home/alice:/bin/sh\n"
    "bob:x:4202:4202:Bob:/home/bob:/bin/sh\n"
    "carol:x:4203:4300:Carol:/home/carol:/bin/sh\n"
    "bob2:x:4202:4202:Bob again:/home/bob2:/bin/sh\n"
    "nohome:x:4204:4204:::/bin/sh\n" +
    kLongUserName + ":x:4205:4205::/home/long:/bin/sh\n";
// ghost is a member without an account.
const std::string kGroup =
    "root:x:0:\n"
    "nogroup:x:65534:\n"
    "alice:x:4201:\n"
    "bob:x:4202:\n"
    "staff:x:4300:alice,ghost\n"
    "team:x:4301:ghost,bob2\n"
    "empty:x:4302:\n";
const std::vector<SystemFile> kAccounts = {{"/etc/passwd", kPasswd}, {"/etc/group", kGroup}};
constexpr uid_t kAlice = 4201, kBob = 4202, kCarol = 4203, kNoAccount = 4999;
constexpr gid_t kStaff = 4300, kTeam = 4301, kEmptyGroup = 4302, kNoGroup = 4999;

// ---------------------------------------------------------------------------
// Host and system
// ---------------------------------------------------------------------------

TEST(PlatformSystem, DescriptionsComeFromTheKernel) {
    struct utsname system {};
    ASSERT_EQ(uname(&system), 0);
    const std::string release = std::string(system.sysname) + " " + system.release;

    char text[512];
    ASSERT_OV_OK(ov_platform_os_describe(text, sizeof text, "ovlockfile", "4.0.1.182389"));
    EXPECT_EQ(std::string(text), "ovlockfile/4.0.1.182389, (" + release + ")");
    ASSERT_OV_OK(ov_platform_uname(text, sizeof text));
    EXPECT_EQ(std::string(text), release + " " + system.version);

    // The size check counts the system's name and release with 18 bytes of
    // room; one byte less is refused before anything is written.
    const size_t least = std::strlen(system.sysname) + std::strlen(system.release) + 18;
    std::string small(least - 1, 'x');
    EXPECT_EQ(ov_platform_os_describe(small.data(), small.size(), "p", "1"), ERANGE);
    EXPECT_EQ(small, std::string(least - 1, 'x'));
    std::string enough(least, 'x');
    EXPECT_OV_OK(ov_platform_os_describe(enough.data(), enough.size(), "p", "1"));
    EXPECT_EQ(std::string(enough.c_str()), "p/1, (" + release + ")");
    // A long program name passes the check but not into the buffer: the cut
    // text is kept and the cut reported.
    std::string cut(least, 'x');
    EXPECT_EQ(ov_platform_os_describe(cut.data(), cut.size(), std::string(100, 'n').c_str(), "1"),
              EBUFFER);
    EXPECT_EQ(std::strlen(cut.c_str()), least - 1);
    char tiny[4];
    EXPECT_EQ(ov_platform_uname(tiny, sizeof tiny), EBUFFER);
    EXPECT_EQ(std::string(tiny), release.substr(0, 3));

    EXPECT_EQ(ov_platform_os_describe(nullptr, 64, "p", "1"), EINVAL);
    EXPECT_EQ(ov_platform_os_describe(text, sizeof text, nullptr, "1"), EINVAL);
    EXPECT_EQ(ov_platform_os_describe(text, sizeof text, "p", nullptr), EINVAL);
    EXPECT_EQ(ov_platform_uname(nullptr, 64), EINVAL);
    EXPECT_EQ(ov_platform_uname(text, 0), EINVAL);
}

TEST(PlatformSystem, FixedTextsFillTheirRecords) {
    char name[8];
    std::memset(name, 'x', sizeof name);
    ov_platform_os_name(name);
    EXPECT_STREQ(name, "Linux");
    EXPECT_EQ(name[6], 'x');  // six bytes written, no more
    std::memset(name, 'x', sizeof name);
    ov_platform_os_family(name);
    EXPECT_STREQ(name, "Linux");
    ov_platform_os_name(nullptr);
    ov_platform_os_family(nullptr);

    char version[OV_PLATFORM_VERSION_SIZE + 1];
    std::memset(version, 'x', sizeof version);
    ov_platform_version(version);
    EXPECT_STREQ(version, "4.0.1.182389");
    for (size_t i = std::strlen(version); i < OV_PLATFORM_VERSION_SIZE; ++i)
        EXPECT_EQ(version[i], '\0') << "byte " << i << " of the record is not zero";
    EXPECT_EQ(version[OV_PLATFORM_VERSION_SIZE], 'x');
    ov_platform_version(nullptr);
}

TEST(PlatformSystem, InstallDirFitsOnlyWhole) {
    char dir[64];
    ASSERT_OV_OK(ov_platform_install_dir(dir, 12));
    EXPECT_STREQ(dir, "/opt/orvane");
    EXPECT_EQ(ov_platform_install_dir(dir, 11), EBUFFER);
    EXPECT_STREQ(dir, "/opt/orvan");
    EXPECT_EQ(ov_platform_install_dir(dir, 0), EINVAL);
    EXPECT_EQ(ov_platform_install_dir(nullptr, 12), EINVAL);
}

// The locale's name is split into its parts. The locales other than C are
// compiled into a private directory for the case, in a child whose locale
// may change without touching the other tests'.
TEST(PlatformSystem, LocaleNamesSplitIntoTheirParts) {
    const std::string dir =
        ovsupport::make_temp_dir(std::filesystem::temp_directory_path().string(), "ovlocale");
    ASSERT_FALSE(dir.empty());
    const std::string compile =
        "localedef -i en_US -f UTF-8 " + dir + "/en_US.UTF-8 >/dev/null 2>&1 && " +
        "localedef -i en_US -f ISO-8859-1 " + dir + "/en_US >/dev/null 2>&1";
    const bool compiled = std::system(compile.c_str()) == 0;
    ScopedEnv locpath("LOCPATH", dir.c_str());
    std::string failures;
    const int status = ovtest::RunChild([&] {
        ChildChecks check;
        ov_locale_t locale;
        std::memset(&locale, 'x', sizeof locale);
        std::setlocale(LC_ALL, "POSIX");
        check.eq(ov_platform_locale(&locale), 0, "POSIX");
        check.eq(std::string(locale.language), std::string("C"), "POSIX language");
        check.eq(std::string(locale.territory) + std::string(locale.codeset), std::string(""),
                 "POSIX territory and codeset");
        if (compiled) {
            check.ok(std::setlocale(LC_ALL, "en_US.UTF-8") != nullptr, "en_US.UTF-8 set");
            check.eq(ov_platform_locale(&locale), 0, "en_US.UTF-8");
            check.eq(std::string(locale.language) + "|" + locale.territory + "|" + locale.codeset,
                     std::string("en|US|UTF-8"), "en_US.UTF-8 parts");
            check.ok(std::setlocale(LC_ALL, "en_US") != nullptr, "en_US set");
            check.eq(ov_platform_locale(&locale), int32_t{ELOCALE}, "en_US has no codeset");
        }
        check.eq(ov_platform_locale(nullptr), EINVAL, "null record");
        std::fputs(check.text().c_str(), stderr);
        return check.text().empty() ? 0 : 1;
    });
    ovsupport::remove_tree(dir);
    EXPECT_EQ(status, 0) << "see the child's messages above";
    if (!compiled) GTEST_SKIP() << "localedef could not compile en_US here; only POSIX was checked";
}

TEST(PlatformSystem, ByteOrderOf64BitValues) {
    EXPECT_EQ(ov_hton64(0x0102030405060708ull), 0x0807060504030201ull);
    EXPECT_EQ(ov_ntoh64(0x0807060504030201ull), 0x0102030405060708ull);
    const uint64_t value = 0x1122334455667788ull;
    const uint64_t network = ov_hton64(value);
    // The first byte in memory is the most significant one.
    EXPECT_EQ(reinterpret_cast<const unsigned char *>(&network)[0], 0x11);
    EXPECT_EQ(ov_ntoh64(network), value);
    // The halves agree with the 32-bit conversions of the C library.
    EXPECT_EQ(static_cast<uint32_t>(network), htonl(static_cast<uint32_t>(value >> 32)));
}

// The start-up count: every ov_platform_init is matched by one
// ov_platform_fini, and one more fini is refused. In a child, whose count
// can be run down without disturbing the test program's.
TEST(PlatformStartup, CountsStartUpsAndRefusesAnExtraShutDown) {
    const int status = ovtest::RunChild([] {
        // Runs down what the test program counted up so far.
        for (int i = 0; i < 1000 && ov_platform_fini() == 0; ++i) {
        }
        if (ov_platform_fini() != EINVAL) return 1;
        if (ov_platform_init() != 0 || ov_platform_init() != 0) return 2;
        if (ov_platform_fini() != 0 || ov_platform_fini() != 0) return 3;
        if (ov_platform_fini() != EINVAL) return 4;
        if (ov_platform_init() != 0 || ov_platform_fini() != 0) return 5;
        return 0;
    });
    EXPECT_EQ(status, 0) << "1: a fini at 0 was accepted, 2-5: the count went wrong";
}

// The first start-up keeps the program's path. Checked in a fresh run of this
// program, started by a relative name: after ov_platform_init it leaves the
// directory it was started in and loses /proc (a private empty mount), so the
// path can only come from what the start-up kept. The same run without the
// start-up shows that the path is not found otherwise.
constexpr char kStartupChildFlag[] = "OVTEST_PLATFORM_STARTUP_CHILD";

TEST(PlatformStartup, InitKeepsTheProgramPath) {
    const char *mode = std::getenv(kStartupChildFlag);
    if (mode != nullptr) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            _exit(kNoPrivateSystem);
        if (std::strcmp(mode, "init") == 0) ov_platform_init();
        if (chdir("/") != 0 || mount("none", "/proc", "tmpfs", 0, nullptr) != 0)
            _exit(kNoPrivateSystem);
        char path[4096];
        const int length = ov_path_executable(path, sizeof path);
        const char *expected = std::getenv("OVTEST_PLATFORM_PROGRAM");
        _exit(length > 0 && expected != nullptr && std::strcmp(path, expected) == 0 ? 0 : 1);
    }
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    const std::filesystem::path program(self);
    const std::string relative = "./" + program.filename().string();
    auto run = [&](const char *child_mode) {
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(program.parent_path().c_str()) != 0) _exit(20);
            setenv(kStartupChildFlag, child_mode, 1);
            setenv("OVTEST_PLATFORM_PROGRAM", self, 1);
            const std::string filter = "--gtest_filter=PlatformStartup.InitKeepsTheProgramPath";
            execl(relative.c_str(), relative.c_str(), filter.c_str(), static_cast<char *>(nullptr));
            _exit(21);
        }
        return ovsupport::ExitCode(ovsupport::Wait(pid));
    };
    const int with_init = run("init");
    if (with_init == kNoPrivateSystem) GTEST_SKIP() << "no private mount namespace here";
    EXPECT_EQ(with_init, 0) << "the path kept by ov_platform_init was not found";
    EXPECT_EQ(run("none"), 1) << "without the start-up the path was found all the same, so the "
                                 "case proves nothing";
}

// ---------------------------------------------------------------------------
// File systems
// ---------------------------------------------------------------------------

std::string ReadMounts(ov_mount_t *list) {
    std::string out;
    for (const ov_mount_t *m = list; m != nullptr; m = m->next)
        out += std::string(m->device) + " " + m->mount_point + " " + m->type + " " +
               std::to_string(m->error) + "\n";
    return out;
}

// One record per file system, in file order: a second entry of the same file
// system and swap are left out; a mount point whose status cannot be read
// gets a record with the error, each one its own.
TEST(PlatformFileSystems, MountsListEachFileSystemOnce) {
    // Longer than the text of one entry: the C library cuts it.
    const std::string long_line = "dev" + std::string(5000, 'x') + " /long ext4 defaults 0 0\n";
    const std::string fstab =
        "# a comment\n"
        "/dev/root / ext4 defaults 0 1\n"
        "/dev/root2 / ext4 defaults 0 1\n"
        "proc /proc proc defaults 0 0\n"
        "/dev/swap none swap sw 0 0\n" +
        long_line +
        "/dev/gone /no/such/mount/point ext4 defaults 0 2\n"
        "/dev/gone2 /no/such/mount/point ext4 defaults 0 2\n";
    EXPECT_CHILD_PASSES(RunWithSystemFiles({{"/etc/fstab", fstab}}, [] {
        ChildChecks check;
        const size_t descriptors = ovsupport::open_descriptors();
        ov_mount_t *list = reinterpret_cast<ov_mount_t *>(1);
        check.eq(ov_platform_mounts(&list), 0, "listing");
        check.eq(ReadMounts(list),
                 std::string("/dev/root / ext4 0\n"
                             "proc /proc proc 0\n"
                             "/dev/gone /no/such/mount/point ext4 2\n"
                             "/dev/gone2 /no/such/mount/point ext4 2\n"),
                 "records");
        struct statvfs root {};
        struct stat root_status {};
        if (list != nullptr && statvfs("/", &root) == 0 && stat("/", &root_status) == 0) {
            check.eq(list->total_bytes, uint64_t{root.f_blocks} * root.f_bsize, "total bytes");
            check.eq(list->file_nodes, uint64_t{root.f_files}, "file nodes");
            check.ok(list->used_bytes <= list->total_bytes, "used within total");
            check.ok(list->available_bytes <= list->total_bytes, "available within total");
            check.eq(list->device_id, uint64_t{root_status.st_dev}, "device id");
            const ov_mount_t *gone = list->next != nullptr ? list->next->next : nullptr;
            if (gone != nullptr)
                check.eq(gone->total_bytes + gone->device_id, uint64_t{0}, "error record is empty");
        }
        check.eq(ov_platform_mounts_free(&list), 0, "free");
        check.ok(list == nullptr, "the list pointer is null after the free");
        check.eq(ovsupport::open_descriptors(), descriptors, "descriptors after the listing");
        return check.text();
    }));
}

// A table that cannot be read gives its errno and no list; a listing that
// fails leaves no descriptor open.
TEST(PlatformFileSystems, UnreadableTableGivesItsError) {
    EXPECT_CHILD_PASSES(
        RunWithSystemFiles({{"/etc/fstab", "proc /proc proc defaults 0 0\n", 0600}}, [] {
            ChildChecks check;
            if (!Become(ovtest::kNobody, ovtest::kNobody))
                return std::string("cannot become nobody");
            const size_t descriptors = ovsupport::open_descriptors();
            ov_mount_t *list = reinterpret_cast<ov_mount_t *>(1);
            check.eq(ov_platform_mounts(&list), EACCES, "listing as nobody");
            check.ok(list == nullptr, "no list after a failure");
            check.eq(ovsupport::open_descriptors(), descriptors, "descriptors after the failure");
            check.eq(ov_platform_mounts(nullptr), EINVAL, "null out");
            check.eq(ov_platform_mounts_free(nullptr), 0, "free of null");
            return check.text();
        }));
}

TEST(PlatformFileSystems, SpaceOfAPath) {
    struct statvfs root {};
    ASSERT_EQ(statvfs("/", &root), 0);
    uint64_t fragment = 0, available = 0, total = 0;
    ASSERT_OV_OK(ov_platform_fs_space("/", &fragment, &available, &total));
    EXPECT_EQ(fragment, root.f_frsize);
    EXPECT_EQ(total, root.f_blocks);
    EXPECT_LE(available, total);

    // A missing path is reported as EIO, as callers have always received it.
    uint64_t untouched = 77;
    EXPECT_EQ(ov_platform_fs_space("/no/such/path/here", &untouched, &available, &total), EIO);
    EXPECT_EQ(untouched, 77u);
    EXPECT_EQ(ov_platform_fs_space("", &fragment, &available, &total), EINVAL);
    EXPECT_EQ(ov_platform_fs_space(nullptr, &fragment, &available, &total), EINVAL);
    EXPECT_EQ(ov_platform_fs_space("/", nullptr, &available, &total), EINVAL);
    EXPECT_EQ(ov_platform_fs_space("/", &fragment, nullptr, &total), EINVAL);
    EXPECT_EQ(ov_platform_fs_space("/", &fragment, &available, nullptr), EINVAL);
}

TEST(PlatformFileSystems, RootListIsTheRootAlone) {
    ov_root_t *roots = nullptr;
    ASSERT_OV_OK(ov_platform_root_list(&roots));
    ASSERT_NE(roots, nullptr);
    EXPECT_STREQ(roots->path, "/");
    EXPECT_EQ(roots->next, nullptr);
    EXPECT_OV_OK(ov_platform_root_list_free(&roots));
    EXPECT_EQ(roots, nullptr);
    EXPECT_OV_OK(ov_platform_root_list_free(&roots));
    EXPECT_OV_OK(ov_platform_root_list_free(nullptr));
    EXPECT_EQ(ov_platform_root_list(nullptr), EINVAL);
}

// ---------------------------------------------------------------------------
// Users and groups
// ---------------------------------------------------------------------------

// Names of ids, and the decimal id where there is no account; the level-4
// line says which id had none.
TEST(PlatformIdentity, NamesOfIdsOrTheirDigits) {
    EXPECT_CHILD_PASSES(RunWithSystemFiles(kAccounts, [] {
        ChildChecks check;
        char name[64];
        check.eq(ov_platform_user_name(kAlice, name, sizeof name), 0, "alice");
        check.eq(std::string(name), std::string("alice"), "alice's name");
        check.eq(ov_platform_group_name(kStaff, name, sizeof name), 0, "staff");
        check.eq(std::string(name), std::string("staff"), "staff's name");
        {
            ovtest::LogCapture capture;
            check.eq(ov_platform_user_name(kNoAccount, name, sizeof name), 0, "no account");
            check.eq(std::string(name), std::string("4999"), "digits of a user id");
            check.eq(ov_platform_group_name(kNoGroup, name, sizeof name), 0, "no group");
            check.eq(std::string(name), std::string("4999"), "digits of a group id");
            check.eq(Logged(capture),
                     std::vector<std::string>{"4|uname not found for uid [4999] errno [0]",
                                              "4|gname not found for uid [4999] errno [0]"},
                     "lines of missing ids");
        }
        // Names and digits cut to the buffer are reported as cut.
        char small[3];
        check.eq(ov_platform_user_name(kAlice, small, sizeof small), int32_t{EBUFFER}, "cut name");
        check.eq(std::string(small), std::string("al"), "cut name text");
        check.eq(ov_platform_user_name(kNoAccount, small, sizeof small), int32_t{EBUFFER},
                 "cut id");
        check.eq(std::string(small), std::string("49"), "cut id text");
        check.eq(ov_platform_group_name(kNoGroup, small, sizeof small), int32_t{EBUFFER},
                 "cut gid");
        check.eq(ov_platform_user_name(kAlice, nullptr, 8), EINVAL, "null out");
        check.eq(ov_platform_user_name(kAlice, name, 0), EINVAL, "size 0");
        check.eq(ov_platform_group_name(kStaff, nullptr, 8), EINVAL, "null group out");

        // As an unprivileged account, the current user is that account.
        if (!Become(kBob, kBob)) return check.text() + "cannot become bob\n";
        check.eq(ov_platform_current_user_name(name, sizeof name), 0, "current user");
        check.eq(std::string(name), std::string("bob"), "current user's name");
        uid_t uid = 0;
        check.eq(ov_platform_uid(&uid), 0, "uid");
        check.eq(uid, kBob, "uid value");
        check.eq(ov_platform_uid(nullptr), EINVAL, "null uid");
        return check.text();
    }));
}

// Membership by primary group, and by a member list whose names are looked
// up: bob is in team through bob2, another account with bob's id; ghost has
// no account and is passed over.
TEST(PlatformIdentity, MembershipByPrimaryGroupOrMemberList) {
    EXPECT_CHILD_PASSES(RunWithSystemFiles(kAccounts, [] {
        ChildChecks check;
        check.eq(ov_platform_user_in_group(kAlice, kAlice), 1, "alice's primary group");
        check.eq(ov_platform_user_in_group(kCarol, kStaff), 1, "carol's primary group staff");
        check.eq(ov_platform_user_in_group(kAlice, kStaff), 1, "alice listed in staff");
        check.eq(ov_platform_user_in_group(kBob, kTeam), 1, "bob in team as bob2");
        check.eq(ov_platform_user_in_group(kBob, kStaff), 0, "bob not in staff");
        check.eq(ov_platform_user_in_group(kAlice, kTeam), 0, "alice not in team");
        check.eq(ov_platform_user_in_group(kNoAccount, kStaff), 0, "id without an account");
        check.eq(ov_platform_user_in_group(kAlice, kNoGroup), 0, "group that does not exist");
        check.eq(ov_platform_user_in_group(kAlice, kEmptyGroup), 0, "group without members");
        return check.text();
    }));
}

// The current user: the environment wins whenever it names someone, a
// disagreement with the process owner is logged, and only a name that
// cannot be had at all (or not whole) fails. Run as bob, and as an id
// without an account.
TEST(PlatformIdentity, CurrentUserFromTheEnvironmentOrTheOwner) {
    EXPECT_CHILD_PASSES(RunWithSystemFiles(kAccounts, [] {
        ChildChecks check;
        if (!Become(kBob, kBob)) return std::string("cannot become bob");
        char name[64];
        auto usr = [&](const char *user, const char *logname, size_t size, int32_t expected_rc,
                       const std::string &expected_name, const std::vector<std::string> &lines,
                       const std::string &what) {
            ScopedEnv user_env("USER", user);
            ScopedEnv logname_env("LOGNAME", logname);
            ovtest::LogCapture capture;
            std::memset(name, 'x', sizeof name);
            check.eq(ov_platform_usr(name, size), expected_rc, what + ": code");
            check.eq(std::string(name, strnlen(name, size)), expected_name, what + ": name");
            check.eq(Logged(capture), lines, what + ": log");
        };
        const std::string mismatch = "3|ov_platform_usr(): Process owner 'bob' and env $USER name ";
        usr("alice", "carol", sizeof name, 0, "alice",
            {mismatch + "'alice' mismatch, using latter"}, "USER differs from the owner");
        usr("bob", nullptr, sizeof name, 0, "bob", {}, "USER is the owner");
        usr(nullptr, nullptr, sizeof name, 0, "bob",
            {"4|ov_platform_usr(): Env $USER name unset, using process owner name 'bob'"},
            "nothing set");
        usr("", "carol", sizeof name, 0, "carol", {mismatch + "'carol' mismatch, using latter"},
            "empty USER, LOGNAME set");
        // LOGNAME is taken as it is once USER names nobody, even when it is
        // empty: an empty name and 0, with the mismatch logged.
        usr(nullptr, "", sizeof name, 0, "", {mismatch + "'' mismatch, using latter"},
            "USER unset, LOGNAME empty");
        usr("", "", sizeof name, 0, "", {mismatch + "'' mismatch, using latter"}, "both empty");
        const std::string long_name(100, 'u');
        usr(long_name.c_str(), nullptr, sizeof name, EBUFFER, "",
            {"1|Failed to resolve user name, errno:28677, err desc:Insufficient buffer space"},
            "USER longer than the buffer");
        usr(nullptr, long_name.c_str(), sizeof name, EBUFFER, "",
            {"1|Failed to resolve user name, errno:28677, err desc:Insufficient buffer space"},
            "LOGNAME longer than the buffer");
        // The owner's name cut to the buffer is not the user's name.
        usr(nullptr, nullptr, 3, EBUFFER, "",
            {"4|ov_platform_usr(): Env $USER name unset, using process owner name 'bob'",
             "1|Failed to resolve user name, errno:28677, err desc:Insufficient buffer space"},
            "owner longer than the buffer");
        check.eq(ov_platform_usr(nullptr, 8), EINVAL, "null out");
        {
            ovtest::LogCapture capture;
            check.eq(ov_platform_usr(name, 0), EINVAL, "size 0");
        }
        return check.text();
    }));
    // An owner without an account: the environment still names the user;
    // without it nothing does.
    EXPECT_CHILD_PASSES(RunWithSystemFiles(kAccounts, [] {
        ChildChecks check;
        if (!Become(kNoAccount, kNoAccount)) return std::string("cannot become 4999");
        char name[64];
        {
            ScopedEnv user_env("USER", nullptr);
            ScopedEnv logname_env("LOGNAME", "dave");
            ovtest::LogCapture capture;
            check.eq(ov_platform_usr(name, sizeof name), 0, "LOGNAME without an owner");
            check.eq(std::string(name), std::string("dave"), "LOGNAME's name");
            check.eq(Logged(capture),
                     std::vector<std::string>{"3|ov_platform_usr(): Failed to getpwuid()"},
                     "owner missing");
        }
        {
            ScopedEnv user_env("USER", nullptr);
            ScopedEnv logname_env("LOGNAME", "");
            ovtest::LogCapture capture;
            std::memset(name, 'x', sizeof name);
            check.eq(ov_platform_usr(name, sizeof name), 0, "empty LOGNAME without an owner");
            check.eq(std::string(name), std::string(""), "empty LOGNAME's name");
            check.eq(Logged(capture),
                     std::vector<std::string>{"3|ov_platform_usr(): Failed to getpwuid()"},
                     "owner missing, LOGNAME empty");
        }
        {
            ScopedEnv user_env("USER", nullptr);
            ScopedEnv logname_env("LOGNAME", nullptr);
            ovtest::LogCapture capture;
            check.eq(ov_platform_usr(name, sizeof name), EINVAL, "nobody named");
            check.eq(std::string(name), std::string(""), "empty after the failure");
            check.eq(Logged(capture),
                     std::vector<std::string>{
                         "3|ov_platform_usr(): Failed to getpwuid()",
                         "1|Failed to resolve user name, errno:22, err desc:Invalid argument"},
                     "lines when nobody is named");
        }
        return check.text();
    }));
}

// Look-ups into the caller's buffer: the record, ENOENT for what is not
// there (no account, no home, an empty or unknown name), ERANGE for a buffer
// too small for the record.
TEST(PlatformIdentity, LookupsIntoTheCallersBuffer) {
    EXPECT_CHILD_PASSES(RunWithSystemFiles(kAccounts, [] {
        ChildChecks check;
        struct passwd user {};
        struct group group {};
        char buffer[1024];
        check.eq(ov_platform_user_lookup("alice", &user, buffer, sizeof buffer), 0, "alice");
        check.eq(std::string(user.pw_dir), std::string("/home/alice"), "alice's home");
        check.eq(user.pw_uid, kAlice, "alice's id");
        check.eq(ov_platform_user_lookup("nohome", &user, buffer, sizeof buffer), int32_t{ENOENT},
                 "account without a home");
        check.eq(ov_platform_user_lookup("ghost", &user, buffer, sizeof buffer), int32_t{ENOENT},
                 "no account");
        check.eq(ov_platform_user_lookup("", &user, buffer, sizeof buffer), int32_t{ENOENT},
                 "empty name");
        check.eq(ov_platform_user_lookup(kLongUserName.c_str(), &user, buffer, sizeof buffer), 0,
                 "long name");
        check.eq(ov_platform_user_lookup(kLongUserName.c_str(), &user, buffer, 64), int32_t{ERANGE},
                 "long name, small buffer");
        // The data base reads every line into the buffer, so a small one
        // fails for a name that is not there as well.
        check.eq(
            ov_platform_user_lookup((kLongUserName + "x").c_str(), &user, buffer, sizeof buffer),
            int32_t{ENOENT}, "unknown long name");
        check.eq(ov_platform_user_lookup(nullptr, &user, buffer, sizeof buffer), EINVAL,
                 "null name");
        check.eq(ov_platform_user_lookup("alice", nullptr, buffer, sizeof buffer), EINVAL,
                 "null entry");
        check.eq(ov_platform_user_lookup("alice", &user, nullptr, sizeof buffer), EINVAL,
                 "null buffer");

        check.eq(ov_platform_group_lookup("staff", &group, buffer, sizeof buffer), 0, "staff");
        check.eq(group.gr_gid, kStaff, "staff's id");
        check.eq(std::string(group.gr_mem[0] ? group.gr_mem[0] : ""), std::string("alice"),
                 "staff's first member");
        check.eq(ov_platform_group_lookup("ghost", &group, buffer, sizeof buffer), int32_t{ENOENT},
                 "no group");
        check.eq(ov_platform_group_lookup("", &group, buffer, sizeof buffer), int32_t{ENOENT},
                 "empty group name");
        check.eq(ov_platform_group_lookup("staff", &group, buffer, 8), int32_t{ERANGE},
                 "small buffer");
        check.eq(ov_platform_group_lookup(nullptr, &group, buffer, sizeof buffer), EINVAL, "null");
        check.eq(ov_platform_group_lookup("staff", nullptr, buffer, sizeof buffer), EINVAL, "null");
        check.eq(ov_platform_group_lookup("staff", &group, nullptr, sizeof buffer), EINVAL, "null");
        return check.text();
    }));
}

// Threads that look up names at the same time each get their own: the
// look-ups share no record.
TEST(PlatformIdentity, NamesAreLookedUpSafelyFromManyThreads) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong, t] {
            for (int i = 0; i < 300; ++i) {
                const bool root = (i + t) % 2 == 0;
                char name[64];
                if (ov_platform_user_name(root ? 0 : ovtest::kNobody, name, sizeof name) != 0 ||
                    std::strcmp(name, root ? "root" : "nobody") != 0)
                    wrong.fetch_add(1);
                if (ov_platform_group_name(0, name, sizeof name) != 0 ||
                    std::strcmp(name, "root") != 0)
                    wrong.fetch_add(1);
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

// ---------------------------------------------------------------------------
// Signal names (beside the cases at the top)
// ---------------------------------------------------------------------------

// The table agrees with the C library's abbreviations for every number it
// names; 29 carries its older name.
TEST(PlatformSignals, TableAgreesWithTheHost) {
    for (int number = 1; number < 32; ++number) {
        SCOPED_TRACE(number);
        const char *abbreviation = sigabbrev_np(number);
        const std::string name = ov_platform_signal_name(number);
        if (number == 16 || number == 30) {
            EXPECT_EQ(name, "UNKNOWN SIGNAL");
        } else if (number == SIGPOLL) {
            EXPECT_EQ(name, "SIGPOLL");
        } else {
            ASSERT_NE(abbreviation, nullptr);
            EXPECT_EQ(name, std::string("SIG") + abbreviation);
        }
    }
}

// Anything but a whole name is refused and logged with the text as given.
TEST(PlatformSignals, TextsThatAreNotWholeNames) {
    ovtest::LogCapture capture;
    const std::string long_text(1000, 'H');
    for (const char *text : {"SIGSEGV\n", "hup ", " hup", "SIGHUPX", "SIGHU", "9", "SIG-HUP",
                             "sig\xc4\xb1nt", long_text.c_str()}) {
        SCOPED_TRACE(text);
        capture.clear();
        EXPECT_EQ(ov_platform_signal_number(text), -1);
        EXPECT_EQ(Logged(capture),
                  std::vector<std::string>{std::string("1|unrecognized signame ") + text});
    }
    EXPECT_STREQ(ov_platform_exception_name(0), "UNKNOWN EXCEPTION");
    EXPECT_STREQ(ov_platform_exception_name(0xC0000005u), "UNKNOWN EXCEPTION");
}

// ---------------------------------------------------------------------------
// Memory
// ---------------------------------------------------------------------------

bool AllZero(const void *block, size_t size) {
    const auto *bytes = static_cast<const unsigned char *>(block);
    for (size_t i = 0; i < size; ++i)
        if (bytes[i] != 0) return false;
    return true;
}

TEST(PlatformMemory, AlignedBlocksAreWholeAlignmentsOfZeros) {
    uint32_t granularity = 0;
    ASSERT_OV_OK(ov_platform_alloc_granularity(nullptr, &granularity));
    EXPECT_EQ(granularity, 65536u);
    EXPECT_EQ(ov_platform_alloc_granularity(nullptr, nullptr), EINVAL);

    // Alignment 0 is the granularity, and the size is rounded up to it.
    void *block = nullptr;
    ASSERT_OV_OK(ov_platform_aligned_alloc(&block, 0, 1));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 65536, 0u);
    EXPECT_GE(malloc_usable_size(block), 65536u);
    EXPECT_TRUE(AllZero(block, 65536));
    EXPECT_OV_OK(ov_platform_aligned_free(block));

    // Memory used before comes back zeroed over the whole rounded size: a
    // dirty block given back just before lies where the next one is cut.
    for (int round = 0; round < 4; ++round) {
        void *used = std::malloc(100000);
        ASSERT_NE(used, nullptr);
        std::memset(used, 0xab, 100000);
        // Keeps the compiler from dropping the writes to a block it frees.
        asm volatile("" : : "r"(used) : "memory");
        std::free(used);
        void *reused = nullptr;
        ASSERT_OV_OK(ov_platform_aligned_alloc(&reused, 4096, 90000));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(reused) % 4096, 0u);
        EXPECT_TRUE(AllZero(reused, 90112)) << "round " << round;
        EXPECT_OV_OK(ov_platform_aligned_free(reused));
    }
    for (int round = 0; round < 4; ++round) {
        void *dirty = nullptr;
        ASSERT_OV_OK(ov_platform_aligned_alloc(&dirty, 64, 100));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(dirty) % 64, 0u);
        EXPECT_TRUE(AllZero(dirty, 128)) << "round " << round;
        std::memset(dirty, 0xab, 128);
        EXPECT_OV_OK(ov_platform_aligned_free(dirty));
    }
    EXPECT_EQ(ov_platform_aligned_free(nullptr), EINVAL);
}

TEST(PlatformMemory, BadAlignmentsAndSizesAreRefused) {
    ovtest::LogCapture capture;
    void *block = reinterpret_cast<void *>(0x1);
    EXPECT_EQ(ov_platform_aligned_alloc(&block, 48, 16), EINVAL);
    EXPECT_EQ(ov_platform_aligned_alloc(&block, 65537, 16), EINVAL);
    // Powers of two below the size of a pointer are the allocator's refusal.
    EXPECT_EQ(ov_platform_aligned_alloc(&block, 4, 16), EINVAL);
    // A size that would wrap around when rounded up cannot be had; it must
    // not come back as a small block.
    EXPECT_EQ(ov_platform_aligned_alloc(&block, 4096, SIZE_MAX - 10), ENOMEM);
    EXPECT_EQ(ov_platform_aligned_alloc(&block, 0, SIZE_MAX), ENOMEM);
    EXPECT_EQ(block, reinterpret_cast<void *>(0x1)) << "the out pointer was written on a failure";
    EXPECT_EQ(ov_platform_aligned_alloc(nullptr, 64, 16), EINVAL);
    EXPECT_EQ(Logged(capture), (std::vector<std::string>{
                                   "1|Block alignment must be to a power of 2",
                                   "1|Block alignment must be to a power of 2",
                                   "1|Error allocating aligned memory, err = 22",
                                   "1|Error allocating aligned memory, err = 12",
                                   "1|Error allocating aligned memory, err = 12",
                               }));
}

constexpr char kSite[] = "site.c";
constexpr char kLabel[] = "scratch";

// One block per call site: the same line gets its block back, a larger
// request grows it with its content, and a table full of other lines
// refuses and stays failed without further lines.
TEST(PlatformMemory, StackBlocksAreKeptPerCallSite) {
    const int32_t live = ov::detail::stack_blocks_live();
    ovtest::LogCapture capture;
    ov_stack_slot_t slots[2];
    std::memset(slots, 0x5a, sizeof slots);  // garbage: the first use clears it
    uint32_t state = OV_PLATFORM_STACK_UNUSED;

    auto *first =
        static_cast<char *>(ov_platform_stack_get(kLabel, kSite, 10, 16, slots, 2, &state));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(state, OV_PLATFORM_STACK_IN_USE);
    EXPECT_EQ(ov::detail::stack_blocks_live(), live + 1);
    std::memcpy(first, "fifteen bytes..", 16);
    EXPECT_EQ(ov_platform_stack_get(kLabel, kSite, 10, 16, slots, 2, &state), first);
    EXPECT_EQ(ov_platform_stack_get(kLabel, kSite, 10, 4, slots, 2, &state), first);

    // More than the block holds: a block of the new size, content kept.
    auto *grown =
        static_cast<char *>(ov_platform_stack_get(kLabel, kSite, 10, 4096, slots, 2, &state));
    ASSERT_NE(grown, nullptr);
    EXPECT_GE(malloc_usable_size(grown), 4096u);
    EXPECT_STREQ(grown, "fifteen bytes..");
    std::memset(grown, 1, 4096);  // the whole block is the caller's
    EXPECT_EQ(ov::detail::stack_blocks_live(), live + 1);

    void *second = ov_platform_stack_get(kLabel, kSite, 20, 8, slots, 2, &state);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, grown);
    EXPECT_EQ(slots[1].line, 20);
    EXPECT_EQ(ov::detail::stack_blocks_live(), live + 2);
    EXPECT_TRUE(capture.lines().empty());

    // A third line: no slot left. Then every request fails at once, quietly.
    EXPECT_EQ(ov_platform_stack_get(kLabel, kSite, 30, 8, slots, 2, &state), nullptr);
    EXPECT_EQ(state, OV_PLATFORM_STACK_FAILED);
    EXPECT_EQ(ov_platform_stack_get(kLabel, kSite, 10, 8, slots, 2, &state), nullptr);
    EXPECT_EQ(Logged(capture),
              std::vector<std::string>{"1|Out of stack slots at site.c::30 (scratch)"});

    // Without the flag the release frees nothing; with it, every block, and
    // the table no longer holds their addresses.
    EXPECT_EQ(ov_platform_stack_release(slots, 2, 0), 1);
    EXPECT_EQ(ov::detail::stack_blocks_live(), live + 2);
    EXPECT_EQ(ov_platform_stack_release(slots, 2, 1), 1);
    EXPECT_EQ(ov::detail::stack_blocks_live(), live);
    for (const auto &slot : slots) {
        EXPECT_EQ(slot.block, nullptr);
        EXPECT_EQ(slot.line, 0);
    }
    state = OV_PLATFORM_STACK_UNUSED;
    void *again = ov_platform_stack_get(kLabel, kSite, 30, 8, slots, 2, &state);
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(ov_platform_stack_release(slots, 2, 1), 1);
    EXPECT_EQ(ov::detail::stack_blocks_live(), live);
}

// Tables that cannot serve (no slots, none given, no state, line 0) refuse
// with the slots line and are marked failed; nothing is allocated.
TEST(PlatformMemory, StackTablesThatCannotServe) {
    const int32_t live = ov::detail::stack_blocks_live();
    ovtest::LogCapture capture;
    ov_stack_slot_t slots[1] = {};
    uint32_t state = OV_PLATFORM_STACK_UNUSED;
    EXPECT_EQ(ov_platform_stack_get(kLabel, kSite, 5, 8, slots, 0, &state), nullptr);
    EXPECT_EQ(state, OV_PLATFORM_STACK_FAILED);
    state = OV_PLATFORM_STACK_UNUSED;
    EXPECT_EQ(ov_platform_stack_get(kLabel, kSite, 6, 8, nullptr, 4, &state), nullptr);
    EXPECT_EQ(state, OV_PLATFORM_STACK_FAILED);
    EXPECT_EQ(ov_platform_stack_get(kLabel, kSite, 7, 8, slots, 1, nullptr), nullptr);
    state = OV_PLATFORM_STACK_UNUSED;
    EXPECT_EQ(ov_platform_stack_get(nullptr, nullptr, 0, 8, slots, 1, &state), nullptr);
    EXPECT_EQ(state, OV_PLATFORM_STACK_FAILED);
    state = 7;  // not a state: refused at once, quietly
    EXPECT_EQ(ov_platform_stack_get(kLabel, kSite, 8, 8, slots, 1, &state), nullptr);
    EXPECT_EQ(state, 7u);
    EXPECT_EQ(ov_platform_stack_release(nullptr, 3, 1), 1);
    EXPECT_EQ(ov::detail::stack_blocks_live(), live);
    EXPECT_EQ(Logged(capture), (std::vector<std::string>{
                                   "1|Out of stack slots at site.c::5 (scratch)",
                                   "1|Out of stack slots at site.c::6 (scratch)",
                                   "1|Out of stack slots at site.c::7 (scratch)",
                                   "1|Out of stack slots at (null)::0 ((null))",
                               }));
}

// Reservations record a line and a size per slot: a line's slot serves
// again while its size suffices; a larger size takes another slot.
TEST(PlatformMemory, StackReservationsKeepSizesPerLine) {
    ovtest::LogCapture capture;
    ov_stack_slot_t slots[2];
    std::memset(slots, 0x5a, sizeof slots);
    uint32_t state = OV_PLATFORM_STACK_UNUSED;
    ov_stack_slot_t *a = ov_platform_stack_reserve(kLabel, kSite, 10, slots, 2, 1, &state, 100);
    EXPECT_EQ(a, &slots[0]);
    EXPECT_EQ(state, OV_PLATFORM_STACK_IN_USE);
    EXPECT_EQ(slots[0].size, 100u);
    EXPECT_EQ(slots[1].line, 0) << "the first use clears the table";
    EXPECT_EQ(ov_platform_stack_reserve(kLabel, kSite, 10, slots, 2, 1, &state, 60), &slots[0]);
    EXPECT_EQ(slots[0].size, 60u);
    EXPECT_EQ(ov_platform_stack_reserve(kLabel, kSite, 10, slots, 2, 1, &state, 80), &slots[1]);
    EXPECT_EQ(ov_platform_stack_reserve(kLabel, kSite, 11, slots, 2, 1, &state, 1), nullptr);
    EXPECT_EQ(state, OV_PLATFORM_STACK_FAILED);
    // A failed table refuses quietly and stays failed.
    EXPECT_EQ(ov_platform_stack_reserve(kLabel, kSite, 10, slots, 2, 1, &state, 1), nullptr);
    EXPECT_EQ(state, OV_PLATFORM_STACK_FAILED);
    state = 7;
    EXPECT_EQ(ov_platform_stack_reserve(kLabel, kSite, 10, slots, 2, 1, &state, 1), nullptr);
    EXPECT_EQ(state, OV_PLATFORM_STACK_FAILED);

    state = OV_PLATFORM_STACK_UNUSED;
    EXPECT_EQ(ov_platform_stack_reserve(kLabel, kSite, 12, slots, 2, 0, &state, 1), nullptr);
    EXPECT_EQ(state, OV_PLATFORM_STACK_FAILED);
    state = OV_PLATFORM_STACK_UNUSED;
    EXPECT_EQ(ov_platform_stack_reserve(kLabel, kSite, 13, slots, 0, 1, &state, 1), nullptr);
    EXPECT_EQ(ov_platform_stack_reserve(kLabel, kSite, 14, nullptr, 2, 1, &state, 1), nullptr);
    EXPECT_EQ(ov_platform_stack_reserve(kLabel, kSite, 15, slots, 2, 1, nullptr, 1), nullptr);
    EXPECT_EQ(Logged(capture), (std::vector<std::string>{
                                   "1|Out of stack slots at site.c::11 (scratch)",
                                   "1|Out of stack memory before site.c::12 (scratch)",
                                   "1|Out of stack slots at site.c::13 (scratch)",
                                   "1|Out of stack slots at site.c::15 (scratch)",
                               }));
}

// ---------------------------------------------------------------------------
// Processes and the environment
// ---------------------------------------------------------------------------

// Starts a child through the library and waits for its exit code.
int StartAndWait(const char *program, const std::vector<const char *> &args) {
    pid_t pid = -1;
    const int32_t rc = ov_platform_process_start(&pid, program, args.data(), args.size());
    if (rc != 0) return -1000 - rc;
    int32_t code = -2000;
    const int32_t waited = ov_platform_process_wait(pid, 20000, &code);
    return waited == 0 ? code : -3000 - waited;
}

// This process has no child left to collect.
bool NoChildLeft() {
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// The program runs with its arguments, through PATH, and receives no
// descriptor above the standard three.
TEST(PlatformProcess, StartedProgramsGetTheirArgumentsAndNoDescriptors) {
    EXPECT_EQ(StartAndWait("/bin/sh", {"-c", "exit $#", "name", "a", "b", "c"}), 3);
    EXPECT_EQ(StartAndWait("sh", {"-c", "test \"$1\" = 'two words' && exit 5", "n", "two words"}),
              5);

    // Descriptors left open without close-on-exec, low and high.
    const int low = open("/dev/null", O_RDONLY);
    ASSERT_GE(low, 3);
    const int high = fcntl(low, F_DUPFD, 900);
    ASSERT_GE(high, 900);
    const std::string script = "for fd in " + std::to_string(low) + " " + std::to_string(high) +
                               "; do [ -e /proc/$$/fd/$fd ] && exit 3; done; "
                               "[ -e /proc/$$/fd/2 ] || exit 4; exit 7";
    pid_t pid = -1;
    ASSERT_OV_OK(ov_platform_process_start_shell(&pid, script.c_str()));
    int32_t code = -1;
    EXPECT_OV_OK(ov_platform_process_wait(pid, 20000, &code));
    EXPECT_EQ(code, 7) << "3: an inherited descriptor was open in the child, 4: stderr was not";
    close(high);
    close(low);
    EXPECT_TRUE(NoChildLeft());
}

// The line of /proc/<pid>/status that starts with field, or "".
std::string StatusLine(const std::string &status, const std::string &field) {
    const size_t at = status.find("\n" + field + ":");
    return at == std::string::npos ? "" : status.substr(at + 1, status.find('\n', at + 1) - at - 1);
}

// A signal set of /proc/<pid>/status without the two signals the C library
// reserves for itself (32 and 33): each program's C library sets their
// actions up at its own start, whatever it inherited, and a sanitizer's
// runtime may leave them otherwise in its program.
uint64_t SignalSet(const std::string &status, const std::string &field) {
    const std::string line = StatusLine(status, field);
    const size_t tab = line.find('\t');
    if (tab == std::string::npos) return ~uint64_t{0};
    const uint64_t reserved = (uint64_t{1} << 31) | (uint64_t{1} << 32);
    return std::strtoull(line.c_str() + tab + 1, nullptr, 16) & ~reserved;
}

// The program starts with the caller's signal mask and ignored signals,
// although the child is made with every signal held back; a caught signal
// of the caller's is not carried over.
TEST(PlatformProcess, ProgramsStartWithTheCallersSignalMask) {
    const std::string dir =
        ovsupport::make_temp_dir(std::filesystem::temp_directory_path().string(), "ovsig");
    ASSERT_FALSE(dir.empty());
    struct sigaction caught {
    }, ignored{}, old_usr1{}, old_usr2{};
    caught.sa_handler = [](int) {};
    ignored.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGUSR1, &caught, &old_usr1), 0);
    ASSERT_EQ(sigaction(SIGUSR2, &ignored, &old_usr2), 0);
    sigset_t winch, old_mask;
    sigemptyset(&winch);
    sigaddset(&winch, SIGWINCH);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &winch, &old_mask), 0);
    const std::string mine = ovsupport::read_file("/proc/self/status");

    // cp copies its own status, as the program sees it (a shell would
    // clear its mask first).
    pid_t pid = -1;
    const std::string copy = dir + "/status";
    const char *const args[] = {"/proc/self/status", copy.c_str()};
    const int32_t started = ov_platform_process_start(&pid, "cp", args, 2);
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    sigaction(SIGUSR1, &old_usr1, nullptr);
    sigaction(SIGUSR2, &old_usr2, nullptr);
    ASSERT_OV_OK(started);
    int32_t code = -1;
    EXPECT_OV_OK(ov_platform_process_wait(pid, 20000, &code));
    EXPECT_EQ(code, 0);
    const std::string child = ovsupport::read_file(dir + "/status");
    ovsupport::remove_tree(dir);
    EXPECT_EQ(SignalSet(child, "SigBlk"), SignalSet(mine, "SigBlk")) << child;
    EXPECT_EQ(SignalSet(child, "SigIgn"), SignalSet(mine, "SigIgn")) << child;
    EXPECT_NE(StatusLine(mine, "SigBlk"), "SigBlk:\t0000000000000000")
        << "the case blocks SIGWINCH";
}

// A program that cannot be run ends its child with the exec's error.
TEST(PlatformProcess, ProgramThatCannotRunEndsTheChildWithItsError) {
    EXPECT_EQ(StartAndWait("/no/such/program", {}), ENOENT);
    EXPECT_EQ(StartAndWait("no-such-program-of-this-test", {"x"}), ENOENT);
    EXPECT_EQ(StartAndWait("/etc", {}), EACCES);
    EXPECT_TRUE(NoChildLeft());
}

// The vector has 200 entries: 198 arguments fit, 199 are refused before any
// fork; bad arguments are refused likewise.
TEST(PlatformProcess, ArgumentVectorLimitAndBadArguments) {
    std::vector<std::string> words = {"-c", "exit $#", "name"};
    while (words.size() < 198)
        words.push_back(std::string("w").append(std::to_string(words.size())));
    std::vector<const char *> args;
    for (const auto &word : words) args.push_back(word.c_str());
    EXPECT_EQ(StartAndWait("/bin/sh", args), 195);
    args.push_back("one too many");

    const size_t descriptors = ovsupport::open_descriptors();
    pid_t pid = 12345;
    EXPECT_EQ(ov_platform_process_start(&pid, "/bin/sh", args.data(), args.size()), ERANGE);
    EXPECT_EQ(ov_platform_process_start(&pid, "/bin/sh", args.data(), SIZE_MAX), ERANGE);
    EXPECT_EQ(ov_platform_process_start(nullptr, "/bin/true", nullptr, 0), EINVAL);
    EXPECT_EQ(ov_platform_process_start(&pid, nullptr, nullptr, 0), EINVAL);
    EXPECT_EQ(ov_platform_process_start(&pid, "/bin/true", nullptr, 1), EINVAL);
    EXPECT_EQ(ov_platform_process_start_shell(&pid, nullptr), EINVAL);
    EXPECT_EQ(ov_platform_process_start_shell(nullptr, "true"), EINVAL);
    EXPECT_EQ(ov_platform_fork(nullptr), EINVAL);
    EXPECT_EQ(pid, 12345) << "the pid was written on a failure";
    EXPECT_TRUE(NoChildLeft()) << "a refused start forked";
    EXPECT_EQ(ovsupport::open_descriptors(), descriptors);
}

// The wait ends when the child does, with its exit status or -1 for a
// signal; a child still running at the timeout is left running.
TEST(PlatformProcess, WaitEndsWithTheChildOrAtTheTimeout) {
    pid_t pid = -1;
    ASSERT_OV_OK(ov_platform_process_start_shell(&pid, "exit 42"));
    int32_t code = -5;
    EXPECT_OV_OK(ov_platform_process_wait(pid, 20000, &code));
    EXPECT_EQ(code, 42);

    const char *const seconds[] = {"30"};
    ASSERT_OV_OK(ov_platform_process_start(&pid, "sleep", seconds, 1));
    const int64_t start = ovtest::monotonic_usec();
    code = -5;
    EXPECT_EQ(ov_platform_process_wait(pid, 300, &code), ETIMEDOUT);
    const int64_t waited_ms = (ovtest::monotonic_usec() - start) / 1000;
    EXPECT_GE(waited_ms, 300);
    EXPECT_LT(waited_ms, 5000);
    EXPECT_EQ(code, -5) << "the exit code was written although the child runs";
    int32_t gone = -1;
    EXPECT_OV_OK(ov_platform_process_exists(pid, &gone));
    EXPECT_EQ(gone, 0);

    // The timeout 0 looks without waiting longer than a moment.
    EXPECT_EQ(ov_platform_process_wait(pid, 0, &code), ETIMEDOUT);

    // Ended by SIGTERM: seen within a short time, not at the timeout.
    EXPECT_OV_OK(ov_platform_process_terminate(pid));
    const int64_t before_end = ovtest::monotonic_usec();
    EXPECT_OV_OK(ov_platform_process_wait(pid, 60000, &code));
    EXPECT_LT((ovtest::monotonic_usec() - before_end) / 1000, 10000);
    EXPECT_EQ(code, -1);
    EXPECT_OV_OK(ov_platform_process_exists(pid, &gone));
    EXPECT_EQ(gone, 1);
    // Collected: waiting again is the system's error, not a success.
    EXPECT_EQ(ov_platform_process_wait(pid, 10, &code), ECHILD);
    EXPECT_EQ(ov_platform_process_wait(1, 10, nullptr), ECHILD);
    EXPECT_TRUE(NoChildLeft());
}

// One look at a child: running, exited with its status, killed by a signal,
// or the system's error with the outputs untouched.
TEST(PlatformProcess, PollAndCheckReportEachState) {
    const char *const seconds[] = {"30"};
    pid_t pid = -1;
    ASSERT_OV_OK(ov_platform_process_start(&pid, "sleep", seconds, 1));
    int32_t state = -1, code = -7;
    EXPECT_OV_OK(ov_platform_process_poll(pid, nullptr, &state));
    EXPECT_EQ(state, OV_PLATFORM_POLL_RUNNING);
    EXPECT_OV_OK(ov_platform_process_check_exit(pid, &state, &code));
    EXPECT_EQ(state, OV_PLATFORM_CHILD_RUNNING);
    EXPECT_EQ(code, -7);
    // A stopped child is still running.
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    EXPECT_OV_OK(ov_platform_process_check_exit(pid, &state, &code));
    EXPECT_EQ(state, OV_PLATFORM_CHILD_RUNNING);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    // The end is seen once the kernel has delivered the signal.
    for (int i = 0; i < 5000 && state == OV_PLATFORM_CHILD_RUNNING; ++i) {
        ASSERT_OV_OK(ov_platform_process_check_exit(pid, &state, &code));
        if (state == OV_PLATFORM_CHILD_RUNNING) usleep(1000);
    }
    EXPECT_EQ(state, OV_PLATFORM_CHILD_KILLED);
    EXPECT_EQ(code, -1);
    state = 9;
    code = 9;
    EXPECT_EQ(ov_platform_process_check_exit(pid, &state, &code), ECHILD);
    EXPECT_EQ(state + code, 18) << "outputs written on a failure";
    EXPECT_EQ(ov_platform_process_poll(pid, nullptr, &state), ECHILD);
    EXPECT_EQ(state, OV_PLATFORM_POLL_FAILED);

    ASSERT_OV_OK(ov_platform_process_start_shell(&pid, "exit 3"));
    state = OV_PLATFORM_POLL_RUNNING;
    for (int i = 0; i < 5000 && state == OV_PLATFORM_POLL_RUNNING; ++i) {
        ASSERT_OV_OK(ov_platform_process_poll(pid, nullptr, &state));
        if (state == OV_PLATFORM_POLL_RUNNING) usleep(1000);
    }
    EXPECT_EQ(state, OV_PLATFORM_POLL_ENDED);
    EXPECT_TRUE(NoChildLeft());

    ASSERT_OV_OK(ov_platform_process_start_shell(&pid, "exit 4"));
    state = OV_PLATFORM_CHILD_RUNNING;
    for (int i = 0; i < 5000 && state == OV_PLATFORM_CHILD_RUNNING; ++i) {
        ASSERT_OV_OK(ov_platform_process_check_exit(pid, &state, nullptr));
        if (state == OV_PLATFORM_CHILD_RUNNING) usleep(1000);
    }
    EXPECT_EQ(state, OV_PLATFORM_CHILD_EXITED);
    EXPECT_TRUE(NoChildLeft());
}

// Ids of 0 and below name any child or a group to waitpid(2): the calls
// refuse them, and a child that ended meanwhile keeps its status for the
// caller that waits for it by its own id.
TEST(PlatformProcess, IdsThatNameNoSingleChildAreRefused) {
    pid_t pid = -1;
    ASSERT_OV_OK(ov_platform_process_start_shell(&pid, "exit 9"));
    // Ended, not yet collected.
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    int32_t state = -1, code = -1;
    for (const pid_t bad : {0, -1, -pid}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(ov_platform_process_poll(bad, nullptr, &state), EINVAL);
        EXPECT_EQ(state, OV_PLATFORM_POLL_FAILED);
        EXPECT_EQ(ov_platform_process_check_exit(bad, &state, &code), EINVAL);
        EXPECT_EQ(ov_platform_process_wait(bad, 10, &code), EINVAL);
        EXPECT_EQ(ov_platform_process_exists(bad, &state), EINVAL);
    }
    EXPECT_EQ(ov_platform_process_poll(pid, nullptr, nullptr), EINVAL);
    EXPECT_EQ(ov_platform_process_check_exit(pid, nullptr, &code), EINVAL);
    EXPECT_EQ(ov_platform_process_exists(pid, nullptr), EINVAL);
    EXPECT_OV_OK(ov_platform_process_wait(pid, 20000, &code));
    EXPECT_EQ(code, 9);
}

// Termination of 0 or a negative id sends nothing: to kill(2) those name a
// whole group, or every process. Tried in a session of its own as nobody,
// so that a wrong send could only reach that child.
TEST(PlatformProcess, TerminateOfGroupIdsSendsNothing) {
    const pid_t pid = ovsupport::StartFunction(
        [] {
            return ov_platform_process_terminate(0) == 0 &&
                           ov_platform_process_terminate(-1) == 0 &&
                           ov_platform_process_terminate(-getpid()) == 0
                       ? 0
                       : 1;
        },
        {.new_session = true, .user = ovtest::kNobody});
    ASSERT_GT(pid, 0);
    EXPECT_EQ(ovsupport::DescribeStatus(ovsupport::Wait(pid)), "exit 0");
}

TEST(PlatformProcess, ReapAnyCollectsOneEndedChild) {
    ASSERT_TRUE(NoChildLeft());
    EXPECT_EQ(ov_platform_process_reap_any(), ECHILD);
    const char *const seconds[] = {"30"};
    pid_t sleeper = -1, quick = -1;
    ASSERT_OV_OK(ov_platform_process_start(&sleeper, "sleep", seconds, 1));
    EXPECT_EQ(ov_platform_process_reap_any(), EWOULDBLOCK);
    ASSERT_OV_OK(ov_platform_process_start(&quick, "true", nullptr, 0));
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(quick), &info, WEXITED | WNOWAIT), 0);
    EXPECT_OV_OK(ov_platform_process_reap_any());
    EXPECT_EQ(ov_platform_process_reap_any(), EWOULDBLOCK);
    int32_t gone = -1;
    EXPECT_OV_OK(ov_platform_process_exists(quick, &gone));
    EXPECT_EQ(gone, 1);
    ASSERT_EQ(kill(sleeper, SIGKILL), 0);
    EXPECT_OV_OK(ov_platform_process_wait(sleeper, 20000, nullptr));
    EXPECT_EQ(ov_platform_process_reap_any(), ECHILD);
}

// A process that exists but may not be signalled exists: as nobody, init
// gives EPERM and leaves the flag alone.
TEST(PlatformProcess, ExistenceAsAnUnprivilegedUser) {
    int32_t gone = -1;
    EXPECT_OV_OK(ov_platform_process_exists(getpid(), &gone));
    EXPECT_EQ(gone, 0);
    bool passed = false;
    const bool ran = ovtest::RunUnprivileged(
        [] {
            int32_t flag = 5;
            return ov_platform_process_exists(1, &flag) == EPERM && flag == 5 &&
                   ov_platform_process_terminate(1) == EPERM;
        },
        &passed);
    if (!ran) GTEST_SKIP() << "cannot run as nobody here";
    EXPECT_TRUE(passed);
}

// fork and the exec calls, each in a child whose exit status tells what ran.
TEST(PlatformProcess, ForkAndExecCalls) {
    pid_t pid = -1;
    ASSERT_OV_OK(ov_platform_fork(&pid));
    if (pid == 0) _exit(5);
    EXPECT_EQ(ovsupport::ExitCode(ovsupport::Wait(pid)), 5);

    auto in_child = [](const std::function<int()> &body) {
        return ovsupport::ExitCode(ovsupport::Wait(ovsupport::StartFunction(body)));
    };
    EXPECT_EQ(in_child([] {
                  char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                                        const_cast<char *>("exit 9"), nullptr};
                  return ov_platform_exec("sh", argv) + 100;
              }),
              9);
    EXPECT_EQ(in_child([] {
                  char *const argv[] = {const_cast<char *>("x"), nullptr};
                  return ov_platform_exec("no-such-program-of-this-test", argv);
              }),
              ENOENT);
    EXPECT_EQ(
        in_child([] {
            char *const argv[] = {
                const_cast<char *>("sh"), const_cast<char *>("-c"),
                const_cast<char *>("[ \"$OVTEST_ONLY\" = yes ] && [ -z \"$HOME\" ] && exit 11"),
                nullptr};
            char *const envp[] = {const_cast<char *>("OVTEST_ONLY=yes"), nullptr};
            return ov_platform_exec_env("sh", argv, envp) + 100;
        }),
        11);
    EXPECT_EQ(in_child([] {
                  ScopedEnv marker("OVTEST_KEPT", "kept");
                  char *const argv[] = {
                      const_cast<char *>("sh"), const_cast<char *>("-c"),
                      const_cast<char *>("[ \"$OVTEST_KEPT\" = kept ] && exit 12"), nullptr};
                  return ov_platform_exec_env("sh", argv, nullptr) + 100;
              }),
              12);
    EXPECT_EQ(in_child([] {
                  return ov_platform_execl("sh", "sh", "-c", "exit $#", "n", "a", "b",
                                           static_cast<char *>(nullptr)) +
                         100;
              }),
              2);
    EXPECT_EQ(in_child([] {
                  char *const envp[] = {const_cast<char *>("OVTEST_ONLY=le"), nullptr};
                  return ov_platform_execle("sh", "sh", "-c",
                                            "[ \"$OVTEST_ONLY\" = le ] && exit 13",
                                            static_cast<char *>(nullptr), envp) +
                         100;
              }),
              13);
    EXPECT_EQ(ov_platform_exec(nullptr, nullptr), EINVAL);
    EXPECT_EQ(ov_platform_exec_env("sh", nullptr, nullptr), EINVAL);
}

// execl takes at most 99 arguments before its terminating null.
#define OV_TEN(x) x, x, x, x, x, x, x, x, x, x
TEST(PlatformProcess, ExeclTakesAtMost99Arguments) {
    // sh, -c, the script, $0, then 95 more: 99.
    const pid_t pid = ovsupport::StartFunction([] {
        return ov_platform_execl("sh", "sh", "-c", "exit $#", "n", OV_TEN("a"), OV_TEN("a"),
                                 OV_TEN("a"), OV_TEN("a"), OV_TEN("a"), OV_TEN("a"), OV_TEN("a"),
                                 OV_TEN("a"), OV_TEN("a"), "a", "a", "a", "a", "a",
                                 static_cast<char *>(nullptr)) +
               100;
    });
    EXPECT_EQ(ovsupport::ExitCode(ovsupport::Wait(pid)), 95);
    // One more is refused without running anything.
    EXPECT_EQ(
        ov_platform_execl("sh", "sh", "-c", "exit $#", "n", OV_TEN("a"), OV_TEN("a"), OV_TEN("a"),
                          OV_TEN("a"), OV_TEN("a"), OV_TEN("a"), OV_TEN("a"), OV_TEN("a"),
                          OV_TEN("a"), "a", "a", "a", "a", "a", "a", static_cast<char *>(nullptr)),
        ERANGE);
    char *const envp[] = {nullptr};
    EXPECT_EQ(ov_platform_execle("sh", "sh", "-c", "exit $#", "n", OV_TEN("a"), OV_TEN("a"),
                                 OV_TEN("a"), OV_TEN("a"), OV_TEN("a"), OV_TEN("a"), OV_TEN("a"),
                                 OV_TEN("a"), OV_TEN("a"), "a", "a", "a", "a", "a", "a",
                                 static_cast<char *>(nullptr), envp),
              ERANGE);
}
#undef OV_TEN

// Every descriptor from 3 up is closed; with an open-file limit below 4
// nothing is.
TEST(PlatformProcess, CloseInheritedClosesFromThreeUp) {
    const int status = ovtest::RunChild([] {
        const int fd = open("/dev/null", O_RDONLY);
        if (fd < 0 || dup2(fd, 3) != 3 || dup2(fd, 700) != 700) return 10;
        ov_platform_close_inherited();
        if (fcntl(3, F_GETFD) != -1 || fcntl(700, F_GETFD) != -1) return 1;
        if (fcntl(0, F_GETFD) == -1 && fcntl(1, F_GETFD) == -1 && fcntl(2, F_GETFD) == -1) return 2;
        if (dup2(0, 5) != 5) return 11;
        const rlimit three{3, 3};
        if (setrlimit(RLIMIT_NOFILE, &three) != 0) return 12;
        ov_platform_close_inherited();
        return fcntl(5, F_GETFD) != -1 ? 0 : 3;
    });
    EXPECT_EQ(status, 0) << "1: one at 3 or above stayed open, 2: the standard ones were closed, "
                            "3: something was closed under a limit below 4";
}

// A password read from the terminal without echo, and the C library's copy
// wiped. The child has a pseudo-terminal of its own as its controlling
// terminal; the test types on the other side and reads what it shows.
TEST(PlatformProcess, PasswordFromTheTerminalWithoutEcho) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        GTEST_SKIP() << "no pseudo-terminal here";
    const std::string terminal = ptsname(master);
    int report[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    const pid_t pid = ovsupport::StartFunction([&] {
        close(master);
        close(report[0]);
        if (setsid() < 0) return 20;
        const int tty = open(terminal.c_str(), O_RDWR);
        if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0) return 21;
        // The C library's own buffer, found with a first read.
        char *library_copy = getpass("first: ");
        if (library_copy == nullptr) return 22;
        char out[64];
        const int32_t rc = ov_platform_getpass("Password: ", nullptr, out, sizeof out);
        const int wiped = library_copy[0];
        char small[4];
        const int32_t cut = ov_platform_getpass("Again: ", nullptr, small, sizeof small);
        const std::string result = std::to_string(rc) + "|" + out + "|" + std::to_string(wiped) +
                                   "|" + std::to_string(cut) + "|" + small;
        return write(report[1], result.data(), result.size()) == static_cast<ssize_t>(result.size())
                   ? 0
                   : 23;
    });
    close(report[1]);
    // Each line is typed after its prompt shows, so that no echo setting
    // lags behind the typing.
    std::string shown;
    auto wait_for = [&](const std::string &prompt) {
        for (int i = 0; i < 500 && shown.find(prompt) == std::string::npos; ++i) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 20) == 1) {
                char buffer[256];
                const ssize_t n = read(master, buffer, sizeof buffer);
                if (n > 0) shown.append(buffer, static_cast<size_t>(n));
            }
        }
        return shown.find(prompt) != std::string::npos;
    };
    bool typed = wait_for("first: ") && write(master, "one\n", 4) == 4;
    typed = typed && wait_for("Password: ") && write(master, "hunter2\n", 8) == 8;
    typed = typed && wait_for("Again: ") && write(master, "toolong\n", 8) == 8;
    std::string result;
    char buffer[256];
    ssize_t n;
    while ((n = read(report[0], buffer, sizeof buffer)) > 0) result.append(buffer, n);
    close(report[0]);
    // What the child showed after the last line, where an echo would be.
    for (pollfd ready{master, POLLIN, 0}; poll(&ready, 1, 100) == 1;) {
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) break;
        shown.append(buffer, static_cast<size_t>(got));
    }
    close(master);
    const int status = ovsupport::ExitCode(ovsupport::WaitFor(pid, std::chrono::seconds(20)));
    ASSERT_TRUE(typed) << "prompts seen: " << shown;
    ASSERT_EQ(status, 0) << shown;
    EXPECT_EQ(result, "0|hunter2|0|" + std::to_string(EBUFFER) + "|too");
    EXPECT_EQ(shown.find("hunter2"), std::string::npos) << "the password was echoed: " << shown;
}

TEST(PlatformProcess, GetpassWithoutTextOrArguments) {
    char out[16];
    EXPECT_EQ(ov_platform_getpass(nullptr, nullptr, out, sizeof out), EINVAL);
    EXPECT_EQ(ov_platform_getpass("p", nullptr, nullptr, sizeof out), EINVAL);
    EXPECT_EQ(ov_platform_getpass("p", nullptr, out, 0), EINVAL);
}

TEST(PlatformProcess, EnvironmentVariables) {
    ScopedEnv restore("OVTEST_PLATFORM_VAR", nullptr);
    char value[8];
    std::memset(value, 'x', sizeof value);
    EXPECT_EQ(ov_platform_getenv("OVTEST_PLATFORM_VAR", value, sizeof value), EINVAL);
    EXPECT_STREQ(value, "");
    ASSERT_OV_OK(ov_platform_setenv("OVTEST_PLATFORM_VAR", "first"));
    ASSERT_OV_OK(ov_platform_setenv("OVTEST_PLATFORM_VAR", "second"));
    EXPECT_STREQ(std::getenv("OVTEST_PLATFORM_VAR"), "second");
    EXPECT_OV_OK(ov_platform_getenv("OVTEST_PLATFORM_VAR", value, sizeof value));
    EXPECT_STREQ(value, "second");
    EXPECT_EQ(ov_platform_getenv("OVTEST_PLATFORM_VAR", value, 4), EBUFFER);
    EXPECT_STREQ(value, "sec");
    ASSERT_OV_OK(ov_platform_setenv("OVTEST_PLATFORM_VAR", ""));
    EXPECT_OV_OK(ov_platform_getenv("OVTEST_PLATFORM_VAR", value, sizeof value));
    EXPECT_STREQ(value, "");

    EXPECT_EQ(ov_platform_setenv("OVTEST=BAD", "x"), EINVAL);
    EXPECT_EQ(ov_platform_setenv("", "x"), EINVAL);
    EXPECT_EQ(ov_platform_setenv(nullptr, "x"), EINVAL);
    EXPECT_EQ(ov_platform_setenv("OVTEST_PLATFORM_VAR", nullptr), EINVAL);
    EXPECT_EQ(ov_platform_getenv(nullptr, value, sizeof value), EINVAL);
    EXPECT_EQ(ov_platform_getenv("OVTEST_PLATFORM_VAR", nullptr, sizeof value), EINVAL);
    EXPECT_EQ(ov_platform_getenv("OVTEST_PLATFORM_VAR", value, 0), EINVAL);
}

// Bad input across the module leaves no descriptor, child or block behind.
TEST(PlatformProcess, BadInputLeavesNothingBehind) {
    const size_t descriptors = ovsupport::open_descriptors();
    const int32_t blocks = ov::detail::stack_blocks_live();
    ovtest::LogCapture quiet;
    for (int round = 0; round < 3; ++round) {
        pid_t pid = 0;
        int32_t state = 0;
        ov_mount_t *mounts = nullptr;
        void *block = nullptr;
        uint32_t stack_state = OV_PLATFORM_STACK_UNUSED;
        ov_stack_slot_t slots[1];
        const char *many[500] = {};
        (void)ov_platform_process_start(&pid, "/bin/true", many, 500);
        (void)ov_platform_process_wait(-1, 0, nullptr);
        (void)ov_platform_process_poll(0, nullptr, &state);
        (void)ov_platform_mounts(nullptr);
        (void)ov_platform_mounts_free(&mounts);
        (void)ov_platform_aligned_alloc(&block, 48, 1);
        (void)ov_platform_aligned_alloc(&block, 64, SIZE_MAX);
        (void)ov_platform_stack_get(nullptr, nullptr, 1, 8, slots, 0, &stack_state);
        (void)ov_platform_signal_number("SIGSEGVX");
        (void)ov_platform_signal_number(nullptr);
        (void)ov_platform_usr(nullptr, 0);
        char name[4];
        (void)ov_platform_user_name(0, name, 0);
        struct passwd entry {};
        (void)ov_platform_user_lookup("", &entry, name, sizeof name);
        (void)ov_platform_user_lookup("root", &entry, name, sizeof name);
    }
    EXPECT_EQ(ovsupport::open_descriptors(), descriptors);
    EXPECT_EQ(ov::detail::stack_blocks_live(), blocks);
    EXPECT_TRUE(NoChildLeft());
}

}  // namespace
