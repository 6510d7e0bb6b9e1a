// Tests of the C++ header (ovplatform.hpp), built once as C++17 and once as
// C++20, both without exceptions.
//
// The owners are checked against real resources: a descriptor closed or not
// (fcntl), a directory stream's descriptor, a child process collected or
// still there (kill with signal 0), a lock file present or gone, the frees
// of a hash table's values counted (and, in the sanitizer build, every heap
// block freed exactly once). The last group reads the public headers and
// checks that every create/destroy pair of the C API has its owner.
#include <ovplatform/ovplatform.hpp>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "ovsupport/files.h"

#ifdef __cpp_exceptions
#error "the C++ header's tests are compiled without exceptions"
#endif

namespace {

// A fresh directory per test, removed afterwards. (The shared fixture of
// test_util.h needs C++20; this file is also built as C++17.)
class TempDirTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = ovsupport::make_temp_dir(std::filesystem::temp_directory_path().string(), "ovhpp");
        ASSERT_FALSE(dir_.empty()) << std::strerror(errno);
    }
    void TearDown() override { ovsupport::remove_tree(dir_); }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    void write_file(const std::string &name, const std::string &data) {
        ASSERT_TRUE(ovsupport::write_file(name, data)) << name;
    }
    std::string dir_;
};

bool fd_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

bool process_exists(pid_t pid) {
    return kill(pid, 0) == 0;
}

std::string read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int count_open_fds() {
    int count = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr) ++count;
    closedir(d);
    return count;
}

// ---- The build --------------------------------------------------------------------------------

TEST(CxxBuild, CompiledAsTheStandardItWasBuiltFor) {
#if OV_HPP_EXPECTED_STANDARD == 17
    EXPECT_EQ(__cplusplus, 201703L);
#else
    EXPECT_GE(__cplusplus, 202002L);
#endif
}

// ---- Error codes ------------------------------------------------------------------------------

std::string library_message(int32_t code) {
    char text[256];
    EXPECT_EQ(ov_error_string(code, text, sizeof text), 0);
    return text;
}

TEST(CxxErrors, MessagesAreTheLibrarysOwn) {
    const std::error_code locked = ov::make_error_code(ELOCKED);
    EXPECT_EQ(locked.message(), "Already locked");
    EXPECT_STREQ(locked.category().name(), "ovplatform");
    EXPECT_EQ(&locked.category(), &ov::platform_category());
    // Every library code, host values with and without a name of their own,
    // the end marker and a negative code.
    std::vector<int32_t> codes = {ENOENT, EWOULDBLOCK, ENOTREADY, EPATHMAX, 6, 133, ERR_END, -5};
    for (int32_t code = OV_ERROR_BASE; code < ERR_END; ++code) codes.push_back(code);
    for (int32_t code : codes) {
        SCOPED_TRACE(code);
        EXPECT_EQ(ov::make_error_code(code).message(), library_message(code));
    }
    EXPECT_STREQ(ov::error_name(ov::make_error_code(EWOULDBLOCK)), "EWOULDBLOCK");
    EXPECT_STREQ(ov::error_name(ov::make_error_code(ELOCKSKEW)), "ELOCKSKEW");
}

TEST(CxxErrors, HostErrnoValuesCompareEqualToErrc) {
    EXPECT_FALSE(ov::make_error_code(0));
    EXPECT_EQ(ov::make_error_code(ENOENT), std::errc::no_such_file_or_directory);
    EXPECT_EQ(ov::make_error_code(EEXIST), std::errc::file_exists);
    EXPECT_EQ(ov::make_error_code(EINVAL), std::errc::invalid_argument);
    EXPECT_EQ(ov::make_error_code(ETIMEDOUT), std::errc::timed_out);
    EXPECT_EQ(ov::make_error_code(EWOULDBLOCK), std::errc::resource_unavailable_try_again);
    EXPECT_EQ(ov::make_error_code(EPATHMAX), std::errc::filename_too_long);
    EXPECT_NE(ov::make_error_code(ENOENT), std::errc::file_exists);
    EXPECT_EQ(ov::make_error_code(ENOENT).default_error_condition().category(),
              std::generic_category());
    // The library's own codes stay in their category: no errc value or
    // generic condition of the same number matches them.
    const std::error_code locked = ov::make_error_code(ELOCKED);
    EXPECT_EQ(locked.default_error_condition().category(), ov::platform_category());
    EXPECT_NE(locked, std::error_condition(ELOCKED, std::generic_category()));
    EXPECT_EQ(locked, ov::make_error_code(ELOCKED));
    EXPECT_NE(locked, ov::make_error_code(ELOCKSKEW));
    // A failing call's code compares as the C code does.
    auto missing = ov::file::open_read("/nonexistent/ovplatform-hpp-test");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
    EXPECT_EQ(missing.error().value(), ENOENT);
}

// ---- Byte and text arguments ------------------------------------------------------------------

TEST(CxxSpans, ConvertWithTheRightLength) {
    const std::string text = "hello world";
    EXPECT_EQ(ov::byte_span(std::string_view(text).substr(6, 3)).view(), "wor");
    EXPECT_EQ(ov::byte_span("four").size(), 4u);  // the NUL is not data
    const std::vector<uint16_t> words = {1, 2, 3};
    EXPECT_EQ(ov::byte_span(words).size(), 6u);
    const std::array<uint32_t, 2> pair = {7, 8};
    EXPECT_EQ(ov::byte_span(pair).size(), 8u);
    char room[16];
    EXPECT_EQ(ov::mutable_byte_span(room).size(), 16u);
    std::string out(5, '\0');
    EXPECT_EQ(ov::mutable_byte_span(out).data(), out.data());
#if __cplusplus >= 202002L
    uint64_t values[3] = {};
    EXPECT_EQ(ov::byte_span(std::span<const uint64_t>(values)).size(), 24u);
    EXPECT_EQ(ov::mutable_byte_span(std::span<uint64_t>(values)).size(), 24u);
    EXPECT_EQ(ov::byte_span(text).bytes().size(), text.size());
#endif
}

