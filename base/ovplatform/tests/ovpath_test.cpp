// ovpath_test.cpp - the canonical form, parent, join, builder, the path tests
// and the installation directories.
#include <ovplatform/overror.h>
#include <ovplatform/ovpath.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace {

using ovtest::RunChild;
using ovtest::write_file;

struct CanonicalCase {
    const char *in;
    size_t size;
    int rc;
    const char *out;  // expected output when rc is 0
};

std::string Printable(const char *text) {
    if (text == nullptr) return "(null)";
    std::string s;
    for (const char *p = text; *p != '\0'; ++p)
        s += *p == '\n' ? std::string("\\n") : std::string(1, *p);
    return s;
}

TEST(PathCanonical, Table) {
    const CanonicalCase cases[] = {
        // Empty and refused inputs.
        {"", 64, 0, ""},
        {nullptr, 64, 0, ""},
        {"a\nb", 64, -1, nullptr},
        {"/a/\n", 64, -1, nullptr},
        // The examples of the canonical form.
        {"/a/b/../c", 64, 0, "/a/c"},
        {"a/./b/", 64, 0, "a/b"},
        {"/..", 64, 0, "/"},
        {"../a/../b", 64, 0, "../b"},
        {"a/../..", 64, 0, ".."},
        {"a/..", 64, 0, "."},
        {".", 64, 0, "."},
        {"///x", 64, 0, "/x"},
        {"//srv/share/x/..", 64, 0, "//srv/share/"},
        {"D:", 64, 0, "D:/"},
        {"D:x", 64, 0, "D:/x"},
        {"D:\\x\\y", 64, 0, "D:/x/y"},
        {"a\\b\\..\\c", 64, 0, "a/c"},
        // A relative first name that looks like a drive prefix keeps the
        // "./" that makes it relative; without it the result, canonicalised
        // again, would become a drive root.
        {"./x:", 64, 0, "./x:"},
        {"a/../D:y/z", 64, 0, "./D:y/z"},
        {"./ D:", 64, 0, "./ D:"},
        {"./x:", 5, 0, "./x:"},
        {"a/../x:", 8, 0, "./x:"},
        {"../x:", 64, 0, "../x:"},
        {"../a/..", 64, 0, ".."},
        // Roots and what climbs above them.
        {"/", 64, 0, "/"},
        {"//", 64, 0, "/"},
        {"/a/../../b", 64, 0, "/b"},
        {"D:/../x", 64, 0, "D:/x"},
        {"d:..\\..", 64, 0, "d:/"},
        {"//server", 64, 0, "/server"},
        {"//server/", 64, -1, nullptr},
        {"//server//", 64, -1, nullptr},
        {"//server/share", 64, 0, "//server/share/"},
        {"//server//share//x", 64, 0, "//server/share/x"},
        {"\\\\server\\share\\x", 64, 0, "//server/share/x"},
        {"//srv/share/../../x", 64, 0, "//srv/share/x"},
        // Relative paths keep their leading "..".
        {"../../a/b/../c", 64, 0, "../../a/c"},
        {"../..", 64, 0, "../.."},
        {"./../x/./../..", 64, 0, "../.."},
        {"foo/", 64, 0, "foo"},
        {"a//b///c", 64, 0, "a/b/c"},
        {"a/.../.x/..x/x..", 64, 0, "a/.../.x/..x/x.."},
        {"./", 64, 0, "."},
        // URLs and the product's scheme pass unchanged, cut without failure.
        {"http://host//a/../b", 64, 0, "http://host//a/../b"},
        {"svn+ssh://h/./x/", 64, 0, "svn+ssh://h/./x/"},
        {"vlxp://h/a/../b", 64, 0, "vlxp://h/a/../b"},
        {"http://host/abcdef", 10, 0, "http://ho"},
        {"c://x/../y", 64, 0, "c:/y"},
        {"dir/ab://x/..", 64, 0, "dir/ab:"},
        // The input must be shorter than the size.
        {"a/b/../c", 4, -1, nullptr},
        {"a/b/../c", 8, -1, nullptr},
        {"a/b/../c", 9, 0, "a/c"},
        {"abc", 4, 0, "abc"},
        {"abc", 3, -1, nullptr},
        {"a", 1, -1, nullptr},
        // The output fills its size - 1 bytes before the input is consumed.
        {"D:x", 4, -1, nullptr},
        {"D:x", 5, 0, "D:/x"},
        {"D:", 4, 0, "D:/"},
        {"D:", 3, -1, nullptr},
        {"//s/h", 6, -1, nullptr},
        {"//s/h", 7, 0, "//s/h/"},
        // A size of 0 leaves no room for anything.
        {"a", 0, -1, nullptr},
        {"", 0, -1, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Printable(c.in) + " size " + std::to_string(c.size));
        char out[128];
        std::memset(out, 'Z', sizeof out);
        int rc = ov_path_canonical(c.in, out, c.size);
        ASSERT_EQ(rc, c.rc);
        if (rc == 0) {
            EXPECT_STREQ(out, c.out);
        } else if (c.size > 0) {
            EXPECT_STREQ(out, "") << "a failed canonical form leaves no usable path";
        }
        if (c.size < sizeof out) {
            EXPECT_EQ(out[c.size], 'Z') << "wrote past the given size";
        }
    }
}

TEST(PathCanonical, LeadingWhiteSpaceBeforeADriveIsDropped) {
    char out[32];
    ASSERT_EQ(ov_path_canonical("  D:x\\y", out, sizeof out), 0);
    EXPECT_STREQ(out, "D:/x/y");
}

