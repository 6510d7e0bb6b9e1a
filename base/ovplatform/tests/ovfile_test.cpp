// ovfile_test.cpp - file handles, flag translation, status records, links,
// owners, times, streams, path strings and the whole-file copy.
#include <ovplatform/overror.h>
#include <ovplatform/ovfile.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_util.h"

namespace {

using ovsupport::read_file;
using ovtest::RunUnprivileged;
using ovtest::write_file;

class FileTest : public ovtest::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        // The unprivileged child must be able to reach the test's files.
        ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    }
    ovtest::ScopedUmask umask_{022};
};

// ---- Opening and flag translation ---------------------------------------------

TEST_F(FileTest, OpenRwWithModeSevenOpensOnlyAnExistingFile) {
    ov_file_t f = 1234;
    EXPECT_EQ(ov_file_open_rw(path("missing").c_str(), &f, 7), ENOENT);
    EXPECT_EQ(f, -1);
    EXPECT_EQ(access(path("missing").c_str(), F_OK), -1) << "mode 7 must not create the file";

    ASSERT_OV_OK(ov_file_open_rw(path("new").c_str(), &f, 0644));
    struct stat st;
    ASSERT_EQ(fstat(f, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(fcntl(f, F_GETFL) & O_ACCMODE, O_RDWR);
    ASSERT_OV_OK(ov_file_close(&f));

    // Mode 7 on an existing file opens it for reading and writing.
    ASSERT_OV_OK(ov_file_open_rw(path("new").c_str(), &f, 7));
    EXPECT_EQ(fcntl(f, F_GETFL) & O_ACCMODE, O_RDWR);
    ASSERT_OV_OK(ov_file_close(&f));
}

TEST_F(FileTest, FixedOpenersTranslateExactly) {
    write_file(path("existing"), "0123456789");
    struct Case {
        const char *name;
        std::function<int32_t(const char *, ov_file_t *)> open;
        int access;
        int set;    // flags that must be set
        int clear;  // flags that must not be set
    } cases[] = {
        {"open_read", [](const char *p, ov_file_t *f) { return ov_file_open_read(p, f); }, O_RDONLY,
         0, O_APPEND},
        {"create", [](const char *p, ov_file_t *f) { return ov_file_create(p, f, 0600); }, O_WRONLY,
         0, O_APPEND},
        {"open_append", [](const char *p, ov_file_t *f) { return ov_file_open_append(p, f, 0600); },
         O_WRONLY, O_APPEND, 0},
        {"open_rw", [](const char *p, ov_file_t *f) { return ov_file_open_rw(p, f, 0600); }, O_RDWR,
         0, O_APPEND},
        {"open no flags", [](const char *p, ov_file_t *f) { return ov_file_open(p, f, 0, 0); },
         O_RDONLY, 0, O_APPEND},
        {"open write",
         [](const char *p, ov_file_t *f) { return ov_file_open(p, f, OV_FILE_WRITE, 0); }, O_WRONLY,
         0, O_APPEND},
        {"open read+write+dsync",
         [](const char *p, ov_file_t *f) {
             return ov_file_open(p, f, OV_FILE_READ | OV_FILE_WRITE | OV_FILE_DSYNC, 0);
         },
         O_RDWR, O_DSYNC, O_APPEND},
        {"open unknown bits",
         [](const char *p, ov_file_t *f) { return ov_file_open(p, f, 0xF0F0u, 0); }, O_RDONLY, 0,
         O_APPEND | O_DSYNC},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write_file(path("existing"), "0123456789");
        ov_file_t f = -1;
        // No opener adds O_EXCL: an existing file opens.
        ASSERT_OV_OK(c.open(path("existing").c_str(), &f));
        int fl = fcntl(f, F_GETFL);
        EXPECT_EQ(fl & O_ACCMODE, c.access);
        EXPECT_EQ(fl & c.set, c.set);
        EXPECT_EQ(fl & c.clear, 0);
        EXPECT_EQ(fcntl(f, F_GETFD) & FD_CLOEXEC, 0) << "no opener may add O_CLOEXEC";
        ASSERT_OV_OK(ov_file_close(&f));
    }
    // ov_file_create truncates; ov_file_open_append keeps and appends.
    ov_file_t f = -1;
    ASSERT_OV_OK(ov_file_open_append(path("existing").c_str(), &f, 0600));
    uint64_t n = 0;
    ASSERT_OV_OK(ov_file_seek(&f, 0, SEEK_SET));
    ASSERT_OV_OK(ov_file_write(&f, "ab", 2, &n));
    ov_file_close(&f);
    EXPECT_EQ(read_file(path("existing")), "0123456789ab");
    ASSERT_OV_OK(ov_file_create(path("existing").c_str(), &f, 0600));
    ov_file_close(&f);
    EXPECT_EQ(read_file(path("existing")), "");
}

TEST_F(FileTest, OpenWithoutCreateOnAMissingFileFails) {
    ov_file_t f = 5;
    EXPECT_EQ(ov_file_open(path("missing").c_str(), &f, OV_FILE_READ | OV_FILE_WRITE, 0644),
              ENOENT);
    EXPECT_EQ(f, -1);
    EXPECT_EQ(ov_file_open_read(path("missing").c_str(), &f), ENOENT);
    EXPECT_EQ(f, -1);
    EXPECT_EQ(ov_file_open_read(path("missing").c_str(), nullptr), EINVAL);
}

// ---- Closing -------------------------------------------------------------------------

TEST_F(FileTest, CloseIsHarmlessOnMinusOneAndTwice) {
    ov_file_t f = -1;
    errno = 0;
    EXPECT_EQ(ov_file_close(&f), 0);
    EXPECT_EQ(errno, 0) << "closing -1 must make no system call";
    EXPECT_EQ(ov_file_close(nullptr), EINVAL);

    ASSERT_OV_OK(ov_file_create(path("f").c_str(), &f, 0600));
    int fd = f;
    EXPECT_EQ(ov_file_is_open(&f), 1);
    EXPECT_EQ(ov_file_fd(&f), fd);
    ASSERT_OV_OK(ov_file_close(&f));
    EXPECT_EQ(f, -1);
    EXPECT_EQ(ov_file_is_open(&f), 0);
    EXPECT_EQ(ov_file_is_open(nullptr), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor must be closed";
    EXPECT_EQ(ov_file_close(&f), 0);
}

// Linux releases the descriptor even when close(2) reports an error, so a
// handle kept for a second try would close whatever the number is given to
// next: here a file opened in between, which takes the lowest free number.
TEST_F(FileTest, FailedCloseStillGivesTheHandleUp) {
    ov_file_t f = 1000000;  // far above any descriptor this process has
    EXPECT_EQ(ov_file_close(&f), EBADF);
    EXPECT_EQ(f, -1);

    ASSERT_OV_OK(ov_file_create(path("first").c_str(), &f, 0600));
    const int number = f;
    ASSERT_EQ(close(number), 0) << "closed underneath the handle";
    EXPECT_EQ(ov_file_close(&f), EBADF);
    EXPECT_EQ(f, -1);
    const int other = open(path("second").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(other, number) << "the number is handed out again";
    EXPECT_OV_OK(ov_file_close(&f));
    EXPECT_NE(fcntl(other, F_GETFD), -1) << "a second close took another file's descriptor";
    close(other);
}

TEST_F(FileTest, InitAndStandardHandles) {
    ov_file_t f = 9;
    ASSERT_OV_OK(ov_file_init(&f));
    EXPECT_EQ(f, -1);
    EXPECT_EQ(ov_file_init(nullptr), EINVAL);
    ov_file_stdin(&f);
    EXPECT_EQ(f, 0);
    ov_file_stdout(&f);
    EXPECT_EQ(f, 1);
    ov_file_stderr(&f);
    EXPECT_EQ(f, 2);
}

// ---- Transfers -------------------------------------------------------------------------

TEST_F(FileTest, ReadWriteAndEndOfFile) {
    ov_file_t f = -1;
    ASSERT_OV_OK(ov_file_create(path("f").c_str(), &f, 0600));
    uint64_t n = 99;
    ASSERT_OV_OK(ov_file_write(&f, "hello", 5, &n));
    EXPECT_EQ(n, 5u);
    ASSERT_OV_OK(ov_file_close(&f));

    ASSERT_OV_OK(ov_file_open_read(path("f").c_str(), &f));
    char buffer[16] = {};
    ASSERT_OV_OK(ov_fileread(&f, buffer, sizeof buffer, &n));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    n = 99;
    EXPECT_EQ(ov_fileread(&f, buffer, sizeof buffer, &n), 0) << "end of file is no failure";
    EXPECT_EQ(n, 0u);

    // A read-only handle refuses writes, and reports a count of 0.
    n = 99;
    EXPECT_EQ(ov_file_write(&f, "x", 1, &n), EBADF);
    EXPECT_EQ(n, 0u);
    ASSERT_OV_OK(ov_file_close(&f));

    ASSERT_OV_OK(ov_file_open(path("f").c_str(), &f, OV_FILE_WRITE, 0));
    n = 99;
    EXPECT_EQ(ov_fileread(&f, buffer, sizeof buffer, &n), EBADF);
    EXPECT_EQ(n, 0u);
    ASSERT_OV_OK(ov_file_close(&f));
}

TEST_F(FileTest, PositionedTransfersSeekAndTruncate) {
    ov_file_t f = -1;
    ASSERT_OV_OK(ov_file_open_rw(path("f").c_str(), &f, 0600));
    uint64_t n = 0;
    ASSERT_OV_OK(ov_file_pwrite(&f, "abcdef", 6, 0, &n));
    EXPECT_EQ(n, 6u);
    ASSERT_OV_OK(ov_file_pwrite(&f, "XY", 2, 10, &n));
    char buffer[16] = {};
    ASSERT_OV_OK(ov_file_pread(&f, buffer, 3, 2, &n));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(buffer, 3), "cde");
    ASSERT_OV_OK(ov_file_pread(&f, buffer, sizeof buffer, 12, &n));
    EXPECT_EQ(n, 0u);

    ASSERT_OV_OK(ov_file_seek(&f, 4, SEEK_SET));
    ASSERT_OV_OK(ov_fileread(&f, buffer, 2, &n));
    EXPECT_EQ(std::string(buffer, 2), "ef");
    ASSERT_OV_OK(ov_file_seek(&f, static_cast<uint64_t>(-2), SEEK_END));
    ASSERT_OV_OK(ov_fileread(&f, buffer, 4, &n));
    EXPECT_EQ(std::string(buffer, n), "XY");

    ASSERT_OV_OK(ov_file_truncate(&f, 3));
    ov_stat_t st;
    ASSERT_OV_OK(ov_file_fstat(&f, &st));
    EXPECT_EQ(st.size, 3);
    ASSERT_OV_OK(ov_file_sync(&f));
    ASSERT_OV_OK(ov_file_close(&f));
    EXPECT_EQ(ov_file_sync(&f), EINVAL);

    // A failed positioned read leaves the count at 0.
    n = 99;
    EXPECT_EQ(ov_file_pread(&f, buffer, 1, 0, &n), EBADF);
    EXPECT_EQ(n, 0u);
}

TEST_F(FileTest, SeekFailureIsReturned) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ov_file_t f = fds[0];
    EXPECT_EQ(ov_file_seek(&f, 5, SEEK_SET), ESPIPE);
    close(fds[0]);
    close(fds[1]);
}

// ---- Status and tests ---------------------------------------------------------------------

TEST_F(FileTest, StatFillsTheRecord) {
    write_file(path("f"), "12345");
    ASSERT_EQ(chmod(path("f").c_str(), 0640), 0);
    struct stat sys;
    ASSERT_EQ(stat(path("f").c_str(), &sys), 0);
    ov_stat_t st;
    ASSERT_OV_OK(ov_file_stat(path("f").c_str(), &st, 0));
    EXPECT_EQ(st.ino, sys.st_ino);
    EXPECT_EQ(st.size, 5);
    EXPECT_EQ(st.type, OV_FILE_TYPE_REG);
    EXPECT_EQ(st.mode, 0100640u);
    EXPECT_EQ(st.uid, geteuid());
    EXPECT_EQ(st.gid, sys.st_gid);
    EXPECT_EQ(st.mtime, sys.st_mtime);
    EXPECT_EQ(st.atime, sys.st_atime);
    EXPECT_EQ(st.ctime, sys.st_ctime);
    EXPECT_EQ(st.nlink, 1u);

    // A failure leaves the record as it was.
    ov_stat_t before;
    std::memset(&before, 0xAB, sizeof before);
    ov_stat_t after = before;
    EXPECT_EQ(ov_file_stat(path("missing").c_str(), &after, 0), ENOENT);
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

TEST_F(FileTest, StatOfALinkWithAndWithoutBitZero) {
    write_file(path("target"), "x");
    ASSERT_OV_OK(ov_file_symlink("target", path("link").c_str()));
    ASSERT_OV_OK(ov_file_symlink(dir_.c_str(), path("dirlink").c_str()));
    ASSERT_OV_OK(ov_file_symlink("nowhere", path("dangling").c_str()));
    ov_stat_t st;
    ASSERT_OV_OK(ov_file_stat(path("link").c_str(), &st, OV_STAT_NOFOLLOW));
    EXPECT_EQ(st.type, OV_FILE_TYPE_LINK);
    EXPECT_EQ(st.size, 6) << "a link's size is the length of its text";
    ASSERT_OV_OK(ov_file_stat(path("link").c_str(), &st, 0));
    EXPECT_EQ(st.type, OV_FILE_TYPE_REG);
    ASSERT_OV_OK(ov_file_stat(path("dirlink").c_str(), &st, 0));
    EXPECT_EQ(st.type, OV_FILE_TYPE_DIR);

    EXPECT_EQ(ov_file_exists(path("dangling").c_str(), OV_STAT_NOFOLLOW), 1);
    EXPECT_EQ(ov_file_exists(path("dangling").c_str(), 0), 0);
    EXPECT_EQ(ov_file_exists(path("link").c_str(), 0), 1);
    EXPECT_EQ(ov_file_exists(path("f/x").c_str(), 0), 0);
}

TEST_F(FileTest, TypeCodesOfSpecialFiles) {
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0644), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // A socket's name has to fit 108 bytes, which a long temporary directory
    // would exceed: it is bound through a descriptor of the test directory.
    const int dir_fd = open(dir_.c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(dir_fd, 0);
    const std::string bind_path = "/proc/self/fd/" + std::to_string(dir_fd) + "/sock";
    ASSERT_LT(bind_path.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, bind_path.c_str());
    const int bound = bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    const int bind_errno = errno;
    close(dir_fd);
    ASSERT_EQ(bound, 0) << std::strerror(bind_errno);
    const std::string sock_path = path("sock");

    const std::pair<std::string, uint32_t> cases[] = {
        {dir_, OV_FILE_TYPE_DIR},
        {path("fifo"), OV_FILE_TYPE_FIFO},
        {sock_path, OV_FILE_TYPE_SOCK},
        {"/dev/null", OV_FILE_TYPE_CHR},
    };
    for (const auto &[p, type] : cases) {
        SCOPED_TRACE(p);
        ov_stat_t st;
        ASSERT_OV_OK(ov_file_stat(p.c_str(), &st, 0));
        EXPECT_EQ(st.type, type);
    }
    close(sock);
}

TEST(FileSetstat, ConvertsTypesAndDropsSubSeconds) {
    struct stat sys {};
    sys.st_mode = S_IFBLK | 0600;
    sys.st_mtim.tv_sec = 1000;
    sys.st_mtim.tv_nsec = 999999999;
    sys.st_nlink = 3;
    ov_stat_t st;
    std::memset(&st, 0xAB, sizeof st);
    ov_file_setstat(&st, &sys);
    EXPECT_EQ(st.type, OV_FILE_TYPE_BLK);
    EXPECT_EQ(st.mtime, 1000);
    EXPECT_EQ(st.nlink, 3u);
    EXPECT_EQ(st.size, 0);

    sys.st_mode = 0xE000 | 0644;  // no file type has these bits
    ov_file_setstat(&st, &sys);
    EXPECT_EQ(st.type, OV_FILE_TYPE_OTHER);

    // Null pointers are ignored.
    ov_file_setstat(nullptr, &sys);
    ov_file_setstat(&st, nullptr);
    EXPECT_EQ(st.type, OV_FILE_TYPE_OTHER);
}

TEST(FileModeTests, TypeBitsOfTheLowSixteenBits) {
    using Test = int (*)(uint32_t);
    const std::pair<Test, uint32_t> tests[] = {
        {ov_mode_is_dir, 0x4000},  {ov_mode_is_reg, 0x8000},  {ov_mode_is_chr, 0x2000},
        {ov_mode_is_blk, 0x6000},  {ov_mode_is_fifo, 0x1000}, {ov_mode_is_sock, 0xC000},
        {ov_mode_is_link, 0xA000},
    };
    const uint32_t types[] = {0x4000, 0x8000, 0x2000, 0x6000, 0x1000, 0xC000, 0xA000, 0x0000};
    for (size_t i = 0; i < std::size(tests); ++i) {
        for (uint32_t type : types) {
            SCOPED_TRACE("test " + std::to_string(i) + " mode " + std::to_string(type));
            int expected = tests[i].second == type ? 1 : 0;
            EXPECT_EQ(tests[i].first(type | 0755), expected);
            // Bits above the low 16 do not change the answer.
            EXPECT_EQ(tests[i].first(type | 0x10000 | 0644), expected);
        }
    }
}

TEST(FileModeString, Table) {
    struct Case {
        uint32_t type;
        uint32_t mode;
        const char *text;
    } cases[] = {
        {OV_FILE_TYPE_DIR, 040755, "drwxr-xr-x"},   {OV_FILE_TYPE_FIFO, 010644, "frw-r--r--"},
        {OV_FILE_TYPE_REG, 0104755, "-rwxr-xr-x"},  {OV_FILE_TYPE_LINK, 0120777, "lrwxrwxrwx"},
        {OV_FILE_TYPE_CHR, 020600, "crw-------"},   {OV_FILE_TYPE_BLK, 060660, "brw-rw----"},
        {OV_FILE_TYPE_SOCK, 0140000, "s---------"}, {OV_FILE_TYPE_OTHER, 01007, "-------rwx"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        ov_stat_t st{};
        st.type = c.type;
        st.mode = c.mode;
        char out[11];
        ASSERT_OV_OK(ov_file_mode_string(&st, out, sizeof out));
        EXPECT_STREQ(out, c.text);
    }
    ov_stat_t st{};
    st.type = OV_FILE_TYPE_FIFO;
    st.mode = 010644;
    char small[10];
    std::memset(small, 'Z', sizeof small);
    EXPECT_EQ(ov_file_mode_string(&st, small, sizeof small), EBUFFER);
    EXPECT_EQ(small[0], 'Z') << "nothing is written when it does not fit";
}

TEST_F(FileTest, AccessAndPermissionsAsAnUnprivilegedUser) {
    ASSERT_EQ(mkdir(path("locked").c_str(), 0755), 0);
    write_file(path("locked/file"), "x");
    write_file(path("readonly"), "x");
    ASSERT_EQ(chmod(path("readonly").c_str(), 0444), 0);
    ASSERT_EQ(chmod(path("locked").c_str(), 0600), 0);  // no search permission
    std::string locked_file = path("locked/file");
    std::string readonly = path("readonly");
    bool passed = false;
    bool ran = RunUnprivileged(
        [&] {
            ov_file_t f = -1;
            return ov_file_exists(locked_file.c_str(), 0) == 0 &&
                   ov_file_exists(locked_file.c_str(), OV_STAT_NOFOLLOW) == 0 &&
                   ov_file_access(readonly.c_str(), W_OK) == EACCES &&
                   ov_file_access(readonly.c_str(), R_OK) == 0 &&
                   ov_file_open_rw(readonly.c_str(), &f, 7) == EACCES && f == -1;
        },
        &passed);
    if (!ran) GTEST_SKIP() << "cannot drop privileges to uid 65534";
    EXPECT_TRUE(passed);
    EXPECT_EQ(ov_file_access(path("missing").c_str(), F_OK), ENOENT);
}

// ---- Names and links -----------------------------------------------------------------------

TEST_F(FileTest, DeleteRenameAndLink) {
    write_file(path("a"), "data");
    ASSERT_OV_OK(ov_file_link(path("a").c_str(), path("b").c_str()));
    ov_stat_t st;
    ASSERT_OV_OK(ov_file_stat(path("a").c_str(), &st, 0));
    EXPECT_EQ(st.nlink, 2u);
    EXPECT_EQ(ov_file_link(path("a").c_str(), path("b").c_str()), EEXIST);
    ASSERT_OV_OK(ov_file_rename(path("b").c_str(), path("c").c_str()));
    EXPECT_EQ(read_file(path("c")), "data");
    EXPECT_EQ(ov_file_rename(path("b").c_str(), path("d").c_str()), ENOENT);
    ASSERT_OV_OK(ov_file_delete(path("a").c_str()));
    EXPECT_EQ(ov_file_delete(path("a").c_str()), ENOENT);
    EXPECT_EQ(ov_file_delete(dir_.c_str()), EISDIR);
    EXPECT_EQ(ov_file_symlink("x", path("c").c_str()), EEXIST);
}

TEST_F(FileTest, Readlink) {
    ASSERT_OV_OK(ov_file_symlink("some/target", path("link").c_str()));
    char out[64];
    ASSERT_OV_OK(ov_file_readlink(path("link").c_str(), out, sizeof out));
    EXPECT_STREQ(out, "some/target");
    EXPECT_EQ(ov_file_readlink(path("link").c_str(), out, 0), EBUFFER);

    // Exactly enough room: eleven letters and the NUL.
    char exact[12];
    ASSERT_OV_OK(ov_file_readlink(path("link").c_str(), exact, sizeof exact));
    EXPECT_STREQ(exact, "some/target");
    // One byte less: the cut is reported, not handed back as the target.
    char short_buffer[11];
    EXPECT_EQ(ov_file_readlink(path("link").c_str(), short_buffer, sizeof short_buffer), EBUFFER);
    EXPECT_STREQ(short_buffer, "some/targe");

    write_file(path("plain"), "x");
    EXPECT_EQ(ov_file_readlink(path("plain").c_str(), out, sizeof out), EINVAL);
    EXPECT_EQ(ov_file_readlink(path("missing").c_str(), out, sizeof out), ENOENT);
}

TEST_F(FileTest, Realpath) {
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    write_file(path("d/f"), "x");
    ASSERT_OV_OK(ov_file_symlink(path("d").c_str(), path("l").c_str()));
    char real_dir[4096];
    ASSERT_NE(realpath(dir_.c_str(), real_dir), nullptr);
    std::string expected = std::string(real_dir) + "/d/f";

    std::vector<char> out(8192);
    ASSERT_OV_OK(ov_file_realpath(path("l/../l/./f").c_str(), out.data(), out.size()));
    EXPECT_EQ(std::string(out.data()), expected);

    std::vector<char> small(expected.size());
    EXPECT_EQ(ov_file_realpath(path("l/f").c_str(), small.data(), small.size()), EBUFFER);
    EXPECT_EQ(std::string(small.data()), expected.substr(0, expected.size() - 1));
    EXPECT_EQ(ov_file_realpath(path("missing").c_str(), out.data(), out.size()), ENOENT);
}

TEST_F(FileTest, ResolveLinks) {
    write_file(path("file"), "x");
    char out[8192];
    EXPECT_EQ(ov_file_resolve_links(path("file").c_str(), out, sizeof out), EINVAL);

    // A chain of twenty links is followed to its end; twenty-one is too many.
    std::string previous = path("file");
    for (int i = 1; i <= 21; ++i) {
        // Appended rather than written as "l" + std::to_string(i): gcc 12 at
        // -O3 warns falsely (-Wrestrict) about a literal put in front of a
        // temporary string.
        std::string link = path("l").append(std::to_string(i));
        ASSERT_OV_OK(ov_file_symlink(previous.c_str(), link.c_str()));
        previous = link;
    }
    ASSERT_OV_OK(ov_file_resolve_links(path("l20").c_str(), out, sizeof out));
    EXPECT_EQ(std::string(out), path("file"));
    EXPECT_EQ(ov_file_resolve_links(path("l21").c_str(), out, sizeof out), EPATHMAX);

    ASSERT_OV_OK(ov_file_symlink(path("gone").c_str(), path("dangling").c_str()));
    ASSERT_OV_OK(ov_file_resolve_links(path("dangling").c_str(), out, sizeof out));
    EXPECT_EQ(std::string(out), path("gone"));

    // Loops of one and of two links end at the limit.
    ASSERT_OV_OK(ov_file_symlink(path("self").c_str(), path("self").c_str()));
    EXPECT_EQ(ov_file_resolve_links(path("self").c_str(), out, sizeof out), EPATHMAX);
    ASSERT_OV_OK(ov_file_symlink(path("ping").c_str(), path("pong").c_str()));
    ASSERT_OV_OK(ov_file_symlink(path("pong").c_str(), path("ping").c_str()));
    EXPECT_EQ(ov_file_resolve_links(path("ping").c_str(), out, sizeof out), EPATHMAX);

    std::string too_long(8192, 'a');
    EXPECT_EQ(ov_file_resolve_links(too_long.c_str(), out, sizeof out), EPATHMAX);
}

// ---- Ownership, permissions and times -------------------------------------------------------

TEST_F(FileTest, ChmodAndUmask) {
    write_file(path("f"), "x");
    ASSERT_OV_OK(ov_file_chmod(path("f").c_str(), 0604));
    struct stat st;
    ASSERT_EQ(stat(path("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u);
    EXPECT_EQ(ov_file_chmod(path("missing").c_str(), 0600), 0);

    uint32_t old = 0;
    ASSERT_OV_OK(ov_umask(077, &old));
    EXPECT_EQ(old, 022u);
    ov_file_t f = -1;
    ASSERT_OV_OK(ov_file_create(path("g").c_str(), &f, 0666));
    ov_file_close(&f);
    ASSERT_EQ(stat(path("g").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(FileTest, OwnerRecords) {
    ov_file_owner_t *owner = nullptr;
    ASSERT_OV_OK(ov_file_owner_create(nullptr, nullptr, &owner));
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(owner->uid, 0xFFFFFFFFu);
    EXPECT_EQ(owner->gid, 0xFFFFFFFFu);

    // Both ids -1: nothing to change, so even a file we could not chown
    // passes when its status can be read.
    write_file(path("f"), "x");
    EXPECT_OV_OK(ov_file_chown(owner, path("f").c_str()));
    EXPECT_EQ(ov_file_chown(owner, path("missing").c_str()), ENOENT);
    EXPECT_EQ(ov_file_chown(nullptr, path("f").c_str()), EINVAL);
    ASSERT_OV_OK(ov_file_owner_free(&owner));
    EXPECT_EQ(owner, nullptr);
    EXPECT_OV_OK(ov_file_owner_free(&owner));

    ASSERT_OV_OK(ov_file_owner_create("root", "-", &owner));
    EXPECT_EQ(owner->uid, 0u);
    EXPECT_EQ(owner->gid, 0xFFFFFFFFu);
    ov_file_owner_free(&owner);
    ASSERT_OV_OK(ov_file_owner_create(nullptr, "root", &owner));
    EXPECT_EQ(owner->gid, 0u);
    ov_file_owner_free(&owner);

    EXPECT_EQ(ov_file_owner_create("no-such-user-ovtest", nullptr, &owner), EUNAME);
    EXPECT_EQ(owner, nullptr);
    EXPECT_EQ(ov_file_owner_create(nullptr, "no-such-group-ovtest", &owner), ENOENT);
    EXPECT_EQ(owner, nullptr);

    // Changing to the owner the file already has needs no privilege.
    struct stat st;
    ASSERT_EQ(stat(path("f").c_str(), &st), 0);
    ov_file_owner_t same{static_cast<uint32_t>(st.st_uid), static_cast<uint32_t>(st.st_gid)};
    EXPECT_OV_OK(ov_file_chown(&same, path("f").c_str()));
    ASSERT_OV_OK(ov_file_symlink(path("f").c_str(), path("l").c_str()));
    EXPECT_OV_OK(ov_file_lchown(&same, path("l").c_str()));
}

TEST_F(FileTest, ChownAsAnUnprivilegedUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs a file owned by root and a user to drop to";
    std::string f = path("f");
    write_file(f, "x");
    bool passed = false;
    bool ran = RunUnprivileged(
        [&] {
            // Asking for the owner a file already has passes without
            // privilege; giving root's file away needs privilege the child
            // does not have.
            ov_file_owner_t root{0, 0xFFFFFFFFu};
            return ov_file_chown(&root, "/") == 0 &&
                   ov_file_chown_names(f.c_str(), "root", nullptr) == 0 &&
                   ov_file_chown_names(f.c_str(), "nobody", nullptr) == EPERM;
        },
        &passed);
    if (!ran) GTEST_SKIP() << "cannot drop privileges to uid 65534";
    EXPECT_TRUE(passed);
}

TEST_F(FileTest, SetTimes) {
    write_file(path("f"), "x");
    ASSERT_OV_OK(ov_file_set_times(path("f").c_str(), 1000, 2000));
    ov_stat_t st;
    ASSERT_OV_OK(ov_file_stat(path("f").c_str(), &st, 0));
    EXPECT_EQ(st.mtime, 1000);
    EXPECT_EQ(st.atime, 2000);

    ASSERT_OV_OK(ov_file_set_times(path("f").c_str(), OV_FILE_TIME_KEEP, OV_FILE_TIME_KEEP));
    ASSERT_OV_OK(ov_file_stat(path("f").c_str(), &st, 0));
    EXPECT_EQ(st.mtime, 1000);
    EXPECT_EQ(st.atime, 2000);

    ASSERT_OV_OK(ov_file_set_times(path("f").c_str(), 3000, OV_FILE_TIME_KEEP));
    ASSERT_OV_OK(ov_file_stat(path("f").c_str(), &st, 0));
    EXPECT_EQ(st.mtime, 3000);
    EXPECT_EQ(st.atime, 2000);

    // -1 in either sets both stamps to now; the 5 is not used.
    time_t before = time(nullptr);
    ASSERT_OV_OK(ov_file_set_times(path("f").c_str(), OV_FILE_TIME_NOW, 5));
    ASSERT_OV_OK(ov_file_stat(path("f").c_str(), &st, 0));
    EXPECT_GE(st.mtime, before - 5);
    EXPECT_GE(st.atime, before - 5);

    ASSERT_OV_OK(ov_file_set_time(path("f").c_str(), 4000));
    ASSERT_OV_OK(ov_file_stat(path("f").c_str(), &st, 0));
    EXPECT_EQ(st.mtime, 4000);
    EXPECT_EQ(st.atime, 4000);
    EXPECT_EQ(ov_file_set_times(path("missing").c_str(), 1, 1), ENOENT);
    EXPECT_EQ(ov_file_set_times(path("missing").c_str(), OV_FILE_TIME_KEEP, 1), ENOENT);
}

TEST_F(FileTest, LsetTimesChangesTheLinkItself) {
    write_file(path("f"), "x");
    ASSERT_OV_OK(ov_file_set_times(path("f").c_str(), 1000, 1000));
    ASSERT_OV_OK(ov_file_symlink(path("f").c_str(), path("l").c_str()));
    ASSERT_OV_OK(ov_file_lset_times(path("l").c_str(), 5000, OV_FILE_TIME_KEEP));
    ov_stat_t link_st, file_st;
    ASSERT_OV_OK(ov_file_stat(path("l").c_str(), &link_st, OV_STAT_NOFOLLOW));
    ASSERT_OV_OK(ov_file_stat(path("f").c_str(), &file_st, 0));
    EXPECT_EQ(link_st.mtime, 5000);
    EXPECT_EQ(file_st.mtime, 1000);

    // On a file that is not a link it behaves like ov_file_set_times.
    ASSERT_OV_OK(ov_file_lset_times(path("f").c_str(), 7000, 8000));
    ASSERT_OV_OK(ov_file_stat(path("f").c_str(), &file_st, 0));
    EXPECT_EQ(file_st.mtime, 7000);
    EXPECT_EQ(file_st.atime, 8000);
    EXPECT_EQ(ov_file_lset_times(path("missing").c_str(), 1, 1), ENOENT);
}

// ---- Streams --------------------------------------------------------------------------------

TEST_F(FileTest, Streams) {
    FILE *stream = reinterpret_cast<FILE *>(0x1);
    EXPECT_EQ(ov_file_fopen_read(path("missing").c_str(), &stream), ENOENT);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(ov_file_fclose(&stream), EBADF);
    EXPECT_EQ(ov_file_fclose(nullptr), EINVAL);

    ASSERT_OV_OK(ov_file_fopen_write(path("s").c_str(), &stream));
    ASSERT_NE(stream, nullptr);
    fputs("line\n", stream);
    ASSERT_OV_OK(ov_file_fclose(&stream));
    EXPECT_EQ(stream, nullptr);
    ASSERT_OV_OK(ov_file_fopen_read(path("s").c_str(), &stream));
    char line[16] = {};
    ASSERT_NE(fgets(line, sizeof line, stream), nullptr);
    EXPECT_STREQ(line, "line\n");
    ASSERT_OV_OK(ov_file_fclose(&stream));
}

// ---- Path strings ---------------------------------------------------------------------------

TEST(FilePathJoin, Table) {
    struct Case {
        const char *dir;
        const char *name;
        size_t size;
        int32_t rc;
        const char *out;
    } cases[] = {
        {"", "x", 16, 0, "/x"},
        {"", "/x", 16, 0, "/x"},
        {"a", "b", 16, 0, "a/b"},
        {"a/", "b", 16, 0, "a/b"},
        {"a", "/b", 16, 0, "a//b"},
        {"a/./", "../b", 16, 0, "a/./../b"},
        {"ab", "cd", 6, 0, "ab/cd"},
        {"ab", "cd", 5, EBUFFER, nullptr},
        {"", "x", 3, 0, "/x"},
        {"", "x", 2, EBUFFER, nullptr},
        {"a", "b", 0, EBUFFER, nullptr},
        {nullptr, "b", 16, EINVAL, nullptr},
        {"a", nullptr, 16, EINVAL, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.dir ? c.dir : "(null)") + " + " + (c.name ? c.name : "(null)") +
                     " size " + std::to_string(c.size));
        char out[16];
        std::memset(out, 'Z', sizeof out);
        ASSERT_EQ(ov_file_path_join(c.dir, c.name, out, c.size), c.rc);
        if (c.rc == 0) {
            EXPECT_STREQ(out, c.out);
        } else {
            EXPECT_EQ(out[0], 'Z') << "nothing is written on failure";
        }
    }
    // The name can be appended to the directory in place.
    char buffer[16] = "dir";
    ASSERT_OV_OK(ov_file_path_join(buffer, "name", buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "dir/name");
}

TEST(FileBasename, Table) {
    const std::pair<const char *, const char *> cases[] = {
        {"abc", "abc"},    {"a/b", "b"},   {"/x/y/zz", "zz"}, {"/a", "a"},
        {"a/b/", nullptr}, {"/", nullptr}, {"", nullptr},
    };
    for (const auto &[in, expected] : cases) {
        SCOPED_TRACE(in);
        const char *base = "unset";
        int32_t rc = ov_file_basename(in, &base);
        if (expected == nullptr) {
            EXPECT_EQ(rc, EBASENAME);
            EXPECT_EQ(base, nullptr);
        } else {
            ASSERT_OV_OK(rc);
            EXPECT_STREQ(base, expected);
            EXPECT_GE(base, in);
            EXPECT_LT(base, in + std::strlen(in)) << "points into the caller's path";
        }
    }
    const char *base = nullptr;
    EXPECT_EQ(ov_file_basename(nullptr, &base), EINVAL);
    EXPECT_EQ(ov_file_basename("x", nullptr), EINVAL);
}

TEST(FileDirname, Table) {
    const std::pair<const char *, const char *> cases[] = {
        {"/usr/lib", "/usr"}, {"/usr/lib/", "/usr"}, {"/usr", "/"},    {"/", "/"},
        {"a/b/", "a"},        {"a//b", "a"},         {"foo", "."},     {"../foo", ".."},
        {"./foo", "./"},      {"a/", "."},           {"a/b/c", "a/b"}, {"", ""},
        {"//srv/x", "//srv"}, {"/usr//lib", "/usr"},
    };
    for (const auto &[in, expected] : cases) {
        SCOPED_TRACE(in);
        char buffer[32];
        std::strcpy(buffer, in);
        ASSERT_OV_OK(ov_file_dirname(buffer));
        EXPECT_STREQ(buffer, expected);
    }
    EXPECT_OV_OK(ov_file_dirname(nullptr));
}

TEST(FilePathWithin, Table) {
    struct Case {
        const char *dir;
        const char *path;
        int32_t rc;
    } cases[] = {
        {"/a", "/a/b", 0},         {"/a/", "/a/b", 0},         {"/a", "/a", 0},
        {"/a", "/ab", EPATHMATCH}, {"/a/b", "/a", EPATHMATCH}, {"/A", "/a/b", EPATHMATCH},
        {"/a/", "/a", EPATHMATCH}, {"", "/a", EPATHMATCH},     {"", "", 0},
        {"/", "/etc", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.dir) + " / " + c.path);
        EXPECT_EQ(ov_file_path_within(c.dir, c.path), c.rc);
    }
}

// ---- Copy ------------------------------------------------------------------------------------

TEST_F(FileTest, CopyFile) {
    std::string data;
    for (int i = 0; i < 300000; ++i) data += static_cast<char>('a' + i % 26);
    write_file(path("src"), data);
    ASSERT_OV_OK(ov_copy_file(path("src").c_str(), path("dst").c_str(), 0600));
    EXPECT_EQ(read_file(path("dst")), data);
    struct stat st;
    ASSERT_EQ(stat(path("dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A longer destination is truncated to the source.
    write_file(path("src"), "short");
    ASSERT_OV_OK(ov_copy_file(path("src").c_str(), path("dst").c_str(), 0600));
    EXPECT_EQ(read_file(path("dst")), "short");

    write_file(path("empty"), "");
    ovtest::LogCapture log;
    ASSERT_TRUE(log.ok());
    ASSERT_OV_OK(ov_copy_file(path("empty").c_str(), path("empty_copy").c_str(), 0644));
    EXPECT_EQ(log.count("sendfile() succeeded"), 1u);
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(ov_file_exists(path("empty_copy").c_str(), 0), 1);
    EXPECT_EQ(read_file(path("empty_copy")), "");

    EXPECT_EQ(ov_copy_file(path("missing").c_str(), path("x").c_str(), 0600), ENOENT);
    EXPECT_EQ(ov_file_exists(path("x").c_str(), 0), 0) << "no destination without a source";
    EXPECT_EQ(ov_copy_file(path("src").c_str(), path("no/dir").c_str(), 0600), ENOENT);
}

// The kernel refuses sendfile(2) into a file whose driver has no splice
// support, such as /proc/self/comm; the copy must then go through user
// space. Run in a child so that the test program keeps its own name.
TEST_F(FileTest, CopyFallsBackWhenTheKernelRefusesTheDestination) {
    write_file(path("name"), "ovcopied");
    const std::string source = path("name");
    const int status = ovtest::RunChild([&] {
        if (ov_copy_file(source.c_str(), "/proc/self/comm", 0644) != 0) return 1;
        return read_file("/proc/self/comm") == "ovcopied\n" ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
}

// Pseudo-files and pipes report a size of 0 whatever they hold; their data
// is copied all the same, by the kernel where it accepts them and through
// user space where it does not.
TEST_F(FileTest, CopyOfSourcesWithoutASize) {
    // The kernel refuses the status file and accepts the version file.
    const std::pair<const char *, const char *> sources[] = {
        {"/proc/self/status", "sendfile() rejected.  Falling back to user mode copy."},
        {"/proc/version", "sendfile() succeeded"},
    };
    for (const auto &[proc, line] : sources) {
        SCOPED_TRACE(proc);
        ov_stat_t st;
        ASSERT_OV_OK(ov_file_stat(proc, &st, 0));
        ASSERT_EQ(st.size, 0) << "a pseudo-file that reports no size";
        ovtest::LogCapture log;
        ASSERT_TRUE(log.ok());
        ASSERT_OV_OK(ov_copy_file(proc, path("copy").c_str(), 0600));
        EXPECT_EQ(log.count(line), 1u);
        const std::string copy = read_file(path("copy"));
        EXPECT_NE(copy, "");
        // The status file changes between two reads; its first line does not.
        const std::string original = read_file(proc);
        EXPECT_EQ(copy.substr(0, copy.find('\n')), original.substr(0, original.find('\n')));
    }

    // A pipe: the kernel refuses to send from it at an offset. The copy runs
    // in a child with an alarm, so that a copy that leaves the writer
    // waiting fails instead of hanging the test program.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    std::string data;
    for (int i = 0; i < 100000; ++i) data += static_cast<char>('0' + i % 10);
    const std::string fifo = path("fifo");
    const std::string copy = path("from_fifo");
    const int status = ovtest::RunChild([&] {
        alarm(10);
        signal(SIGPIPE, SIG_IGN);
        std::thread writer([&] {
            const int fd = open(fifo.c_str(), O_WRONLY);
            if (fd < 0) return;
            size_t done = 0;
            while (done < data.size()) {
                const ssize_t n = write(fd, data.data() + done, data.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            close(fd);
        });
        const int32_t rc = ov_copy_file(fifo.c_str(), copy.c_str(), 0600);
        writer.join();
        return rc;
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(read_file(copy), data);
}

TEST_F(FileTest, CopyReportsASourceShorterThanItsSize) {
    // A sysfs attribute reports a page as its size but holds a short line.
    const char *candidates[] = {"/sys/kernel/mm/transparent_hugepage/enabled",
                                "/sys/kernel/uevent_seqnum", "/sys/kernel/profiling",
                                "/sys/power/state"};
    const char *source = nullptr;
    for (const char *c : candidates) {
        ov_stat_t st;
        if (ov_file_stat(c, &st, 0) == 0 && st.size > 0 &&
            static_cast<size_t>(st.size) > read_file(c).size() && !read_file(c).empty()) {
            source = c;
            break;
        }
    }
    if (source == nullptr) GTEST_SKIP() << "no sysfs attribute with a page-sized size here";
    SCOPED_TRACE(source);
    ovtest::LogCapture log;
    ASSERT_TRUE(log.ok());
    EXPECT_EQ(ov_copy_file(source, path("copy").c_str(), 0600), EBUFFER);
    EXPECT_EQ(log.count("ov_copy_file():  Premature EOF"), 1u);
    EXPECT_EQ(log.count("sendfile() failed with 28677"), 1u);
    EXPECT_EQ(read_file(path("copy")), read_file(source)) << "what was there stays copied";
}

TEST_F(FileTest, CopyFallbackFailureIsReturned) {
    // A directory opens for reading and has a size, but neither sendfile(2)
    // nor read(2) takes data from it.
    ASSERT_EQ(mkdir(path("d").c_str(), 0755), 0);
    ov_stat_t st;
    ASSERT_OV_OK(ov_file_stat(path("d").c_str(), &st, 0));
    if (st.size == 0) GTEST_SKIP() << "directories have no size on this file system";
    ovtest::LogCapture log;
    ASSERT_TRUE(log.ok());
    EXPECT_EQ(ov_copy_file(path("d").c_str(), path("copy").c_str(), 0600), EISDIR);
    EXPECT_EQ(log.count("sendfile() rejected.  Falling back to user mode copy."), 1u);
    EXPECT_EQ(log.count("ov_fileread: read failed. error=21"), 1u);
    EXPECT_EQ(ov_file_exists(path("copy").c_str(), 0), 1) << "the destination is left behind";
}

}  // namespace