TEST(CxxStrings, ViewsThatAreNotTerminatedAreReadToTheirEndOnly) {
    // Each view is a slice of a longer text, so that reading past its end
    // (or stopping at a terminator that is not there) shows.
    const std::string text = "hello world";
    const std::string_view hello = std::string_view(text).substr(0, 5);
    auto dup = ov::str_ndup(hello);
    ASSERT_TRUE(dup);
    EXPECT_STREQ(dup->c_str(), "hello");
    const std::string with_nul("ab\0cd", 5);
    EXPECT_STREQ(ov::str_ndup(with_nul)->c_str(), "ab");

    // "é" is C3 A9: a slice that ends between the two bytes is not valid;
    // one that ends after them is, though no terminator follows it.
    const std::string utf8 = "caf\xc3\xa9!";
    EXPECT_FALSE(ov::utf8_valid(std::string_view(utf8).substr(0, 4)));
    EXPECT_TRUE(ov::utf8_valid(std::string_view(utf8).substr(0, 5)));
    EXPECT_FALSE(ov::utf8_valid(std::string_view("a\xff")));
    EXPECT_TRUE(ov::is_scheme(std::string_view("http://x").substr(0, 4)));
    EXPECT_FALSE(ov::is_scheme(std::string_view("http://x").substr(0, 5)));
    EXPECT_EQ(ov::str_span(std::string_view("aaab").substr(0, 3), "a"), 3u);

    EXPECT_EQ(ov::hex_encode(std::string_view("\x01\xab\xff tail").substr(0, 3)), "01ABFF");
    std::array<uint8_t, 4> bytes{};
    auto decoded = ov::hex_decode(std::string_view("01abZZ").substr(0, 4), bytes);
    ASSERT_TRUE(decoded) << decoded.error().message();
    EXPECT_EQ(*decoded, 2u);
    EXPECT_EQ(bytes[0], 0x01);
    EXPECT_EQ(bytes[1], 0xab);
    EXPECT_EQ(ov::hex_decode("0", bytes).error(), std::errc::invalid_argument);

    const std::string b64 = ov::base64_encode(hello);
    EXPECT_EQ(b64, "aGVsbG8=");
    const std::string followed = b64 + "!!!!";  // not alphabet: must not be read
    std::array<char, 16> plain{};
    auto n = ov::base64_decode(std::string_view(followed).substr(0, b64.size()), plain);
    ASSERT_TRUE(n) << n.error().message();
    EXPECT_EQ(std::string_view(plain.data(), *n), "hello");
    const std::string url = ov::base64url_encode(std::string_view("\xfb\xff", 2));
    EXPECT_EQ(url, "-_8");
    n = ov::base64url_decode(std::string_view(url + "==").substr(0, url.size()), plain);
    ASSERT_TRUE(n);
    EXPECT_EQ(std::string_view(plain.data(), *n), std::string_view("\xfb\xff", 2));
}

TEST(CxxStrings, LibraryAllocatedStringsAndArrays) {
    ov::string_buffer buffer;
    EXPECT_STREQ(buffer.c_str(), "");
    const std::string text = "keyvalue";
    ASSERT_FALSE(buffer.append_view(std::string_view(text).substr(0, 3)));
    ASSERT_FALSE(buffer.append("="));
    ASSERT_FALSE(buffer.printf("%d", 42));
    EXPECT_EQ(buffer.view(), "key=42");
    const std::string long_text(3000, 'x');
    ASSERT_FALSE(buffer.append(long_text));
    EXPECT_EQ(buffer.length(), 3006u);
    EXPECT_GE(buffer.capacity(), 3007u);
    ov::string_buffer moved = std::move(buffer);
    EXPECT_FALSE(buffer.valid());
    EXPECT_EQ(buffer.length(), 0u);
    EXPECT_EQ(moved.view().substr(0, 6), "key=42");
    char *raw = moved.release();
    EXPECT_EQ(std::string_view(raw).size(), 3006u);
    std::free(raw);

    auto tokens = ov::token_array::tokenize("ls 'a b' c");
    ASSERT_TRUE(tokens);
    ASSERT_EQ(tokens->size(), 3u);
    EXPECT_STREQ((*tokens)[1], "a b");
    std::vector<std::string> seen(tokens->begin(), tokens->end());
    EXPECT_EQ(seen, (std::vector<std::string>{"ls", "a b", "c"}));
    EXPECT_EQ(ov::token_array::tokenize("open 'quote").error().value(), ETOKENIZER);

    auto words = ov::arg_list::split("run \"x y\" z");
    ASSERT_TRUE(words);
    ASSERT_EQ(words->size(), 3u);
    EXPECT_STREQ((*words)[1], "x y");
    EXPECT_TRUE(ov::arg_list::split(nullptr)->empty());

    auto lower = ov::str_tolower_dup(std::string("MiXeD"));
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower->view(), "mixed");
    EXPECT_EQ(ov::str_toupper_dup("abc")->view(), "ABC");
    EXPECT_EQ(ov::utf8_ellipsize("abcdefghij", 7, 1)->view(), "abcd...");
}

TEST(CxxMemory, AlignedBlocksListsAndCallSiteTables) {
    auto block = ov::aligned_block::allocate(100, 4096);
    ASSERT_TRUE(block);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block->data()) % 4096, 0u);
    EXPECT_EQ(block->size(), 100u);
    EXPECT_EQ(static_cast<const char *>(block->data())[99], 0);
    EXPECT_EQ(ov::aligned_block::allocate(8, 3).error(), std::errc::invalid_argument);

    auto roots = ov::root_list::read();
    ASSERT_TRUE(roots);
    std::vector<std::string> paths;
    for (const ov_root_t &root : *roots) paths.push_back(root.path);
    EXPECT_EQ(paths, std::vector<std::string>{"/"});

    auto mounts = ov::mount_list::read();
    if (access("/etc/fstab", R_OK) == 0) {
        ASSERT_TRUE(mounts) << mounts.error().message();
        for (const ov_mount_t &m : *mounts) EXPECT_NE(m.mount_point[0], '\0');
    } else {
        EXPECT_EQ(mounts.error(), std::errc::no_such_file_or_directory);
    }

    ov::stack_block_table<2> table;
    void *first = table.get("test", "here", 10, 64);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(table.get("test", "here", 10, 32), first);  // the same line's block again
    ASSERT_NE(table.get("test", "here", 11, 16), nullptr);
    EXPECT_EQ(table.get("test", "here", 12, 16), nullptr);  // no slot left: failed
    EXPECT_EQ(table.state(), OV_PLATFORM_STACK_FAILED);
    ov::stack_block_table<2> moved = std::move(table);
    EXPECT_EQ(moved.slots()[0].block, first);
    EXPECT_EQ(table.slots()[0].block, nullptr);
    moved.free_all();
    EXPECT_EQ(moved.state(), OV_PLATFORM_STACK_UNUSED);
    EXPECT_NE(moved.get("test", "here", 12, 16), nullptr);
}

// ---- Files ------------------------------------------------------------------------------------

using CxxFiles = TempDirTest;