TEST(PathCanonical, InputAndOutputMayBeOneBuffer) {
    char buffer[64] = "/var//lock/./../log/x/";
    ASSERT_EQ(ov_path_canonical(buffer, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "/var/log/x");
    char url[64] = "http://h/a/../b";
    ASSERT_EQ(ov_path_canonical(url, url, sizeof url), 0);
    EXPECT_STREQ(url, "http://h/a/../b");
}

TEST(PathCanonical, LongestInputsAndDeepestStacks) {
    // 4096 one-letter components fill 8191 bytes: the most the component
    // stack ever has to hold.
    std::string deep;
    for (int i = 0; i < 4096; ++i) deep += i == 0 ? "a" : "/a";
    ASSERT_EQ(deep.size(), 8191u);
    std::vector<char> out(16384);
    ASSERT_EQ(ov_path_canonical(deep.c_str(), out.data(), out.size()), 0);
    EXPECT_EQ(std::string(out.data()), deep);

    // The work buffer is 8192 bytes whatever the output's size.
    std::string too_long = deep + "b";
    EXPECT_EQ(ov_path_canonical(too_long.c_str(), out.data(), out.size()), -1);

    // As many ".." as components come back to ".".
    std::string back;
    for (int i = 0; i < 1300; ++i) back += "a/";
    for (int i = 0; i < 1300; ++i) back += "../";
    back += ".";
    ASSERT_LT(back.size(), 8192u);
    ASSERT_EQ(ov_path_canonical(back.c_str(), out.data(), out.size()), 0);
    EXPECT_STREQ(out.data(), ".");
}

TEST(PathParent, Table) {
    struct Case {
        const char *in;
        int rc;  // the length, or -1
        const char *out;
    } cases[] = {
        {"/var/lock/x.lck", 9, "/var/lock"},
        {"x.lck", 1, "."},
        {"/", 1, "/"},
        {"../x", 2, ".."},
        {"D:/x", 3, "D:/"},
        {"a/b/", 1, "a"},
        {"..", 5, "../.."},
        {"//srv/share/x", 12, "//srv/share/"},
        {"http://h/x", 13, "http://h/x/.."},
        // The ".." is appended to the canonical form: appended to the raw
        // text it would complete a network root ("//srv/..") that the path
        // does not have.
        {"//srv", 1, "/"},
        {"//D", 1, "/"},
        {"//srv/", -1, nullptr},
        {"./x:/y", 4, "./x:"},
        {"", -1, nullptr},
        {nullptr, -1, nullptr},
        {"a\nb", -1, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Printable(c.in));
        char out[64];
        int rc = ov_path_parent(c.in, out, sizeof out);
        ASSERT_EQ(rc, c.rc);
        if (rc >= 0) {
            EXPECT_STREQ(out, c.out);
        }
    }
}

TEST(PathParent, InPlaceAndTooLong) {
    char buffer[64] = "/var/lock/x.lck";
    ASSERT_EQ(ov_path_parent(buffer, buffer, sizeof buffer), 9);
    EXPECT_STREQ(buffer, "/var/lock");
    std::string huge(8193, 'a');
    std::vector<char> out(16384);
    EXPECT_EQ(ov_path_parent(huge.c_str(), out.data(), out.size()), -1);
    // The result must fit the caller's buffer too.
    char small[4];
    EXPECT_EQ(ov_path_parent("/var/lock/x", small, sizeof small), -1);
}

TEST(PathBuild, FormatsAndCanonicalises) {
    char out[64];
    int32_t error = -5;
    char *p =
        ov_path_build_canonical_path(out, sizeof out, &error, "%s/%s/../%d", "/opt//x", "var", 7);
    ASSERT_EQ(p, out);
    EXPECT_EQ(error, 0);
    EXPECT_STREQ(out, "/opt/x/7");

    // Without an error location the result alone tells success.
    EXPECT_EQ(ov_path_build_canonical_path(out, sizeof out, nullptr, "a/%s", ".."), out);
    EXPECT_STREQ(out, ".");
}

TEST(PathBuild, Failures) {
    int32_t error = 0;
    {
        ovtest::LogCapture log;
        ASSERT_TRUE(log.ok());
        EXPECT_EQ(ov_path_build_canonical_path(nullptr, 10, &error, "x"), nullptr);
        EXPECT_EQ(error, EINVAL);
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, 1u);
        EXPECT_EQ(lines[0].source, "base/ovplatform/src/ovpath");
        EXPECT_EQ(lines[0].text, "ov_path_build_canonical_path: Null buffer");
    }

    char out[64];
    std::string long_text(8192, 'a');
    error = 0;
    EXPECT_EQ(ov_path_build_canonical_path(out, sizeof out, &error, "%s", long_text.c_str()),
              nullptr);
    EXPECT_EQ(error, ERANGE);

    error = 0;
    EXPECT_EQ(ov_path_build_canonical_path(out, sizeof out, &error, "a%cb", '\n'), nullptr);
    EXPECT_EQ(error, EINVAL);

    error = 0;
    EXPECT_EQ(ov_path_build_canonical_path(out, 4, &error, "%s", "/abcdef"), nullptr);
    EXPECT_EQ(error, EINVAL);
    EXPECT_EQ(ov_path_build_canonical_path(nullptr, 4, nullptr, "x"), nullptr);
}