TEST_F(CxxFiles, DescriptorIsClosedExactlyOnce) {
    const std::string name = path("data");
    int fd = -1;
    {
        auto f = ov::file::create(name);
        ASSERT_TRUE(f) << f.error().message();
        fd = f->get();
        ASSERT_TRUE(fd_open(fd));
    }
    EXPECT_FALSE(fd_open(fd));

    // A moved-from owner closes nothing; the owner moved to closes once.
    auto a = ov::file::open_read(name);
    ASSERT_TRUE(a);
    fd = a->get();
    {
        ov::file b = std::move(*a);
        EXPECT_FALSE(a->valid());
        EXPECT_EQ(a->get(), -1);
        a->reset();  // nothing to close
        EXPECT_TRUE(fd_open(fd));
    }
    EXPECT_FALSE(fd_open(fd));

    // Closed early, by close() or by the C call through handle(): the
    // destructor must not close the descriptor number again, which by then
    // belongs to the file opened next.
    for (int way = 0; way < 2; ++way) {
        SCOPED_TRACE(way);
        auto first = ov::file::open_read(name);
        ASSERT_TRUE(first);
        const int number = first->get();
        if (way == 0) {
            EXPECT_FALSE(first->close());
        } else {
            EXPECT_EQ(ov_file_close(first->handle()), 0);
        }
        EXPECT_FALSE(first->valid());
        auto second = ov::file::open_read(name);
        ASSERT_TRUE(second);
        ASSERT_EQ(second->get(), number);
        first = ov::result<ov::file>(ov::file());  // destroys the first owner
        EXPECT_TRUE(fd_open(number));
    }

    // release() leaves the descriptor open, to the caller.
    {
        auto f = ov::file::open_read(name);
        ASSERT_TRUE(f);
        fd = f->release();
        EXPECT_FALSE(f->valid());
    }
    EXPECT_TRUE(fd_open(fd));
    close(fd);

    // Assigning over an open owner closes what it held.
    auto x = ov::file::open_read(name);
    auto y = ov::file::open_read(name);
    ASSERT_TRUE(x && y);
    const int old = x->get();
    *x = std::move(*y);
    EXPECT_FALSE(fd_open(old));
    EXPECT_TRUE(x->valid());
}

TEST_F(CxxFiles, ReadWriteTakeSlicesAndSpans) {
    const std::string name = path("data");
    const std::string text = "0123456789abcdef";
    {
        auto f = ov::file::create(name);
        ASSERT_TRUE(f);
        auto written = f->write(std::string_view(text).substr(2, 4));
        ASSERT_TRUE(written);
        EXPECT_EQ(*written, 4u);
        const std::vector<char> big(1 << 20, 'z');
        EXPECT_FALSE(f->write_all(big));
        auto at = f->pwrite(std::string_view("XY"), 1);
        ASSERT_TRUE(at);
        EXPECT_EQ(*at, 2u);
        EXPECT_EQ(f->stat()->size, 4 + (1 << 20));
        EXPECT_FALSE(f->sync());
    }
    EXPECT_EQ(read_all(name).substr(0, 6), "2XY5zz");

    auto f = ov::file::open_read(name);
    ASSERT_TRUE(f);
    std::array<char, 4> first{};
    auto n = f->read(first);
    ASSERT_TRUE(n);
    EXPECT_EQ(std::string_view(first.data(), *n), "2XY5");
    std::string tail(3, '\0');
    ASSERT_TRUE(f->pread(tail, 2));
    EXPECT_EQ(tail, "Y5z");
    EXPECT_FALSE(f->seek(0, SEEK_END));
    EXPECT_EQ(*f->read(first), 0u);
    EXPECT_EQ(f->write("x").error(), std::errc::bad_file_descriptor);
}

TEST_F(CxxFiles, StreamsAndOwnerRecords) {
    const std::string name = path("stream");
    {
        auto s = ov::stream::open_write(name);
        ASSERT_TRUE(s);
        std::fputs("through stdio", s->get());
    }  // fclose flushes
    EXPECT_EQ(read_all(name), "through stdio");
    FILE *kept = nullptr;
    {
        auto s = ov::stream::open_read(name);
        ASSERT_TRUE(s);
        kept = s->release();
    }
    char line[32] = {};
    ASSERT_NE(std::fgets(line, sizeof line, kept), nullptr);  // still open
    EXPECT_STREQ(line, "through stdio");
    EXPECT_EQ(ov_file_fclose(&kept), 0);

    char user[256];
    ASSERT_EQ(ov_platform_current_user_name(user, sizeof user), 0);
    auto owner = ov::file_owner::create(user, nullptr);
    ASSERT_TRUE(owner) << owner.error().message();
    EXPECT_EQ(owner->get()->uid, getuid());
    EXPECT_FALSE(owner->chown(name));
    EXPECT_EQ(ov::file_owner::create("no-such-user-ovhpp", nullptr).error().value(), EUNAME);
}

// ---- Directories ------------------------------------------------------------------------------

using CxxDirs = TempDirTest;

TEST_F(CxxDirs, StreamsAreClosedExactlyOnce) {
    write_file(path("a"), "1");
    std::set<std::string> names;
    int fd = -1;
    {
        auto d = ov::dir::open(dir_);
        ASSERT_TRUE(d) << d.error().message();
        fd = dirfd(d->get().stream);
        ASSERT_TRUE(fd_open(fd));
        std::string name;
        std::error_code ec;
        while (!(ec = d->read(name))) names.insert(name);
        EXPECT_EQ(ec, ov::make_error_code(EDIREND));
        ov::dir moved = std::move(*d);
        EXPECT_FALSE(d->valid());
        EXPECT_EQ(d->read(name), std::errc::invalid_argument);
    }
    EXPECT_FALSE(fd_open(fd));
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "a"}));

    ov_dir_t kept{nullptr};
    {
        auto d = ov::dir::open(dir_);
        ASSERT_TRUE(d);
        kept = d->release();
    }
    EXPECT_TRUE(fd_open(dirfd(kept.stream)));
    EXPECT_EQ(ov_dir_close(&kept), 0);
    EXPECT_EQ(ov::dir::open(path("missing")).error(), std::errc::no_such_file_or_directory);
}

TEST_F(CxxDirs, AWalkLeftHalfwayClosesEveryStream) {
    ASSERT_EQ(ov_dir_create(path("x/y/z").c_str(), 0755, 1), 0);
    write_file(path("x/y/z/f"), "1");
    const int before = count_open_fds();
    {
        auto walk = ov::dir_walk::open(dir_);
        ASSERT_TRUE(walk) << walk.error().message();
        std::string entry;
        int32_t type = 0;
        for (int i = 0; i < 3; ++i) ASSERT_FALSE(walk->next(entry, &type));  // x, y, z
        EXPECT_EQ(type, OV_DIR_WALK_DIR);
        EXPECT_GT(count_open_fds(), before + 2);  // four directories open
    }
    EXPECT_EQ(count_open_fds(), before);

    auto walk = ov::dir_walk::open(dir_);
    ASSERT_TRUE(walk);
    std::vector<std::string> files;
    std::string entry;
    int32_t type = 0;
    while (!walk->next(entry, &type)) {
        if (type == OV_DIR_WALK_FILE) files.push_back(entry);
    }
    EXPECT_EQ(files, std::vector<std::string>{path("x/y/z/f")});
}