TEST(PathJoin, Table) {
    struct Case {
        const char *dir;
        const char *name;
        size_t size;
        int strip;
        int rc;
        const char *out;
    } cases[] = {
        {"/opt/x/var/log", "app.log", 64, 1, 0, "/opt/x/var/log/app.log"},
        {"/opt/x/var/log", "/app.log", 64, 1, 0, "/opt/x/var/log/app.log"},
        {"/opt/x/var/log", "/app.log", 64, 0, 0, "/opt/x/var/log/app.log"},
        {"/opt/x/var/log/", "app.log", 64, 1, 0, "/opt/x/var/log/app.log"},
        {".", "/x", 64, 1, 0, "x"},
        {".", "/x", 64, 0, 0, "x"},
        {".", "a/../y", 64, 1, 0, "y"},
        {"", "a/./b", 64, 1, 0, "a/b"},
        {"", "/a", 64, 1, 0, "/a"},
        {"/", "/etc/x", 64, 1, 0, "/etc/x"},
        {"/", "D:/x", 64, 1, 0, "D:/x"},
        {"/", "x", 64, 1, 0, "/x"},
        {"a", "../../b", 64, 1, 0, "../b"},
        {"/a", "../../b", 64, 1, 0, "/b"},
        {"a/b", "", 64, 1, 0, "a/b"},
        // Refusals: no room, null name, size below the directory.
        {"/d", "abcdef", 6, 1, -1, nullptr},
        {"/d", "x", 0, 1, -1, nullptr},
        {"/d", nullptr, 64, 1, -1, nullptr},
        {"/dir", "x", 4, 1, -1, nullptr},
        {"/dir", "x", 5, 1, -1, nullptr},
        {"/dir", "x", 7, 1, 0, "/dir/x"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.dir) + " + " + Printable(c.name) + " size " +
                     std::to_string(c.size) + (c.strip ? " strip" : ""));
        char out[64];
        int rc = ov_path_join_ex(c.dir, c.name, out, c.size, c.strip);
        ASSERT_EQ(rc, c.rc);
        if (rc == 0) {
            EXPECT_STREQ(out, c.out);
        }
    }
    char out[64];
    ASSERT_EQ(ov_path_join("/opt/x/var/log", "/app.log", out, sizeof out), 0);
    EXPECT_STREQ(out, "/opt/x/var/log/app.log");
}

TEST(PathJoin, NameInsideTheOutputBuffer) {
    char buffer[64] = "x/./y";
    ASSERT_EQ(ov_path_join("/base", buffer, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "/base/x/y");
    char same[64] = "/base";
    ASSERT_EQ(ov_path_join(same, "z", same, sizeof same), 0);
    EXPECT_STREQ(same, "/base/z");
}

TEST(PathIsRelative, Table) {
    const std::pair<const char *, int> cases[] = {
        {"D:x", 1},       {"D:/x", 0}, {"D:\\x", 0}, {"\\x", 0},        {"/x", 0},
        {"  /x", 0},      {"", 1},     {"   ", 1},   {"x/y", 1},        {"./x", 1},
        {"http://a/", 0}, {"1:x", 1},  {"ab:/x", 1}, {"vlxp://h/x", 0},
    };
    for (const auto &[path, expected] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(ov_path_is_relative(path), expected);
    }
}

using FlagTest = int32_t (*)(const char *, int32_t *);

struct FlagCase {
    const char *path;
    int32_t rc;
    int32_t flag;
};

void RunFlagTable(const char *name, FlagTest test, std::initializer_list<FlagCase> cases) {
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(name) + "(" + Printable(c.path) + ")");
        int32_t flag = 7;
        EXPECT_EQ(test(c.path, &flag), c.rc);
        EXPECT_EQ(flag, c.flag);
    }
    SCOPED_TRACE(std::string(name) + " with a null flag");
    EXPECT_EQ(test("/x", nullptr), EINVAL);
}

TEST(PathFlagTests, Absolute) {
    RunFlagTable("is_absolute", ov_path_is_absolute,
                 {{"/x", 0, 1},
                  {"D:x", 0, 1},
                  {" D:/x", 0, 1},
                  {"//s/h", 0, 1},
                  {"http://x/y", 0, 1},
                  {"x", 0, 0},
                  {"./x", 0, 0},
                  {"", EINVAL, 0},
                  {nullptr, EINVAL, 0},
                  {"/a\nb", EINVAL, 0},
                  {"/a\rb", EINVAL, 0}});
}

TEST(PathFlagTests, Rooted) {
    RunFlagTable("is_rooted", ov_path_is_rooted,
                 {{"/x", 0, 1},
                  {"/", 0, 1},
                  {"//x", 0, 0},
                  {"x", 0, 0},
                  {"D:/x", 0, 0},
                  {"", EINVAL, 0},
                  {"/x\n", EINVAL, 0}});
}

TEST(PathFlagTests, Canonical) {
    RunFlagTable("is_canonical", ov_path_is_canonical,
                 {{"/a/b", 0, 1},
                  {".", 0, 1},
                  {"//s/h/", 0, 1},
                  {"/a/b/", 0, 0},
                  {"a/./b", 0, 0},
                  {"a//b", 0, 0},
                  {"D:x", 0, 0},
                  {"a\nb", EINVAL, 0},
                  {nullptr, EINVAL, 0}});
    RunFlagTable("is_canonical_absolute", ov_path_is_canonical_absolute,
                 {{"/a", 0, 1}, {"D:/a", 0, 1}, {"a", 0, 0}, {"/a/", 0, 0}, {nullptr, EINVAL, 0}});
    RunFlagTable("is_canonical_rooted", ov_path_is_canonical_rooted,
                 {{"/a", 0, 1}, {"//s/h/", 0, 0}, {"D:/a", 0, 0}, {"/a/..", 0, 0}});
}