TEST_F(CxxDirs, AnEntryThatCannotBeLookedAtIsNamedAndTheWalkGoesOn) {
    ASSERT_EQ(symlink("nowhere", path("dangling").c_str()), 0);
    write_file(path("file"), "1");
    auto walk = ov::dir_walk::open(dir_);
    ASSERT_TRUE(walk);
    std::vector<std::string> seen, failed;
    std::string entry = "stale";
    int32_t type = 0;
    for (int i = 0; i < 10; ++i) {
        const std::error_code error = walk->next(entry, &type);
        if (error == ov::make_error_code(EDIREND)) break;
        if (error) {
            EXPECT_EQ(error, std::errc::no_such_file_or_directory);
            failed.push_back(entry);
        } else if (type != OV_DIR_WALK_UP) {
            seen.push_back(entry);
        }
    }
    EXPECT_EQ(failed, std::vector<std::string>{path("dangling")});
    EXPECT_EQ(seen, std::vector<std::string>{path("file")});
}

// ---- Hash tables ------------------------------------------------------------------------------

// Keys of each type: extremes, and pairs that differ only in their high
// byte, so that a table hashing or comparing too few bytes merges them.
template <class Key>
std::vector<Key> sample_keys() {
    using limits = std::numeric_limits<Key>;
    std::vector<Key> keys = {limits::min(), limits::max(), Key(0), Key(1), Key(limits::max() / 2)};
    if constexpr (sizeof(Key) > 1) {
        keys.push_back(Key(Key(1) << (8 * sizeof(Key) - 8)));
        keys.push_back(Key(Key(1) + (Key(1) << (8 * sizeof(Key) - 8))));
    }
    if constexpr (std::is_signed_v<Key>) keys.push_back(Key(-1));
    std::vector<Key> distinct;
    for (Key k : keys) {
        if (std::find(distinct.begin(), distinct.end(), k) == distinct.end()) distinct.push_back(k);
    }
    return distinct;
}
template <>
std::vector<std::string> sample_keys<std::string>() {
    return {"", "a", "b", "key with spaces", std::string(300, 'k'), "\xc3\xa9t\xc3\xa9"};
}
template <>
std::vector<const char *> sample_keys<const char *>() {
    return {"", "x", "y", "longer key", "y2"};
}

template <class Key>
class CxxHashMap : public ::testing::Test {};
using KeyTypes = ::testing::Types<std::string, const char *, int8_t, uint8_t, int16_t, uint16_t,
                                  int32_t, uint32_t, int64_t, uint64_t>;
struct KeyNames {
    template <class Key>
    static std::string GetName(int) {
        if constexpr (std::is_same_v<Key, std::string>)
            return "string";
        else if constexpr (std::is_same_v<Key, const char *>)
            return "cstr";
        else
            return (std::is_signed_v<Key> ? "int" : "uint") + std::to_string(8 * sizeof(Key));
    }
};
TYPED_TEST_SUITE(CxxHashMap, KeyTypes, KeyNames);

template <class Key>
bool same_key(const Key &a, const Key &b) {
    return a == b;
}
bool same_key(const char *a, const char *b) {
    return std::strcmp(a, b) == 0;
}
bool same_key(const std::string &a, const char *b) {
    return a == b;
}

TYPED_TEST(CxxHashMap, KeysRoundTrip) {
    using Key = TypeParam;
    const std::vector<Key> keys = sample_keys<Key>();
    std::vector<int> values(keys.size());
    auto map = ov::hash_map<Key, int>::create();
    ASSERT_TRUE(map) << map.error().message();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        values[i] = static_cast<int>(i);
        // The table copies the key: a string key is handed over from a
        // temporary that is gone before the look-ups.
        if constexpr (std::is_same_v<Key, std::string>) {
            std::string temporary = keys[i];
            ASSERT_FALSE(map->put(temporary, &values[i]));
        } else {
            ASSERT_FALSE(map->put(keys[i], &values[i]));
        }
    }
    ASSERT_EQ(map->size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(map->get(keys[i]), &values[i]);
        EXPECT_TRUE(map->contains(keys[i]));
    }
    // Every entry once, with its own value.
    std::size_t visited = 0;
    for (auto entry : *map) {
        ASSERT_NE(entry.value, nullptr);
        const auto index = static_cast<std::size_t>(*entry.value);
        ASSERT_LT(index, keys.size());
        EXPECT_TRUE(same_key(keys[index], entry.key));
        ++visited;
    }
    EXPECT_EQ(visited, keys.size());

    int other = -1;
    auto inserted = map->insert(keys[0], &other);
    ASSERT_TRUE(inserted);
    EXPECT_FALSE(*inserted);  // present: the value stays
    EXPECT_EQ(map->get(keys[0]), &values[0]);
    EXPECT_TRUE(map->erase(keys[0]));
    EXPECT_FALSE(map->erase(keys[0]));
    EXPECT_EQ(map->get(keys[0]), nullptr);
    EXPECT_TRUE(*map->insert(keys[0], &other));
    EXPECT_EQ(map->get(keys[0]), &other);
    map->clear();
    EXPECT_TRUE(map->empty());
}

struct ValueFrees {
    static inline int count = 0;
    static void free_value(void *value) {
        ++count;
        delete static_cast<int *>(value);
    }
};