TEST(PathFlagTests, PlainNameAndUrl) {
    RunFlagTable("is_plain_name", ov_path_is_plain_name,
                 {{"abc", 0, 1},
                  {"...", 0, 1},
                  {".", 0, 0},
                  {"..", 0, 0},
                  {"a/b", 0, 0},
                  {"a\\b", 0, 0},
                  {"a\nb", 0, 0},
                  {"", EINVAL, 0},
                  {nullptr, EINVAL, 0}});
    RunFlagTable("is_url", ov_path_is_url,
                 {{"http://x/y", 0, 1},
                  {"vlxp://host/path", 0, 1},
                  {"svn+ssh://x", 0, 1},
                  {"c://x", 0, 0},
                  {"ab:/x", 0, 0},
                  {"dir/ab://x", 0, 0},
                  {"http://x\\y", EINVAL, 0},
                  {"", EINVAL, 0}});
}

TEST(PathFlagTests, Portable) {
    RunFlagTable("is_portable", ov_path_is_portable,
                 {{"a/b.txt", 0, 1}, {"../x/y", 0, 1},      {"./../", 0, 1},    {"./.", 0, 1},
                  {"..", 0, 1},      {"D:/dir/x", 0, 1},    {"//?/D:/x", 0, 1}, {"a/b.", 0, 0},
                  {"a /b", 0, 0},    {"a/ /b", 0, 0},       {"a/b ", 0, 0},     {"ab:c", 0, 0},
                  {"a:b", 0, 1},     {"a*b", 0, 0},         {"a\\b", 0, 0},     {"a|b", 0, 0},
                  {"a\tb", 0, 0},    {"caf\xc3\xa9", 0, 0}, {"a/../b", 0, 0},   {"a\nb", EINVAL, 0},
                  {"", EINVAL, 0}});
}

TEST(PathSanitize, Table) {
    struct Case {
        const char *in;
        char ch;
        int32_t rc;
        const char *out;
    } cases[] = {
        {"a*b?", '_', 0, "a_b_"},
        {"dir./x ", '_', 0, "dir_/x_"},
        {"a/   /b", '_', 0, "a/___/b"},
        {"D:/a:b", '_', 0, "D:/a_b"},
        {"../../x<y>", '-', 0, "../../x-y-"},
        {"caf\xc3\xa9", '_', 0, "caf__"},
        {"../..", '_', 0, "../.."},
        {"a*b", 0, 0, "a*b"},
        {"", '_', 0, ""},
        {"a*b", '*', EINVAL, nullptr},
        {"a*b", ' ', EINVAL, nullptr},
        // A '.' would make the trailing '.' it replaces.
        {"a.", '.', EINVAL, nullptr},
        {"a*b", '.', EINVAL, nullptr},
        {"a*b", '/', EINVAL, nullptr},
        {"a*b", '\x01', EINVAL, nullptr},
        {"a*b", '\xc3', EINVAL, nullptr},
        {"a\nb", '_', EINVAL, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Printable(c.in) + " with " + std::to_string(static_cast<int>(c.ch)));
        char out[64];
        int32_t rc = ov_path_sanitize(c.in, out, sizeof out, c.ch);
        ASSERT_EQ(rc, c.rc);
        if (rc == 0) {
            EXPECT_STREQ(out, c.out);
            if (c.ch != 0) {
                int32_t portable = 0;
                if (out[0] != '\0') {
                    ASSERT_OV_OK(ov_path_is_portable(out, &portable));
                    EXPECT_EQ(portable, 1) << "the repair leaves a name the test rejects";
                }
            }
        }
    }
    char small[4];
    EXPECT_EQ(ov_path_sanitize("abcdef", small, sizeof small, '_'), EINVAL);
}

TEST(PathEscapes, Table) {
    const std::pair<const char *, int> cases[] = {
        {"x/..", 0},     {"x/../..", 1}, {"..", 1}, {"/etc", 0}, {"a/../../a", 1},
        {"a/b/../c", 0}, {"../ab", 1},   {"", 0},   {"a\nb", 1}, {"./x", 0},
    };
    for (const auto &[rel, expected] : cases) {
        SCOPED_TRACE(Printable(rel));
        EXPECT_EQ(ov_path_escapes(rel), expected);
    }
    EXPECT_EQ(ov_path_escapes(nullptr), 1);
}

TEST(PathSmallHelpers, DotdotAndNextSeparator) {
    const std::pair<const char *, int> dotdot[] = {
        {"a/../b", 1}, {"..", 1}, {"a/..", 1}, {"../a", 1}, {"..a", 0}, {"a..", 0}, {"a/...", 0},
    };
    for (const auto &[path, expected] : dotdot) {
        SCOPED_TRACE(path);
        EXPECT_EQ(ov_path_has_dotdot(path), expected);
    }
    const char *path = "//a/b";
    EXPECT_EQ(ov_path_next_separator(path), path + 3);
    EXPECT_EQ(ov_path_next_separator("abc"), nullptr);
    EXPECT_EQ(ov_path_next_separator("///"), nullptr);
    EXPECT_EQ(ov_path_next_separator(nullptr), nullptr);
}