TEST(CxxHashTable, ValuesAreFreedExactlyOnce) {
    ValueFrees::count = 0;
    {
        auto map = ov::hash_map<uint32_t, int>::create(0, &ValueFrees::free_value);
        ASSERT_TRUE(map);
        for (uint32_t k = 0; k < 100; ++k) ASSERT_FALSE(map->put(k, new int(static_cast<int>(k))));
        ASSERT_FALSE(map->put(5, new int(500)));  // the replaced value goes
        EXPECT_EQ(ValueFrees::count, 1);
        EXPECT_EQ(*map->get(5), 500);
        EXPECT_TRUE(map->erase(7));
        EXPECT_EQ(ValueFrees::count, 2);
        auto stats = map->stats();
        ASSERT_TRUE(stats);
        EXPECT_GT((*stats)->load_factor, 0.0);

        ov::hash_map<uint32_t, int> moved = std::move(*map);
        EXPECT_FALSE(map->valid());
        map->reset();  // a moved-from map frees nothing
        EXPECT_EQ(ValueFrees::count, 2);
        EXPECT_EQ(moved.size(), 99u);
    }
    EXPECT_EQ(ValueFrees::count, 101);

    // release(): the caller frees the table.
    ValueFrees::count = 0;
    ov_hash_t *table = nullptr;
    {
        auto map = ov::hash_map<std::string, int>::create(0, &ValueFrees::free_value);
        ASSERT_TRUE(map);
        ASSERT_FALSE(map->put("k", new int(1)));
        table = map->release();
    }
    EXPECT_EQ(ValueFrees::count, 0);
    EXPECT_EQ(ov_hash_count(table), 1u);
    ov_hash_free(table);
    EXPECT_EQ(ValueFrees::count, 1);

    // The untyped owner with the caller's functions.
    auto keys = ov::hash_table::create_keys(8, &ov_hash_string, &ov_hash_equal_string,
                                            &ov_hash_copy_string, &free);
    ASSERT_TRUE(keys);
    int32_t added = 0;
    EXPECT_NE(ov_hash_insert_key(keys->get(), "member", &added), nullptr);
    EXPECT_EQ(added, 1);
    EXPECT_EQ(keys->size(), 1u);
    EXPECT_EQ(
        ov::hash_table::create_keys(8, nullptr, &ov_hash_equal_string, &ov_hash_copy_string, &free)
            .error(),
        std::errc::invalid_argument);
}

// ---- Lock files -------------------------------------------------------------------------------

using CxxLockFiles = TempDirTest;

TEST_F(CxxLockFiles, TheOwnerReleasesOnceAndOnlyItsOwnLock) {
    const std::string name = path("res");
    const std::string lock_path = name + ".lck";
    std::string record;
    {
        ov::lockfile lock;
        EXPECT_FALSE(lock.valid());
        ASSERT_FALSE(lock.acquire(name, 10));
        EXPECT_TRUE(lock.held());
        EXPECT_FALSE(lock.lost());
        EXPECT_EQ(lock.path(), lock_path);
        record = lock.record();
        EXPECT_EQ(read_all(lock_path), record);
        EXPECT_EQ(lock.acquire(name, 10), std::errc::invalid_argument);  // held already
        EXPECT_TRUE(lock.held());

        // Another contender is refused and learns who holds it.
        ov::lockfile other;
        const std::error_code busy = other.acquire(name, 10);
        EXPECT_TRUE(busy == ov::make_error_code(ELOCKED) || busy == std::errc::file_exists)
            << busy.message();
        EXPECT_FALSE(other.held());
        EXPECT_EQ(other.last_seen(), record);
        auto info = ov::lockfile_inspect(name, 10);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->state, OV_LOCKFILE_HELD);

        // A moved-from owner releases nothing.
        ov::lockfile moved = std::move(lock);
        EXPECT_FALSE(lock.valid());
        EXPECT_FALSE(lock.held());
        lock.reset();
        EXPECT_EQ(read_all(lock_path), record);
        EXPECT_TRUE(moved.held());
    }
    EXPECT_FALSE(ov_file_exists(lock_path.c_str(), 0));

    // unlock() keeps the record for the next acquisition.
    ov::lockfile lock;
    ASSERT_FALSE(lock.acquire(name, 10));
    EXPECT_FALSE(lock.unlock());
    EXPECT_FALSE(lock.held());
    EXPECT_TRUE(lock.valid());
    EXPECT_FALSE(ov_file_exists(lock_path.c_str(), 0));
    ASSERT_FALSE(lock.acquire(name, 10));
    EXPECT_NE(lock.record(), record);  // a fresh identifier

    // release() hands the held lock to the caller.
    ov_lockfile_t *kept = lock.release();
    lock.reset();
    EXPECT_TRUE(ov_file_exists(lock_path.c_str(), 0));
    EXPECT_EQ(ov_lockfile_release(kept), 0);
    std::free(kept);
    EXPECT_FALSE(ov_file_exists(lock_path.c_str(), 0));
    EXPECT_EQ(ov::lockfile_message(ov::make_error_code(ENOSPC)), "out of disk space");
}

TEST_F(CxxLockFiles, TheDestructorStopsTheKeepAliveWorker) {
    const std::string name = path("res");
    {
        ov::lockfile lock;
        ASSERT_FALSE(lock.acquire_continuous(name, 10));
        EXPECT_TRUE(lock.get()->worker_running);
        EXPECT_EQ(lock.start_worker(), std::errc::invalid_argument);  // runs already
        EXPECT_EQ(lock.acquire(name, 10), std::errc::invalid_argument);
    }
    EXPECT_FALSE(ov_file_exists((name + ".lck").c_str(), 0));

    ov::lockfile lock;
    ASSERT_FALSE(lock.acquire(name, 10));
    ASSERT_FALSE(lock.start_worker());
    ov::lockfile moved = std::move(lock);  // the record stays where the worker uses it
    EXPECT_TRUE(moved.get()->worker_running);
    EXPECT_FALSE(moved.unlock());
    EXPECT_FALSE(moved.get()->worker_running);
    EXPECT_FALSE(ov_file_exists((name + ".lck").c_str(), 0));
}

// ---- Threads and synchronisation --------------------------------------------------------------

TEST(CxxThreads, TheDestructorJoinsAndReleaseLeavesTheJoin) {
    std::atomic<bool> done{false};
    {
        auto t = ov::thread::spawn([&done] {
            (void)ov_thread_sleep_ms(50);
            done.store(true);
        });
        ASSERT_TRUE(t) << t.error().message();
        ov::thread moved = std::move(*t);
        EXPECT_EQ(t->get(), ov_thread_t{});
        EXPECT_EQ(t->join(), std::errc::no_such_process);  // nothing to join
    }
    EXPECT_TRUE(done.load());

    static std::atomic<int> runs{0};
    static int three = 3;
    auto c_thread = ov::thread::spawn(
        [](void *arg) -> void * {
            runs.fetch_add(*static_cast<int *>(arg));
            return nullptr;
        },
        &three);
    ASSERT_TRUE(c_thread);
    ov_thread_t raw = c_thread->release();
    EXPECT_FALSE(c_thread->valid());
    EXPECT_EQ(ov_thread_join(&raw), 0);  // joinable still: nobody joined it
    EXPECT_EQ(runs.load(), 3);
    EXPECT_EQ(ov::thread::spawn(nullptr, nullptr).error(), std::errc::invalid_argument);
}

TEST(CxxSync, MutexesAndTheirGuards) {
    ov::mutex m;
    {
        std::lock_guard<ov::mutex> guard(m);
        auto other = ov::thread::spawn([&m] { EXPECT_FALSE(m.try_lock()); });
        ASSERT_TRUE(other);
    }
    {
        ov::mutex_lock guard(m);
        ASSERT_TRUE(guard);
        auto other = ov::thread::spawn([&m] { EXPECT_FALSE(m.try_lock()); });
    }
    EXPECT_TRUE(m.try_lock());  // the guards unlocked
    EXPECT_FALSE(m.unlock());

    ov::mutex recursive(ov::mutex::kind::recursive);
    EXPECT_FALSE(recursive.lock());
    EXPECT_FALSE(recursive.lock());
    EXPECT_FALSE(recursive.unlock());
    EXPECT_FALSE(recursive.unlock());

    auto heap = ov::unique_mutex::create();
    ASSERT_TRUE(heap);
    ov::unique_mutex moved = std::move(*heap);
    EXPECT_FALSE(heap->valid());
    {
        ov::mutex_lock guard(moved);
        auto other = ov::thread::spawn([&moved] { EXPECT_FALSE(moved.try_lock()); });
    }
    EXPECT_TRUE(moved.try_lock());
    EXPECT_FALSE(moved.unlock());
    ov_mutex_t *raw = moved.release();
    ov_mutex_free(&raw);
    EXPECT_EQ(raw, nullptr);
}

TEST(CxxSync, ConditionsSemaphoresAndReadWriteLocks) {
    ov::mutex m;
    ov::condition cond;
    EXPECT_FALSE(cond.valid());
    ASSERT_FALSE(cond.init(m));
    EXPECT_EQ(cond.init(m), std::errc::invalid_argument);
    bool ready = false;
    {
        ov::mutex_lock guard(m);
        EXPECT_EQ(cond.wait_ms(20), std::errc::timed_out);
        auto signaller = ov::thread::spawn([&] {
            ov::mutex_lock inner(m);
            ready = true;
            EXPECT_FALSE(cond.signal());
        });
        while (!ready) ASSERT_FALSE(cond.wait());
    }

    ov::semaphore sem;
    ASSERT_FALSE(sem.init(1));
    EXPECT_FALSE(sem.try_wait(0));
    EXPECT_EQ(sem.try_wait(0), std::errc::resource_unavailable_try_again);
    EXPECT_FALSE(sem.post());
    EXPECT_FALSE(sem.wait());

    auto heap_sem = ov::unique_semaphore::create(0);
    ASSERT_TRUE(heap_sem);
    EXPECT_EQ(heap_sem->try_wait(0), std::errc::resource_unavailable_try_again);
    EXPECT_FALSE(heap_sem->post());
    EXPECT_FALSE(heap_sem->try_wait(0));

    auto lock = ov::rwlock::create();
    ASSERT_TRUE(lock);
    {
        ov::read_lock first(*lock);
        ov::read_lock second(lock->get());  // readers share
        EXPECT_TRUE(first && second);
    }
    {
        ov::write_lock writer(*lock);
        EXPECT_FALSE(writer.error());
    }
    { std::shared_lock<ov::rwlock> reader(*lock); }
    // Only when every guard above has unlocked can another thread write.
    auto writer = ov::thread::spawn([&lock] { std::unique_lock<ov::rwlock> exclusive(*lock); });
    ASSERT_TRUE(writer);
    EXPECT_FALSE(writer->join());
}

using CxxIpcSemaphore = TempDirTest;

TEST_F(CxxIpcSemaphore, ClosingLeavesItAndRemoveTakesItAway) {
    const std::string name = path("sem");
    write_file(name, "");
    int32_t id = -1;
    {
        ov::ipc_semaphore sem;
        EXPECT_FALSE(sem.valid());
        ASSERT_FALSE(sem.open(name));
        id = sem.get();
        EXPECT_GE(id, 0);
        EXPECT_FALSE(sem.lock());
        EXPECT_FALSE(sem.try_lock());  // a two-state lock, whoever holds it
        EXPECT_FALSE(sem.unlock());
    }
    ov::ipc_semaphore again;
    ASSERT_FALSE(again.open(name));
    EXPECT_EQ(again.get(), id);  // closing left it in the system
    EXPECT_FALSE(again.remove());
    EXPECT_FALSE(again.valid());
    EXPECT_NE(ov_ipc_sem_lock(id), 0);  // gone
}

// ---- Time -------------------------------------------------------------------------------------

int32_t fake_clock(uint64_t context, uint64_t *usec) {
    *usec = *reinterpret_cast<const uint64_t *>(context);
    return 0;
}

TEST(CxxTime, Stopwatches) {
    uint64_t now = 1000;
    auto sw = ov::stopwatch::create(reinterpret_cast<uint64_t>(&now), &fake_clock);
    ASSERT_TRUE(sw);
    EXPECT_EQ(*sw->start(), 1000u);
    now = 1250;
    EXPECT_EQ(*sw->stop(), 250u);
    EXPECT_EQ(*sw->count(), 1u);
    EXPECT_EQ(sw->stop().error(), std::errc::invalid_argument);  // not running
    ov::stopwatch moved = std::move(*sw);
    EXPECT_FALSE(sw->valid());
    EXPECT_EQ(sw->count().error(), std::errc::invalid_argument);  // cleared
    EXPECT_EQ(*moved.elapsed(), 250u);
    ov_stopwatch_t record = moved.release();
    EXPECT_EQ(record.state, OV_STOPWATCH_STOPPED);
    EXPECT_FALSE(moved.valid());

    auto plain = ov::stopwatch::create();
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->start().error());

    auto set = ov::concurrent_stopwatch::create(2);
    ASSERT_TRUE(set);
    EXPECT_FALSE(set->start());
    EXPECT_FALSE(set->start());
    EXPECT_EQ(set->start(), std::errc::invalid_argument);
    EXPECT_EQ(set->depth(), 2u);
    EXPECT_FALSE(set->stop());
    auto stats = set->stats();
    ASSERT_TRUE(stats);
    ASSERT_EQ(stats->size(), 2u);
    EXPECT_EQ((*stats)[0].count, 1u);
    EXPECT_EQ(ov::concurrent_stopwatch::create(0).error(), std::errc::invalid_argument);
    auto driven =
        ov::concurrent_stopwatch::create(1, reinterpret_cast<uint64_t>(&now), &fake_clock);
    ASSERT_TRUE(driven);
    EXPECT_FALSE(driven->start());
    now += 40;
    EXPECT_FALSE(driven->stop());
    EXPECT_EQ((*driven->stats())[0].elapsed, 40u);
}

// ---- Processes and process-wide set-up ---------------------------------------------------------