TEST(PathSmallHelpers, ForceAbsolute) {
    struct Case {
        const char *in;
        size_t size;
        int32_t rc;
        const char *out;
    } cases[] = {
        {"  x\\y", 64, 0, "/x/y"},     {"D:/x", 64, 0, "D:/x"},   {" D:\\x", 64, 0, "D:/x"},
        {"/x", 64, 0, "/x"},           {"//s/h", 64, 0, "//s/h"}, {"D:x", 64, EINVAL, nullptr},
        {"abc", 4, EPATHMAX, nullptr}, {"abc", 5, 0, "/abc"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.in) + " size " + std::to_string(c.size));
        char buffer[64];
        std::strcpy(buffer, c.in);
        ASSERT_EQ(ov_path_force_absolute(buffer, c.size), c.rc);
        if (c.rc == 0) {
            EXPECT_STREQ(buffer, c.out);
        }
    }
}

TEST(PathSmallHelpers, CollapseAndTrim) {
    const std::pair<const char *, const char *> collapse[] = {
        {"a//b///c", "a/b/c"}, {"//srv//x", "//srv/x"}, {"///x", "//x"}, {"/a/", "/a/"}};
    for (const auto &[in, expected] : collapse) {
        SCOPED_TRACE(in);
        char buffer[32];
        std::strcpy(buffer, in);
        EXPECT_EQ(ov_path_collapse_slashes(buffer, std::strlen(buffer)), std::strlen(expected));
        EXPECT_STREQ(buffer, expected);
    }
    char buffer[32];
    EXPECT_EQ(ov_path_copy_trimmed("a/b///", buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "a/b");
    EXPECT_EQ(ov_path_copy_trimmed("///", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(ov_path_copy_trimmed("abcdef", buffer, 4), -1);
}

class PathFiles : public ovtest::TempDirTest {};

TEST_F(PathFiles, IsDirFollowsLinks) {
    write_file(path("f"), "x");
    ASSERT_EQ(symlink(dir_.c_str(), path("link").c_str()), 0);
    EXPECT_EQ(ov_path_is_dir(dir_.c_str()), 1);
    EXPECT_EQ(ov_path_is_dir(path("link").c_str()), 1);
    EXPECT_EQ(ov_path_is_dir(path("f").c_str()), 0);
    EXPECT_EQ(ov_path_is_dir(path("missing").c_str()), 0);
}

// ---- Program, home and PATH lookups ---------------------------------------------

using ovtest::ScopedEnv;

std::string RealPath(const std::string &p) {
    char buffer[PATH_MAX];
    return realpath(p.c_str(), buffer) != nullptr ? buffer : "";
}

class PathPrograms : public ovtest::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        // A program that exits with status 7, and a file that may not run.
        write_file(path("prog"), "#!/bin/sh\nexit 7\n");
        ASSERT_EQ(chmod(path("prog").c_str(), 0755), 0);
        write_file(path("plain"), "#!/bin/sh\nexit 8\n");
        ASSERT_EQ(chmod(path("plain").c_str(), 0644), 0);
    }
};

TEST(PathExecutable, IsTheRunningProgramAndCached) {
    char expected[8192];
    ssize_t n = readlink("/proc/self/exe", expected, sizeof expected - 1);
    ASSERT_GT(n, 0);
    expected[n] = '\0';
    char out[8192];
    ASSERT_EQ(ov_path_executable(out, sizeof out), static_cast<int>(n));
    EXPECT_STREQ(out, expected);
    EXPECT_EQ(ov_path_executable(out, sizeof out), static_cast<int>(n));
    EXPECT_EQ(ov_path_executable(nullptr, 0), EINVAL);
    EXPECT_EQ(ov_path_executable(out, 4), -1);

    char dir[8192];
    int length = ov_path_executable_dir(dir, sizeof dir);
    ASSERT_GT(length, 0);
    std::string self(expected);
    EXPECT_EQ(std::string(dir), self.substr(0, self.rfind('/')));
}

TEST_F(PathPrograms, FindProgram) {
    char out[8192];
    {
        ScopedEnv env("PATH", ("/nonexistent-ovtest::" + dir_).c_str());
        ASSERT_GT(ov_path_find_program("prog", out, sizeof out), 0);
        EXPECT_EQ(std::string(out), RealPath(path("prog")));
        EXPECT_EQ(ov_path_find_program("no-such-program-ovtest", out, sizeof out), -2);
    }
    {
        ScopedEnv env("PATH", nullptr);
        EXPECT_EQ(ov_path_find_program("prog", out, sizeof out), -2);
    }
    ASSERT_GT(ov_path_find_program((dir_ + "/./prog").c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out), RealPath(path("prog")));
    EXPECT_EQ(ov_path_find_program(path("missing/x").c_str(), out, sizeof out), -3);
    EXPECT_EQ(ov_path_find_program(path("prog").c_str(), out, 4), -1);

    // A name with '/' that is not absolute is taken from the current
    // directory; the child keeps this process's directory untouched.
    std::string expected = RealPath(path("prog"));
    EXPECT_EQ(RunChild([&] {
                  char buffer[8192];
                  if (chdir(dir_.c_str()) != 0) return 1;
                  if (ov_path_find_program("./prog", buffer, sizeof buffer) <= 0) return 2;
                  return expected == buffer ? 0 : 3;
              }),
              0);

    // The search fits, the real path behind a short link does not.
    ASSERT_EQ(mkdir(path("a-much-longer-directory-name").c_str(), 0755), 0);
    ASSERT_EQ(rename(path("prog").c_str(), path("a-much-longer-directory-name/prog").c_str()), 0);
    ASSERT_EQ(symlink(path("a-much-longer-directory-name").c_str(), path("s").c_str()), 0);
    ScopedEnv env("PATH", path("s").c_str());
    size_t fits = path("s/prog").size() + 1;
    std::vector<char> small(fits);
    EXPECT_EQ(ov_path_find_program("prog", small.data(), small.size()), -4);
}

TEST_F(PathPrograms, SearchList) {
    char out[8192];
    // An empty element stands for the root directory.
    ASSERT_EQ(ov_path_search_list("prog", (":" + dir_).c_str(), out, sizeof out), 0);
    EXPECT_EQ(std::string(out), path("prog"));
    ASSERT_EQ(ov_path_search_list("tmp", ":/nonexistent", out, sizeof out), 0);
    EXPECT_STREQ(out, "/tmp");
    // Any kind of file counts, also one that may not be run.
    EXPECT_EQ(ov_path_search_list("plain", dir_.c_str(), out, sizeof out), 0);
    EXPECT_EQ(ov_path_search_list("missing", dir_.c_str(), out, sizeof out), -1);
    // An element too long for the output ends the search, although a later
    // one holds the name. The element is made longer than the test's own
    // directory, so that it is too long wherever the temporary directory is.
    std::vector<char> small(dir_.size() + 6);
    const std::string too_long = path("an-element-longer-than-the-match");
    EXPECT_EQ(
        ov_path_search_list("prog", (too_long + ":" + dir_).c_str(), small.data(), small.size()),
        -1);
    EXPECT_EQ(ov_path_search_list("prog", dir_.c_str(), small.data(), small.size()), 0);
    EXPECT_EQ(ov_path_search_list("", dir_.c_str(), out, sizeof out), -1);
    EXPECT_EQ(ov_path_search_list("prog", nullptr, out, sizeof out), -1);
}

TEST(PathHome, FromTheEnvironmentAndTheAccount) {
    char out[64];
    {
        ScopedEnv env("HOME", "/tmp//x/./y/");
        EXPECT_EQ(ov_path_home(out, sizeof out), 8);
        EXPECT_STREQ(out, "/tmp/x/y");
        EXPECT_EQ(ov_path_home(out, 4), -1);
        EXPECT_EQ(ov_path_home(nullptr, 64), -1);
    }
    {
        ScopedEnv env("HOME", nullptr);
        EXPECT_EQ(ov_path_home(out, sizeof out), -1);
    }
    {
        ScopedEnv env("HOME", std::string(8192, 'a').c_str());
        std::vector<char> big(16384);
        EXPECT_EQ(ov_path_home(big.data(), big.size()), -1);
    }

    struct passwd *root = getpwnam("root");
    ASSERT_NE(root, nullptr);
    char expected[64];
    ASSERT_EQ(ov_path_canonical(root->pw_dir, expected, sizeof expected), 0);
    ASSERT_OV_OK(ov_path_user_home("root", out, sizeof out));
    EXPECT_STREQ(out, expected);
    std::strcpy(out, "stale");
    EXPECT_EQ(ov_path_user_home("no-such-user-ovtest", out, sizeof out), ENOENT);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(ov_path_user_home(nullptr, out, sizeof out), EINVAL);
    EXPECT_EQ(ov_path_user_home("root", out, 0), EINVAL);
}

TEST_F(PathPrograms, ExecSearchesThePath) {
    char arg0[] = "prog";
    char *argv[] = {arg0, nullptr};
    // Found in the second element of PATH.
    EXPECT_EQ(RunChild([&] {
                  setenv("PATH", ("/nonexistent-ovtest:" + dir_).c_str(), 1);
                  ov_path_exec("prog", argv, environ);
                  return 100;
              }),
              7);
    // Without PATH the current directory comes first.
    EXPECT_EQ(RunChild([&] {
                  unsetenv("PATH");
                  if (chdir(dir_.c_str()) != 0) return 101;
                  ov_path_exec("prog", argv, environ);
                  return 100;
              }),
              7);
    // A name with '/' is run as it stands.
    EXPECT_EQ(RunChild([&] {
                  ov_path_exec(path("prog").c_str(), argv, environ);
                  return 100;
              }),
              7);
    // A candidate that may not run is reported as EACCES, even when the
    // directories after it do not have the program at all.
    EXPECT_EQ(RunChild([&] {
                  setenv("PATH", (dir_ + ":/nonexistent-ovtest").c_str(), 1);
                  int rc = ov_path_exec("plain", argv, environ);
                  return rc == -1 && errno == EACCES ? 0 : 1;
              }),
              0);
    EXPECT_EQ(RunChild([&] {
                  setenv("PATH", dir_.c_str(), 1);
                  int rc = ov_path_exec("missing", argv, environ);
                  return rc == -1 && errno == ENOENT ? 0 : 1;
              }),
              0);
}

// ---- Installation paths ---------------------------------------------------------------

// A temporary installation tree: the markers named by each case are created
// below base_, and the program is taken to be x/app/bin/prog.
class PathInstall : public ovtest::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        base_ = RealPath(dir_);
        ASSERT_FALSE(base_.empty());
        prog_ = base_ + "/x/app/bin/prog";
    }
    // Creates the file (and its directories) at base_ + "/" + rel.
    void Place(const std::string &rel) {
        std::string full = base_ + "/" + rel;
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(full).parent_path(), ec);
        ASSERT_FALSE(ec) << full;
        write_file(full, "x");
    }
    std::string base_;
    std::string prog_;
};

TEST_F(PathInstall, RootConfigAndLibraryDirectories) {
    struct Case {
        std::vector<const char *> files;
        const char *root;  // relative to the base
        int root_rc;       // -2: the root's length (a marker was found)
        const char *config;
        const char *lib;
    } cases[] = {
        // Marker in the root: the layout root/bin/prog.
        {{"x/app/product-info.mf"}, "x/app", -2, "x/app/etc", "x/app/lib"},
        // No marker at all: the directory above the program's, as a code.
        {{}, "x/app", 0, "x/app/etc", "x/app/lib"},
        // The program's own directory is tried first.
        {{"x/app/bin/product-info.mf", "x/app/product-info.mf"},
         "x/app/bin",
         -2,
         "x/app/bin/etc",
         "x/app/bin/lib"},
        // Two levels above the program's directory is the last place tried.
        {{"x/product-info.mf"}, "x", -2, "x/etc", "x/lib"},
        {{"product-info.mf"}, "x/app", 0, "x/app/etc", "x/app/lib"},
        // The configuration file decides the configuration directory, and
        // two levels above it the library directory.
        {{"x/app/etc/orvane.conf"}, "x/app", 0, "x/app/etc", "x/app/lib"},
        {{"x/app/bin/orvane.conf"}, "x/app", 0, "x/app/bin", "x/app/lib"},
        // Order: D before D/etc before D/.. and so on.
        {{"x/app/bin/orvane.conf", "x/app/etc/orvane.conf"}, "x/app", 0, "x/app/bin", "x/app/lib"},
        {{"x/app/bin/etc/orvane.conf", "x/app/etc/orvane.conf"},
         "x/app",
         0,
         "x/app/bin/etc",
         "x/app/bin/lib"},
        {{"x/app/orvane.conf", "x/etc/orvane.conf"}, "x/app", 0, "x/app", "x/lib"},
        {{"x/etc/orvane.conf"}, "x/app", 0, "x/etc", "x/lib"},
        // Three levels up is too far: the fallbacks apply.
        {{"etc/orvane.conf"}, "x/app", 0, "x/app/etc", "x/app/lib"},
    };
    for (const auto &c : cases) {
        std::string names;
        for (const char *f : c.files) names += std::string(f) + " ";
        SCOPED_TRACE("files: " + names);
        std::error_code ec;
        std::filesystem::remove_all(base_ + "/x", ec);
        std::filesystem::remove(base_ + "/product-info.mf", ec);
        std::filesystem::remove_all(base_ + "/etc", ec);
        for (const char *f : c.files) Place(f);

        char out[8192];
        const std::string root = base_ + "/" + c.root;
        int rc = ov_path_product_root(prog_.c_str(), out, sizeof out);
        EXPECT_EQ(rc, c.root_rc == -2 ? static_cast<int>(root.size()) : c.root_rc);
        EXPECT_EQ(std::string(out), root);

        const std::string config = base_ + "/" + c.config;
        EXPECT_EQ(ov_path_config_dir(prog_.c_str(), out, sizeof out),
                  static_cast<int>(config.size()));
        EXPECT_EQ(std::string(out), config);

        const std::string lib = base_ + "/" + c.lib;
        EXPECT_EQ(ov_path_lib_dir(prog_.c_str(), out, sizeof out), static_cast<int>(lib.size()));
        EXPECT_EQ(std::string(out), lib);
    }
}