TEST(CxxProcesses, ChildrenAreCollectedExactlyOnce) {
    pid_t pid = 0;
    {
        auto child = ov::child_process::start("sleep", {"30"});
        ASSERT_TRUE(child) << child.error().message();
        pid = child->pid();
        ASSERT_TRUE(process_exists(pid));
        ov::child_process moved = std::move(*child);
        EXPECT_FALSE(child->valid());
        child->reset();  // a moved-from owner ends nothing
        EXPECT_TRUE(process_exists(pid));
    }
    EXPECT_FALSE(process_exists(pid));  // ended and collected: not even a zombie

    auto exits = ov::child_process::start_shell("exit 7");
    ASSERT_TRUE(exits);
    auto status = exits->wait(10000);
    ASSERT_TRUE(status) << status.error().message();
    EXPECT_EQ(*status, 7);
    EXPECT_FALSE(exits->valid());

    auto sleeper = ov::child_process::start("sleep", {"30"});
    ASSERT_TRUE(sleeper);
    EXPECT_EQ(sleeper->wait(10).error(), std::errc::timed_out);
    EXPECT_TRUE(sleeper->valid());  // still running, still owned
    pid = sleeper->release();
    EXPECT_TRUE(process_exists(pid));
    EXPECT_EQ(ov_platform_process_terminate(pid), 0);
    int32_t code = 0;
    EXPECT_EQ(ov_platform_process_wait(pid, 10000, &code), 0);
    EXPECT_EQ(code, -1);
}

TEST(CxxProcesses, PipesAndAChildThatIgnoresTerm) {
    char *const echo_args[] = {const_cast<char *>("-c"), const_cast<char *>("echo hello")};
    ov::spawn_options options;
    options.pipe_out = true;
    auto echo = ov::child_process::spawn("sh", echo_args, 2, options);
    ASSERT_TRUE(echo) << echo.error().message();
    std::array<char, 16> text{};
    auto n = echo->out().read(text);
    ASSERT_TRUE(n);
    EXPECT_EQ(std::string_view(text.data(), *n), "hello\n");
    EXPECT_EQ(*echo->wait(10000), 0);

    char *const stubborn_args[] = {const_cast<char *>("-c"),
                                   const_cast<char *>("trap '' TERM; echo ready; exec sleep 30")};
    auto stubborn = ov::child_process::spawn("sh", stubborn_args, 2, options);
    ASSERT_TRUE(stubborn);
    n = stubborn->out().read(text);  // SIGTERM is ignored from here on
    ASSERT_TRUE(n);
    ASSERT_EQ(std::string_view(text.data(), *n), "ready\n");
    const pid_t pid = stubborn->pid();
    const auto start = std::chrono::steady_clock::now();
    stubborn = ov::result<ov::child_process>(ov::child_process());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(process_exists(pid));
    EXPECT_GE(took, std::chrono::milliseconds(2500));  // the grace period, then SIGKILL
}

using CxxProcessFiles = TempDirTest;

TEST_F(CxxProcessFiles, PidFilesAreRemovedOnce) {
    ASSERT_EQ(ov_dir_create(path("var/run/orvane").c_str(), 0755, 1), 0);
    std::string file;
    {
        auto pf = ov::pidfile::create(dir_, "hpptest");
        ASSERT_TRUE(pf) << pf.error().message();
        file = pf->path();
        EXPECT_EQ(read_all(file), std::to_string(getpid()) + "\n");
    }
    EXPECT_FALSE(ov_file_exists(file.c_str(), 0));

    auto pf = ov::pidfile::create(dir_, "hpptest");
    ASSERT_TRUE(pf);
    char *kept = pf->release();
    pf->reset();
    EXPECT_TRUE(ov_file_exists(file.c_str(), 0));
    EXPECT_EQ(ov_pidfile_remove(&kept), 0);
    EXPECT_EQ(ov::pidfile::create(path("none"), "x").error(), std::errc::no_such_file_or_directory);
}

std::vector<std::string> g_logged;
void keep_message(uint32_t, const char *, int, const char *format, va_list args) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    g_logged.emplace_back(text);
}

TEST(CxxSetUp, LogSessionAndPlatformSession) {
    ASSERT_EQ(ov_log_kind(), OV_LOG_NONE);
    {
        auto session = ov::log_session::open_callback(&keep_message);
        ASSERT_TRUE(session) << session.error().message();
        EXPECT_EQ(ov_log_kind(), OV_LOG_CALLBACK);
        // Someone else's session would close this one's destination.
        EXPECT_EQ(ov::log_session::open_callback(&keep_message).error(),
                  std::errc::connection_already_in_progress);
        const std::string text = "one line and more";
        ov::log_text(1, "test", 1, std::string_view(text).substr(0, 8));
        ov::log_text(1, "test", 2, "100% not a format");
        ov::log_session moved = std::move(*session);
        session->reset();
        EXPECT_EQ(ov_log_kind(), OV_LOG_CALLBACK);
    }
    EXPECT_EQ(ov_log_kind(), OV_LOG_NONE);
    EXPECT_EQ(g_logged, (std::vector<std::string>{"one line", "100% not a format"}));

    {
        ov::platform_session session = ov::platform_session::start();
        EXPECT_TRUE(session.valid());
    }
    EXPECT_EQ(ov_platform_fini(), EINVAL);  // counted down already
    {
        ov::platform_session session = ov::platform_session::start();
        EXPECT_TRUE(session.release());
    }
    EXPECT_EQ(ov_platform_fini(), 0);  // the released count was the caller's
}

// ---- Every create/destroy pair of the C API has its owner --------------------------------------

struct Declaration {
    std::string name;
    std::string comment;  // the comment above it (shared by a group)
};

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool is_ident(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// The functions a public header declares with OV_API, each with the last
// comment before it; preprocessor lines are skipped.
std::vector<Declaration> declarations(const std::string &text) {
    std::vector<Declaration> found;
    std::string comment;
    bool line_start = true;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 2, "/*") == 0) {
            const std::size_t end = text.find("*/", i + 2);
            comment = text.substr(i, end - i);
            i = end + 2;
            continue;
        }
        const char c = text[i];
        if (c == '#' && line_start) {
            while (i < text.size() && !(text[i] == '\n' && text[i - 1] != '\\')) ++i;
            continue;
        }
        if (text.compare(i, 6, "OV_API") == 0 && (i == 0 || !is_ident(text[i - 1]))) {
            const std::size_t paren = text.find('(', i);
            std::size_t end = paren;
            while (end > i && text[end - 1] == ' ') --end;
            std::size_t begin = end;
            while (begin > i && is_ident(text[begin - 1])) --begin;
            found.push_back({text.substr(begin, end - begin), comment});
            i = text.find(';', paren);
            line_start = false;
            continue;
        }
        if (c == '\n') {
            line_start = true;
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            line_start = false;
        }
        ++i;
    }
    return found;
}