TEST_F(PathInstall, FindConfigFollowsLinksAndNeedsRoom) {
    Place("x/app/real.conf");
    Place("x/app/bin/placeholder");
    ASSERT_EQ(symlink((base_ + "/x/app/real.conf").c_str(), (base_ + "/x/app/etc.conf").c_str()),
              0);
    ASSERT_EQ(symlink((base_ + "/gone").c_str(), (base_ + "/x/app/bin/etc.conf").c_str()), 0);
    char out[8192];
    // The dangling link next to the program does not count; the link one
    // level up leads to a file and does.
    const std::string found = base_ + "/x/app/etc.conf";
    ASSERT_EQ(ov_path_find_config("etc.conf", prog_.c_str(), out, sizeof out),
              static_cast<int>(found.size()));
    EXPECT_EQ(std::string(out), found);
    EXPECT_EQ(ov_path_find_config("missing.conf", prog_.c_str(), out, sizeof out), -1);
    EXPECT_EQ(ov_path_find_config("", prog_.c_str(), out, sizeof out), -1);
    EXPECT_EQ(ov_path_find_config(nullptr, prog_.c_str(), out, sizeof out), -1);
    EXPECT_EQ(ov_path_find_config("etc.conf", "", out, sizeof out), -1);
    // The candidate in the program's etc directory is eight bytes longer
    // than the file found; when it cannot fit, the search ends there
    // although the file's own path would fit.
    EXPECT_EQ(ov_path_find_config("etc.conf", prog_.c_str(), out, found.size() + 8), -1);
    EXPECT_EQ(ov_path_find_config("etc.conf", prog_.c_str(), out, found.size() + 9),
              static_cast<int>(found.size()));
}

TEST_F(PathInstall, AppendedDirectoryNeedsFiveBytesOfRoom) {
    // No markers: the root is the fallback x/app.
    const std::string root = base_ + "/x/app";
    std::vector<char> out(root.size() + 5);
    for (size_t size : {root.size() + 4, root.size() + 5}) {
        SCOPED_TRACE(size);
        const int expected = size == root.size() + 5 ? static_cast<int>(root.size() + 4) : -1;
        EXPECT_EQ(ov_path_config_dir(prog_.c_str(), out.data(), size), expected);
        if (expected > 0) {
            EXPECT_EQ(std::string(out.data()), root + "/etc");
        }
        EXPECT_EQ(ov_path_lib_dir(prog_.c_str(), out.data(), size), expected);
        if (expected > 0) {
            EXPECT_EQ(std::string(out.data()), root + "/lib");
        }
    }
    // A root that must be cut is reported as such, never as a length.
    std::vector<char> small(8);
    EXPECT_EQ(ov_path_product_root(prog_.c_str(), small.data(), small.size()), EBUFFER);
    EXPECT_EQ(ov_path_config_dir(prog_.c_str(), small.data(), small.size()), -1);
    EXPECT_EQ(ov_path_product_root(nullptr, small.data(), small.size()), -1);
    EXPECT_EQ(ov_path_product_root("", small.data(), small.size()), -1);
    EXPECT_STREQ(ov_path_product_info_name(), "product-info.mf");
}

TEST_F(PathInstall, SearchDirsTriesEachDirectoryInOrder) {
    Place("a/f");
    Place("b/f");
    const std::string a = base_ + "/a", b = base_ + "/b", none = base_ + "/none";
    char out[8192];
    const char *both[] = {none.c_str(), b.c_str(), a.c_str(), nullptr};
    ASSERT_EQ(ov_path_search_dirs("f", both, out, sizeof out), 0);
    EXPECT_EQ(std::string(out), b + "/f");
    const char *missing[] = {none.c_str(), nullptr};
    EXPECT_EQ(ov_path_search_dirs("f", missing, out, sizeof out), -1);
    const char *empty[] = {nullptr};
    EXPECT_EQ(ov_path_search_dirs("f", empty, out, sizeof out), -1);
    EXPECT_EQ(ov_path_search_dirs("", both, out, sizeof out), -1);
    EXPECT_EQ(ov_path_search_dirs(nullptr, both, out, sizeof out), -1);
    EXPECT_EQ(ov_path_search_dirs("f", nullptr, out, sizeof out), -1);
    // Room for the directory, '/', the name and the NUL, judged per entry:
    // a too long first entry ends the search.
    const std::string longer = base_ + "/aaaaaaaa";
    const char *long_first[] = {longer.c_str(), a.c_str(), nullptr};
    EXPECT_EQ(ov_path_search_dirs("f", long_first, out, a.size() + 3), -1);
    const char *only_a[] = {a.c_str(), nullptr};
    EXPECT_EQ(ov_path_search_dirs("f", only_a, out, a.size() + 3), 0);
    EXPECT_EQ(ov_path_search_dirs("f", only_a, out, a.size() + 2), -1);
}

TEST(PathInstallRoots, ARootGetsNoSecondSlash) {
    // "//etc" would be taken for a network root by the canonical form and
    // by every path derived from it.
    char out[8192];
    const char *root[] = {"/", nullptr};
    ASSERT_EQ(ov_path_search_dirs("etc", root, out, sizeof out), 0);
    EXPECT_STREQ(out, "/etc");
    const char *empty[] = {"", nullptr};
    ASSERT_EQ(ov_path_search_dirs("etc", empty, out, sizeof out), 0);
    EXPECT_STREQ(out, "/etc");

    // A program directly in "/" on a system without any of the markers.
    for (const char *marker : {"/orvane.conf", "/etc/orvane.conf", "/product-info.mf"})
        if (access(marker, F_OK) == 0) GTEST_SKIP() << marker << " exists on this system";
    EXPECT_EQ(ov_path_product_root("/prog", out, sizeof out), 0);
    EXPECT_STREQ(out, "/");
    EXPECT_EQ(ov_path_config_dir("/prog", out, sizeof out), 4);
    EXPECT_STREQ(out, "/etc");
    EXPECT_EQ(ov_path_lib_dir("/prog", out, sizeof out), 4);
    EXPECT_STREQ(out, "/lib");
}

// The installation is found from the running program's own location: this
// test program, copied into a temporary tree, is started again there and
// reports what it finds (the child's part is the test below, which does
// nothing unless the variable names a report file).
constexpr char kInstallReportVariable[] = "OVTEST_INSTALL_REPORT";

TEST(PathInstallChild, ReportFromTheRunningProgram) {
    const char *report = std::getenv(kInstallReportVariable);
    if (report == nullptr) GTEST_SKIP() << "runs only as the child of the test below";
    char exe[8192], root[8192], config[8192], lib[8192];
    ASSERT_GT(ov_path_executable(exe, sizeof exe), 0);
    ASSERT_GT(ov_path_product_root(exe, root, sizeof root), 0);
    ASSERT_GT(ov_path_config_dir(exe, config, sizeof config), 0);
    ASSERT_GT(ov_path_lib_dir(exe, lib, sizeof lib), 0);
    write_file(report, std::string(exe) + "\n" + root + "\n" + config + "\n" + lib + "\n");
}

TEST_F(PathInstall, FoundFromTheRunningProgramsLocation) {
    char self[8192];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    Place("x/app/product-info.mf");
    Place("x/app/etc/orvane.conf");
    Place("x/app/bin/placeholder");
    std::error_code ec;
    std::filesystem::copy_file(self, prog_, ec);
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_EQ(chmod(prog_.c_str(), 0755), 0);
    const std::string report = base_ + "/report";
    const std::string filter = "--gtest_filter=PathInstallChild.ReportFromTheRunningProgram";
    const int status = RunChild([&] {
        setenv(kInstallReportVariable, report.c_str(), 1);
        const char *argv[] = {"prog", filter.c_str(), nullptr};
        execv(prog_.c_str(), const_cast<char *const *>(argv));
        return 127;
    });
    ASSERT_EQ(status, 0);
    const std::string app = base_ + "/x/app";
    EXPECT_EQ(ovsupport::read_file(report),
              prog_ + "\n" + app + "\n" + app + "/etc\n" + app + "/lib\n");
}

}  // namespace