// The header's code without its comments, so that a name mentioned only in
// documentation does not count.
std::string code_of(const std::string &text) {
    std::string code;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, 2, "/*") == 0) {
            i = text.find("*/", i + 2) + 2;
        } else if (text.compare(i, 2, "//") == 0) {
            i = text.find('\n', i);
        } else {
            code += text[i++];
        }
    }
    return code;
}

bool mentions(const std::string &code, const std::string &name) {
    for (std::size_t at = code.find(name); at != std::string::npos; at = code.find(name, at + 1)) {
        const bool before = at > 0 && is_ident(code[at - 1]);
        const bool after = at + name.size() < code.size() && is_ident(code[at + name.size()]);
        if (!before && !after) return true;
    }
    return false;
}

std::vector<std::string> split_words(const std::string &name) {
    std::vector<std::string> words;
    std::stringstream in(name);
    for (std::string word; std::getline(in, word, '_');) words.push_back(word);
    return words;
}

TEST(CxxCoverage, EveryCreateDestroyPairHasItsOwner) {
    const std::string dir = OV_HPP_INCLUDE_DIR;
    const std::string code = code_of(read_file(dir + "/ovplatform.hpp"));
    ASSERT_GT(code.size(), 10000u) << "ovplatform.hpp not found in " << dir;

    std::vector<Declaration> all;
    std::set<std::string> names;
    DIR *d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    while (dirent *entry = readdir(d)) {
        const std::string file = entry->d_name;
        if (file.size() < 3 || file.compare(file.size() - 2, 2, ".h") != 0) continue;
        for (Declaration &decl : declarations(read_file(dir + "/" + file))) {
            names.insert(decl.name);
            all.push_back(std::move(decl));
        }
    }
    closedir(d);
    ASSERT_GT(all.size(), 300u) << "the declarations were not found";

    // Opening words and the closing words that end what they made.
    const std::map<std::string, std::vector<std::string>> closers = {
        {"create", {"free", "destroy", "remove"}},
        {"new", {"free"}},
        {"init", {"destroy", "fini", "clear"}},
        {"open", {"close"}},
        {"fopen", {"fclose"}},
        {"acquire", {"release"}},
        {"spawn", {"join"}},
        {"start", {"terminate"}},
        {"alloc", {"free"}},
        {"get", {"release"}},
        {"lock", {"unlock"}},
        {"trylock", {"unlock"}},
        {"rdlock", {"rdunlock"}},
        {"wrlock", {"wrunlock"}},
    };
    // Openers by name that need no owner of their own, and why.
    const std::map<std::string, std::string> not_openers = {
        // They make a directory on disk, which ov_dir_remove removes: no
        // handle, and the directory stays the caller's business.
        {"ov_dir_create", "a directory on disk"},
        {"ov_dir_create_cb", "a directory on disk"},
        {"ov_dir_create_recursive_cb", "a directory on disk"},
        // The failure path of the inline lock, which the lock calls make.
        {"ov_mutex_acquire_failed", "not a lock"},
        // Makes the table ov_hash_create makes, without an error code.
        {"ov_hash_new", "ov::hash_table::create calls ov_hash_create"},
    };

    std::vector<std::pair<std::string, std::string>> pairs;
    for (const std::string &name : names) {
        if (not_openers.count(name)) continue;
        // NAME and NAME_free: lists the library allocates.
        if (names.count(name + "_free")) pairs.emplace_back(name, name + "_free");
        const std::vector<std::string> words = split_words(name);
        for (std::size_t w = 1; w < words.size(); ++w) {
            auto verb = closers.find(words[w]);
            if (verb == closers.end()) continue;
            std::string prefix = words[0];
            for (std::size_t p = 1; p < w; ++p) prefix += "_" + words[p];
            // The first closer that exists, in the order listed: create's
            // partner is free where there is one (ov_mutex_create and
            // ov_mutex_free), destroy or remove where not.
            for (const std::string &closer : verb->second) {
                if (names.count(prefix + "_" + closer)) {
                    pairs.emplace_back(name, prefix + "_" + closer);
                    break;
                }
            }
        }
    }
    EXPECT_GE(pairs.size(), 30u) << "fewer pairs than the C API has";

    std::vector<std::string> missing;
    for (const auto &[opener, closer] : pairs) {
        if (!mentions(code, opener) || !mentions(code, closer)) {
            missing.push_back(opener + " / " + closer);
        }
    }
    // Calls documented as handing out memory for the caller to free, and
    // the growable (_alloc) and copying (_dup) string calls. A variadic
    // call counts as wrapped through its va_list twin.
    std::string allocating;
    for (const Declaration &decl : all) {
        // The comment as one line, its line breaks and leading stars gone.
        std::string c;
        for (std::size_t i = 0; i < decl.comment.size(); ++i) {
            if (decl.comment[i] != '\n') {
                c += decl.comment[i];
                continue;
            }
            while (i + 1 < decl.comment.size() &&
                   (decl.comment[i + 1] == ' ' || decl.comment[i + 1] == '*')) {
                ++i;
            }
            c += ' ';
        }
        const bool allocates = c.find("free() it") != std::string::npos ||
                               c.find("to free()") != std::string::npos ||
                               c.find("freed with free()") != std::string::npos ||
                               c.find("free it with") != std::string::npos ||
                               c.find("freed with ov_") != std::string::npos ||
                               c.find("free the list with") != std::string::npos ||
                               c.find("free the block with") != std::string::npos;
        const std::vector<std::string> words = split_words(decl.name);
        const bool alloc_name = words.back() == "alloc" || words.back() == "dup";
        if (!allocates && !alloc_name) continue;
        allocating += " " + decl.name;
        std::string twin = decl.name;
        if (const std::size_t at = twin.find("printf"); at != std::string::npos)
            twin.insert(at, "v");
        if (!mentions(code, decl.name) && !mentions(code, twin)) {
            missing.push_back(decl.name + " (allocates)");
        }
    }
    std::string list;
    for (const auto &[opener, closer] : pairs) list += "  " + opener + " / " + closer + "\n";
    std::printf("%zu pairs of the C API:\n%sallocating calls:%s\n", pairs.size(), list.c_str(),
                allocating.c_str());
    std::string absent;
    for (const std::string &entry : missing) absent += "  " + entry + "\n";
    EXPECT_TRUE(missing.empty()) << "without an owner in ovplatform.hpp:\n" << absent;
}

}  // namespace
