// ovstring_convert_test.cpp - numbers from text, hexadecimal, Base64, wildcards and tokenizers.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ovsupport/sanitizers.h"
#include "ovsupport/wildcard_reference.h"
#include "test_util.h"

// In plain builds the test program's malloc and free stand in front of the
// C library's, for the whole program and the library under test: a test can
// make the nth allocation of this thread from now fail, and count the blocks
// allocated and not freed meanwhile. Sanitizer builds keep their own
// allocator, and the tests that need this are skipped there.
#ifndef OV_TEST_SANITIZED
thread_local long t_fail_in = 0;  // 0: no failure armed
thread_local bool t_tracking = false;
thread_local long t_live = 0;

extern "C" void *__libc_malloc(size_t);
extern "C" void __libc_free(void *);

extern "C" void *malloc(size_t size) {
    if (t_fail_in > 0 && --t_fail_in == 0) return nullptr;
    void *block = __libc_malloc(size);
    if (t_tracking && block != nullptr) ++t_live;
    return block;
}
extern "C" void free(void *block) {
    if (t_tracking && block != nullptr) --t_live;
    __libc_free(block);
}
#endif

namespace {

using ovtest::LogCapture;

constexpr char kSource[] = "base/ovplatform/src/ovstring";

// ---- Numbers ----------------------------------------------------------------------------------

struct SizeCase {
    const char *text;
    int32_t rc;
    uint64_t value;
};

TEST(StrToSize, SuffixesLimitsAndWhatEndsTheNumber) {
    const SizeCase cases[] = {
        {"0", 0, 0},
        {"10K", 0, 10240},
        {"10k", 0, 10240},
        {"3m", 0, 3ULL << 20},
        {"2G", 0, 2ULL << 30},
        {"5t", 0, 5ULL << 40},
        {"9P", 0, 9ULL << 50},
        {"7E", 0, 8070450532247928832ULL},
        {"8E", ERANGE, 0},
        {"9007199254740991K", 0, 9007199254740991ULL << 10},
        {"9007199254740992K", ERANGE, 0},
        {"8796093022207M", 0, 8796093022207ULL << 20},
        {"8796093022208m", ERANGE, 0},
        {"8589934591G", 0, 8589934591ULL << 30},
        {"8589934592G", ERANGE, 0},
        {"8388607T", 0, 8388607ULL << 40},
        {"8388608T", ERANGE, 0},
        {"8191P", 0, 8191ULL << 50},
        {"8192P", ERANGE, 0},
        {"12 x", 0, 12},
        {"12\tjunk", 0, 12},
        {"12X", EINVAL, 0},
        {"12.5", EINVAL, 0},
        {"1KB", 0, 1024},  // nothing after the suffix is examined
        {"9223372036854775807", 0, 9223372036854775807ULL},
        {"9223372036854775808", ERANGE, 0},
        {"18446744073709551616", ERANGE, 0},
        {"-1", ERANGE, 0},
        // A negative number is never taken for a huge size, whatever follows it.
        {"-1 ", ERANGE, 0},
        // No digit at all is no number.
        {"K", EINVAL, 0},
        {" ", EINVAL, 0},
        {"-", EINVAL, 0},
        {"", EINVAL, 0},
    };
    for (const SizeCase &c : cases) {
        SCOPED_TRACE(c.text);
        uint64_t out = 4242;
        EXPECT_EQ(ov_str_to_size(c.text, &out), c.rc);
        EXPECT_EQ(out, c.rc == 0 ? c.value : 4242u);
    }
    uint64_t out;
    EXPECT_EQ(ov_str_to_size(nullptr, &out), EINVAL);
    EXPECT_EQ(ov_str_to_size("1", nullptr), EINVAL);
}

struct IntCase {
    const char *text;
    int32_t rc;
    int64_t value;
    size_t end;  // offset of *end
};

TEST(StrToInt64, PrefixesSignsAndEnd) {
    const IntCase cases[] = {
        {"0x1F", 0, 31, 4},
        {"0X1f", 0, 31, 4},
        {"017", 0, 15, 3},
        {"%101", 0, 5, 4},
        {"-%101", 0, -5, 5},
        {"  \t-42", 0, -42, 6},
        {"12ab", 0, 12, 2},
        {"0", 0, 0, 1},
        {"0z", 0, 0, 1},
        {"-0", 0, 0, 2},
        {"0x", EINVAL, 0, 2},
        {"0xg", EINVAL, 0, 2},
        {"09", EINVAL, 0, 1},  // "0" and a digit is octal, and 9 is not an octal digit
        {"%2", EINVAL, 0, 1},
        {"+5", EINVAL, 0, 0},
        {"- 5", EINVAL, 0, 1},
        {"", EINVAL, 0, 0},
        {"   ", EINVAL, 0, 3},
        {"0778", 0, 077, 3},
        {"9223372036854775807", 0, INT64_MAX, 19},
        {"-9223372036854775808", 0, INT64_MIN, 20},
        {"9223372036854775808", ERANGE, 0, 19},
        {"-9223372036854775809", ERANGE, 0, 19},
        {"0x7fffffffffffffff", 0, INT64_MAX, 18},
        {"-0x8000000000000000", 0, INT64_MIN, 19},
        {"0x8000000000000000", ERANGE, 0, 18},
        // Overflow points at the digit that did not fit.
        {"0x10000000000000000", ERANGE, 0, 18},
        {"99999999999999999999", ERANGE, 0, 18},
        {"00000000000000000000000000001", 0, 1, 29},
    };
    for (const IntCase &c : cases) {
        SCOPED_TRACE(c.text);
        int64_t out = 4242;
        char *end = nullptr;
        EXPECT_EQ(ov_str_to_int64(c.text, &out, &end), c.rc);
        EXPECT_EQ(out, c.rc == 0 ? c.value : 4242);
        EXPECT_EQ(end, c.text + c.end);
        // The end out may be null.
        EXPECT_EQ(ov_str_to_int64(c.text, &out, nullptr), c.rc);
    }
    // Binary reaches -2^63 as well, and no further.
    std::string min_binary = "-%1";
    min_binary.append(63, '0');
    int64_t out = 0;
    ASSERT_OV_OK(ov_str_to_int64(min_binary.c_str(), &out, nullptr));
    EXPECT_EQ(out, INT64_MIN);
    min_binary += '0';
    EXPECT_EQ(ov_str_to_int64(min_binary.c_str(), &out, nullptr), ERANGE);
}

TEST(StrToInt64, NarrowFormsAndValues) {
    int32_t i32 = 7;
    uint32_t u32 = 7;
    char *end = nullptr;
    const char *big = "2147483648";
    EXPECT_EQ(ov_str_to_int32(big, &i32, &end), ERANGE);
    EXPECT_EQ(i32, 7);
    EXPECT_EQ(end, big + 10);
    EXPECT_OV_OK(ov_str_to_int32("-2147483648", &i32, nullptr));
    EXPECT_EQ(i32, INT32_MIN);
    EXPECT_EQ(ov_str_to_int32("0x", &i32, nullptr), EINVAL);
    EXPECT_OV_OK(ov_str_to_uint32("4294967295", &u32, nullptr));
    EXPECT_EQ(u32, 4294967295u);
    EXPECT_EQ(ov_str_to_uint32("4294967296", &u32, nullptr), ERANGE);
    EXPECT_EQ(ov_str_to_uint32("-1", &u32, nullptr), ERANGE);
    EXPECT_EQ(u32, 4294967295u);

    EXPECT_EQ(ov_str_int64_value("0x10"), 16);
    EXPECT_EQ(ov_str_int64_value("9223372036854775808"), 0);
    EXPECT_EQ(ov_str_int64_value("x"), 0);
    EXPECT_EQ(ov_str_int32_value("-017"), -15);
    EXPECT_EQ(ov_str_int32_value("2147483648"), 0);
    EXPECT_EQ(ov_str_int64_value(nullptr), 0);
}

TEST(StrNumbers, CLibraryWrappersAndNumberToText) {
    EXPECT_EQ(ov_str_atoi(" -12x"), -12);
    EXPECT_EQ(ov_str_atol("123456789"), 123456789L);
    EXPECT_EQ(ov_str_atoll("-9223372036854775807"), -9223372036854775807LL);
    EXPECT_DOUBLE_EQ(ov_str_atof("2.5e3"), 2500.0);
    EXPECT_EQ(ov_str_atoi(nullptr), 0);
    EXPECT_EQ(ov_str_atof(nullptr), 0.0);

    char buf[320];
    EXPECT_STREQ(ov_str_from_int(INT_MIN, buf), "-2147483648");
    EXPECT_STREQ(ov_str_from_uint(UINT_MAX, buf), "4294967295");
    EXPECT_STREQ(ov_str_from_int64(INT64_MIN, buf), "-9223372036854775808");
    EXPECT_STREQ(ov_str_from_uint64(UINT64_MAX, buf), "18446744073709551615");
    EXPECT_STREQ(ov_str_from_double(1.5, buf), "1.500000");
    // The longest "%f" form fits the size the header gives.
    EXPECT_EQ(std::strlen(ov_str_from_double(-1.7976931348623157e308, buf)), 317u);
    EXPECT_EQ(ov_str_from_int(1, nullptr), nullptr);
}

// ---- Hexadecimal ------------------------------------------------------------------------------

TEST(StrHex, EncodeSizesAndDigits) {
    const unsigned char data[] = {0x01, 0xAB, 0x00, 0xFF};
    char buf[9];
    EXPECT_EQ(ov_str_hex_encode(data, 4, buf, 8), EBUFFER);
    ASSERT_OV_OK(ov_str_hex_encode(data, 4, buf, 9));
    EXPECT_STREQ(buf, "01AB00FF");
    ASSERT_OV_OK(ov_str_hex_encode(data, 0, buf, 1));
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(ov_str_hex_encode(data, 0, buf, 0), EBUFFER);
    // 2 * length + 1 wraps for this length; the buffer is still too small.
    EXPECT_EQ(ov_str_hex_encode(data, SIZE_MAX / 2 + 1, buf, 9), EBUFFER);
    EXPECT_EQ(ov_str_hex_encode(nullptr, 1, buf, 9), EINVAL);
    EXPECT_EQ(ov_str_hex_encode(data, 1, nullptr, 9), EINVAL);
}

TEST(StrHex, DecodeLengthsSizesAndOutLength) {
    unsigned char buf[64];
    size_t n = 99;
    ASSERT_OV_OK(ov_str_hex_decode("01ab", SIZE_MAX, buf, sizeof buf, &n));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(buf[0], 0x01);
    EXPECT_EQ(buf[1], 0xAB);
    // The length given counts, not the terminator.
    ASSERT_OV_OK(ov_str_hex_decode("FFee99", 2, buf, 1, &n));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(buf[0], 0xFF);
    EXPECT_EQ(ov_str_hex_decode("abc", SIZE_MAX, buf, sizeof buf, &n), EINVAL);
    // The out length is there before the size check, to say what is needed.
    n = 0;
    std::memset(buf, 0x55, sizeof buf);
    EXPECT_EQ(ov_str_hex_decode("00112233", SIZE_MAX, buf, 3, &n), EBUFFER);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(buf[0], 0x55);
    ASSERT_OV_OK(ov_str_hex_decode("", SIZE_MAX, nullptr, 0, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ov_str_hex_decode(nullptr, 2, buf, 1, &n), EINVAL);
    // A long text goes through the eight-pair steps and the pair tail.
    std::string text;
    for (int i = 0; i < 37; ++i) {
        text += "0123456789abcdefABCDEF"[i % 22];
        text += "fedcba9876543210"[i % 16];
    }
    unsigned char want[37];
    for (int i = 0; i < 37; ++i)
        want[i] =
            static_cast<unsigned char>(std::strtoul(text.substr(2 * i, 2).c_str(), nullptr, 16));
    ASSERT_OV_OK(ov_str_hex_decode(text.c_str(), text.size(), buf, 37, nullptr));
    EXPECT_EQ(std::memcmp(buf, want, 37), 0);
}

TEST(StrHex, BadDigitIsLoggedAndTheBytesBeforeItStay) {
    LogCapture log;
    ASSERT_TRUE(log.ok());
    unsigned char buf[32];
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(ov_str_hex_decode("0G", SIZE_MAX, buf, sizeof buf, nullptr), EINVAL);
    EXPECT_EQ(log.count("Invalid char in hex string: 'G' (0x47)"), 1u);
    // The first bad character of the pair is the one shown; the pairs before
    // it are written, also when the bad pair lies in an eight-pair step.
    const std::string text =
        "1122334455667788"
        "99AABBCCDDEEFF"
        "x"
        "q";
    EXPECT_EQ(ov_str_hex_decode(text.c_str(), SIZE_MAX, buf, sizeof buf, nullptr), EINVAL);
    EXPECT_EQ(log.count("Invalid char in hex string: 'x' (0x78)"), 1u);
    const unsigned char want[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                  0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    EXPECT_EQ(std::memcmp(buf, want, sizeof want), 0);
    EXPECT_EQ(ov_str_hex_decode("a\x80", 2, buf, sizeof buf, nullptr), EINVAL);
    EXPECT_EQ(log.count("Invalid char in hex string: '\x80' (0xFFFFFF80)"), 1u);
    EXPECT_EQ(ov_str_hex_decode("0\0", 2, buf, sizeof buf, nullptr), EINVAL);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].level, 1u);
    EXPECT_EQ(lines[0].source, kSource);
}

// Bytes just outside each digit range, and with the high bit set, at every
// place of a text long enough for the wide steps and the pair loop.
TEST(StrHex, EveryNearMissIsFoundAtEveryPlace) {
    LogCapture log;
    const std::string good = "0123456789abcdefABCDEF0123456789aBcDeF0";  // 39: odd on purpose
    const std::string base = good + good.substr(0, 37);                  // 76 digits
    const char misses[] = {'/', ':', '@', 'G', '`', 'g', ' ', '\0', '\xb0', '\xc1', '\xe6'};
    unsigned char buf[38];
    for (size_t place = 0; place < base.size(); ++place) {
        for (char miss : misses) {
            std::string text = base;
            text[place] = miss;
            std::memset(buf, 0, sizeof buf);
            ASSERT_EQ(ov_str_hex_decode(text.data(), text.size(), buf, sizeof buf, nullptr), EINVAL)
                << place << " " << int(miss);
            for (size_t i = 0; i < place / 2; ++i)
                ASSERT_EQ(buf[i], std::stoi(base.substr(2 * i, 2), nullptr, 16)) << place;
        }
    }
    EXPECT_EQ(log.lines().size(), base.size() * sizeof misses);
}

// ---- Base64 -----------------------------------------------------------------------------------

std::string b64(const std::string &data) {
    std::vector<char> buf(4 * (data.size() / 3 + 1) + 1);
    size_t n = 0;
    EXPECT_OV_OK(ov_str_base64_encode(data.data(), data.size(), buf.data(), buf.size(), &n));
    EXPECT_EQ(n, std::strlen(buf.data()));
    return buf.data();
}

TEST(StrBase64, EncodeKnownTextsPaddingAndSizes) {
    EXPECT_EQ(b64("abc"), "YWJj");
    EXPECT_EQ(b64("ab"), "YWI=");
    EXPECT_EQ(b64("a"), "YQ==");
    EXPECT_EQ(b64("Many hands make light work."), "TWFueSBoYW5kcyBtYWtlIGxpZ2h0IHdvcmsu");
    EXPECT_EQ(b64(std::string("\xfb\xff\xbf\x00\x3e", 5)), "+/+/AD4=");
    char buf[8] = "zzzzzzz";
    size_t n = 7;
    EXPECT_EQ(ov_str_base64_encode("abc", 3, buf, 4, &n), EBUFFER);
    EXPECT_EQ(n, 7u);
    EXPECT_OV_OK(ov_str_base64_encode_str("abc", 3, buf, 5));
    EXPECT_STREQ(buf, "YWJj");
    EXPECT_OV_OK(ov_str_base64_encode("", 0, buf, 1, &n));
    EXPECT_EQ(n, 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(ov_str_base64_encode("", 0, buf, 0, &n), EINVAL);
    // 4 * ((length + 2) / 3) wraps to 0 for this length.
    EXPECT_EQ(ov_str_base64_encode("abc", SIZE_MAX, buf, sizeof buf, &n), EBUFFER);
    EXPECT_EQ(ov_str_base64_encode(nullptr, 3, buf, sizeof buf, &n), EINVAL);
}

struct DecodeResult {
    int32_t rc;
    std::string bytes;
};

DecodeResult strict(const std::string &text, size_t size) {
    std::vector<char> buf(size + 1, '\x55');
    size_t n = 12345;
    const int32_t rc = ov_str_base64_to_buf(text.data(), text.size(), buf.data(), size, &n);
    return {rc, rc == 0 ? std::string(buf.data(), n) : std::string()};
}

TEST(StrBase64, StrictDecoderSizesPaddingAndWhiteSpace) {
    EXPECT_EQ(strict("YWI=", 4).bytes, "ab");
    EXPECT_EQ(strict("YWI=", 3).rc, EBUFFER);  // one byte more than the largest result
    EXPECT_EQ(strict("YW\nI=", 4).bytes, "ab");
    EXPECT_EQ(strict(" Y W\tJ j\r\n", 4).bytes, "abc");
    EXPECT_EQ(strict("YWJj", 4).bytes, "abc");
    EXPECT_EQ(strict("YWJj", 3).rc, EBUFFER);
    EXPECT_EQ(strict("YQ==", 4).bytes, "a");
    EXPECT_EQ(strict("TWFueSBoYW5kcyBtYWtlIGxpZ2h0IHdvcmsu", 28).bytes,
              "Many hands make light work.");
    EXPECT_EQ(strict("YWJ", 4).rc, EINVAL);
    EXPECT_EQ(strict("YWJjY", 8).rc, EINVAL);
    EXPECT_EQ(strict("Y===", 4).rc, EINVAL);
    // A group that starts with "=" ends the text; the rest is not read.
    EXPECT_EQ(strict("YWJj====YWJj", 10).bytes, "abc");
    // Characters after a padded group are decoded as a new group.
    EXPECT_EQ(strict("YQ==YWJj", 7).bytes, "aabc");
    // "=" as a group's third character ends the group at one byte.
    EXPECT_EQ(strict("YQ=j", 4).bytes, "a");
    // Empty and white-space-only texts decode to nothing.
    EXPECT_EQ(strict("", 0).rc, 0);
    EXPECT_EQ(strict(" \n", 0).rc, 0);
    EXPECT_EQ(ov_str_base64_to_buf(nullptr, 4, nullptr, 0, nullptr), EINVAL);
}

TEST(StrBase64, StrictDecoderRejectsIllegalBytesWithALogLine) {
    LogCapture log;
    ASSERT_TRUE(log.ok());
    EXPECT_EQ(strict("YW*=", 4).rc, EINVAL);
    EXPECT_EQ(log.count("ov_str_base64_to_buf(): illegal input char *"), 1u);
    // "-" and "_" belong to the other alphabet.
    EXPECT_EQ(strict("YW-_", 4).rc, EINVAL);
    EXPECT_EQ(log.count("ov_str_base64_to_buf(): illegal input char -"), 1u);
    // A NUL inside the text is an illegal byte, not its end.
    EXPECT_EQ(strict(std::string("YW\0=", 4), 4).rc, EINVAL);
    EXPECT_EQ(strict(std::string("YWJj\0\0\0\0", 8), 8).rc, EINVAL);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].text, "ov_str_base64_to_buf(): illegal input char ");
    EXPECT_EQ(lines[0].level, 1u);
    EXPECT_EQ(lines[0].source, kSource);
}

// In a child whose address space has room for the text but not for a copy
// of it, the strict decoder's scratch copy cannot be had.
int base64_copy_under_memory_limit() {
    const size_t size = 32u << 20;
    std::string text(size, 'A');
    text[1] = '\n';  // white space sends the text to the copy
    if (!ovtest::cap_address_space(16u << 20)) return 3;
    LogCapture log;
    static unsigned char out[16];
    const int32_t rc = ov_str_base64_to_buf(text.data(), text.size(), out, sizeof out, nullptr);
    std::fprintf(stderr, "rc=%d\n", rc);
    return rc == ENOMEM && log.count("ov_str_base64_to_buf(): malloc failed") == 1 ? 0 : 1;
}

TEST(StrBase64DeathTest, ScratchCopyFailureIsLogged) {
    ovtest::ExpectOutOfMemoryHandled(base64_copy_under_memory_limit);
}

DecodeResult lenient(const std::string &text, size_t size) {
    std::vector<char> buf(size + 1, '\x55');
    size_t n = 12345;
    const int32_t rc = ov_str_base64_decode_lenient(text.data(), text.size(), buf.data(), size, &n);
    return {rc, rc == 0 ? std::string(buf.data(), n) : std::string()};
}

TEST(StrBase64, LenientDecoderSkipsWhatIsNotAlphabet) {
    EXPECT_EQ(lenient("Y*W!J j", 4).bytes, "abc");
    EXPECT_EQ(lenient("YWI", 3).bytes, "ab");
    EXPECT_EQ(lenient("Y=W=I", 3).bytes, "ab");  // padding is skipped too
    EXPECT_EQ(lenient("Y", 3).rc, EINVAL);
    EXPECT_EQ(lenient("YWJjY", 8).rc, EINVAL);
    EXPECT_EQ(lenient(std::string("YWJj\0YWJj", 9), 8).bytes, "abc");  // NUL ends the text
    EXPECT_EQ(lenient("YWJj", 3).bytes, "abc");
    // The first byte of a group needs a byte of room after it.
    EXPECT_EQ(lenient("YQ", 1).rc, EBUFFER);
    EXPECT_EQ(lenient("YWJjYQ", 4).rc, EBUFFER);
    // A group that finds the output exactly full has bytes to give: it is
    // an error, not a shorter result reported as complete.
    EXPECT_EQ(lenient("YWJjYWJj", 3).rc, EBUFFER);
    EXPECT_EQ(lenient("", 0).rc, 0);
    EXPECT_EQ(lenient("!!", 0).rc, 0);
}

TEST(StrBase64Url, EncodeSizesAndAlphabet) {
    EXPECT_EQ(ov_str_base64url_size(0), 1u);
    EXPECT_EQ(ov_str_base64url_size(1), 3u);
    EXPECT_EQ(ov_str_base64url_size(2), 4u);
    EXPECT_EQ(ov_str_base64url_size(3), 5u);
    EXPECT_EQ(ov_str_base64url_size(SIZE_MAX), SIZE_MAX);
    char buf[16];
    size_t n = 0;
    EXPECT_EQ(ov_str_base64url_encode("ab", 2, buf, 3, &n), EBUFFER);
    ASSERT_OV_OK(ov_str_base64url_encode("ab", 2, buf, 4, &n));
    EXPECT_STREQ(buf, "YWI");
    EXPECT_EQ(n, 3u);
    ASSERT_OV_OK(ov_str_base64url_encode_str("\xfb\xff\xbf\x00", 4, buf, 7));
    EXPECT_STREQ(buf, "-_-_AA");
    n = 5;
    ASSERT_OV_OK(ov_str_base64url_encode("", 0, buf, 1, &n));
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ov_str_base64url_encode("", 0, buf, 0, &n), EINVAL);
    EXPECT_EQ(ov_str_base64url_encode("abc", SIZE_MAX, buf, sizeof buf, &n), EBUFFER);
}

// The exact buffer sizes of the encoders, terminator included, in arithmetic
// that cannot wrap.
using WideSize = unsigned __int128;
WideSize exact_hex_size(size_t n) {
    return WideSize{n} * 2 + 1;
}
WideSize exact_base64_size(size_t n) {
    return (WideSize{n} + 2) / 3 * 4 + 1;
}
WideSize exact_base64url_size(size_t n) {
    const size_t rest = n % 3;
    return WideSize{n / 3} * 4 + (rest != 0 ? rest + 1 : 0) + 1;
}

// Every length within 64 of the last one whose exact size fits in size_t.
// ov_str_base64url_size gives the exact size, and SIZE_MAX once it does not
// fit; each encoder refuses a buffer one byte short of the exact size, or of
// SIZE_MAX bytes when the size does not fit, before it touches the data or
// the buffer.
TEST(StrEncodedSizes, ExactUpToTheLargestSizeThatFits) {
    struct Encoder {
        const char *name;
        WideSize (*exact)(size_t);
        int32_t (*encode)(const void *, size_t, char *, size_t);
        size_t around;
    };
    const Encoder encoders[] = {
        {"hex", exact_hex_size, ov_str_hex_encode, SIZE_MAX / 2},
        {"base64", exact_base64_size, ov_str_base64_encode_str, SIZE_MAX / 4 * 3},
        {"base64url", exact_base64url_size, ov_str_base64url_encode_str, SIZE_MAX / 4 * 3},
    };
    const char data[1] = {'a'};
    char buf[1] = {'x'};
    for (const Encoder &e : encoders) {
        int fitting = 0;
        int too_large = 0;
        for (size_t n = e.around - 64; n != e.around + 65; ++n) {
            const WideSize exact = e.exact(n);
            const bool fits = exact <= SIZE_MAX;
            (fits ? fitting : too_large) += 1;
            const size_t short_by_one = fits ? static_cast<size_t>(exact) - 1 : SIZE_MAX;
            ASSERT_EQ(e.encode(data, n, buf, short_by_one), EBUFFER) << e.name << " n=" << n;
            if (e.encode == ov_str_base64url_encode_str) {
                ASSERT_EQ(ov_str_base64url_size(n), fits ? static_cast<size_t>(exact) : SIZE_MAX)
                    << "n=" << n;
            }
        }
        // The window holds both sides of the limit.
        EXPECT_GT(fitting, 60) << e.name;
        EXPECT_GT(too_large, 60) << e.name;
    }
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(ov_str_base64url_size(SIZE_MAX / 4 * 3), SIZE_MAX - 2);
}

TEST(StrBase64Url, DecodeGroupsTailsAndErrors) {
    unsigned char buf[16];
    size_t n = 99;
    ASSERT_OV_OK(ov_str_base64url_decode("YWI", 3, buf, 3, &n));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(std::memcmp(buf, "ab", 2), 0);
    ASSERT_OV_OK(ov_str_base64url_decode("-_-_AA", 6, buf, 6, &n));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::memcmp(buf, "\xfb\xff\xbf\x00", 4), 0);
    ASSERT_OV_OK(ov_str_base64url_decode("YWJjZ", 5, buf, 6, &n));  // single leftover ignored
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(ov_str_base64url_decode("YWI", 3, buf, 2, &n), EBUFFER);
    EXPECT_EQ(ov_str_base64url_decode("Y", 1, buf, 3, &n), EINVAL);
    EXPECT_EQ(ov_str_base64url_decode("YWI=", 4, buf, 3, &n), EINVAL);
    EXPECT_EQ(ov_str_base64url_decode("YW+/", 4, buf, 3, &n), EINVAL);
    EXPECT_EQ(ov_str_base64url_decode("YWJjYW+", 7, buf, 6, &n), EINVAL);
    EXPECT_EQ(ov_str_base64url_decode(std::string("YW\0j", 4).c_str(), 4, buf, 3, &n), EINVAL);
    n = 9;
    ASSERT_OV_OK(ov_str_base64url_decode(nullptr, 0, nullptr, 0, &n));
    EXPECT_EQ(n, 0u);
}

TEST(StrBase64, RoundTripsOfEveryLengthAndByte) {
    std::string data;
    for (int i = 0; i < 300; ++i) data += static_cast<char>((i * 151 + 7) & 0xFF);
    for (size_t len = 0; len <= data.size(); len += (len < 40 ? 1 : 37)) {
        SCOPED_TRACE(len);
        const std::string in = data.substr(0, len);
        const std::string text = b64(in);
        // The strict decoder asks for a byte more than the largest result.
        EXPECT_EQ(strict(text, 3 * (text.size() / 4) + 1).bytes, in);
        EXPECT_EQ(lenient(text, len + 1).bytes, in);
        std::vector<char> url(ov_str_base64url_size(len));
        ASSERT_OV_OK(ov_str_base64url_encode_str(in.data(), len, url.data(), url.size()));
        std::vector<unsigned char> back(len + 3);
        size_t n = 0;
        ASSERT_OV_OK(ov_str_base64url_decode(url.data(), std::strlen(url.data()), back.data(),
                                             back.size(), &n));
        EXPECT_EQ(std::string(reinterpret_cast<char *>(back.data()), n), in);
        std::vector<char> hex(2 * len + 1);
        ASSERT_OV_OK(ov_str_hex_encode(in.data(), len, hex.data(), hex.size()));
        ASSERT_OV_OK(ov_str_hex_decode(hex.data(), SIZE_MAX, back.data(), len, &n));
        EXPECT_EQ(std::string(reinterpret_cast<char *>(back.data()), n), in);
    }
}

// ---- Wildcards --------------------------------------------------------------------------------

TEST(StrWildcard, KnownResultsAndQuirks) {
    struct Case {
        const char *pattern;
        const char *text;
        int result;
    } const cases[] = {
        {"a*c", "abbc", 0},
        {"a?c", "ac", 1},
        {"a*", "a", 0},
        {"a**", "a", 1},
        {"a**", "ab", 0},
        {"a\\*c", "a*c", 0},
        {"a\\*c", "abc", 1},
        {"*", "", 0},
        {"**", "", 1},
        {"", "", 0},
        {"", "a", 1},
        {"a\\", "a", 1},
        {"a\\", "a\\", 1},
        {"*\\", "x", 1},
        {"?", "", 1},
        {"A", "a", 1},
        {"\xe9*", "\xe9t\xe9", 0},
        {"*.txt", "a.b.txt", 0},
        {"*a*b", "aaab", 0},
        {"*a*b", "aaa", 1},
        {"a*b*c", "abxbxc", 0},
        {"\\?", "x", 1},
    };
    for (const Case &c : cases) {
        std::string trace = c.pattern;
        trace.append(" / ").append(c.text);
        SCOPED_TRACE(trace);
        EXPECT_EQ(ov_str_wildcard_match(c.pattern, c.text), c.result);
        EXPECT_EQ(ovsupport::wildcard::match(c.pattern, c.text), c.result);
    }
    EXPECT_EQ(ov_str_wildcard_match(nullptr, "a"), 1);
    EXPECT_EQ(ov_str_wildcard_match("a", nullptr), 1);
}

// Every pattern of up to five elements from a small alphabet against every
// text of up to four bytes, compared with the recursion.
TEST(StrWildcard, EqualsTheRecursionOnAllShortInputs) {
    const char pattern_bytes[] = {'a', 'b', '*', '?', '\\'};
    const char text_bytes[] = {'a', 'b', '*'};
    std::vector<std::string> patterns{""}, texts{""};
    for (size_t start = 0; patterns.back().size() < 5;) {
        const size_t end = patterns.size();
        for (size_t i = start; i < end; ++i)
            for (char c : pattern_bytes) patterns.push_back(patterns[i] + c);
        start = end;
    }
    for (size_t start = 0; texts.back().size() < 4;) {
        const size_t end = texts.size();
        for (size_t i = start; i < end; ++i)
            for (char c : text_bytes) texts.push_back(texts[i] + c);
        start = end;
    }
    size_t differences = 0;
    for (const std::string &p : patterns) {
        for (const std::string &t : texts) {
            if (ov_str_wildcard_match(p.c_str(), t.c_str()) !=
                    ovsupport::wildcard::match(p.c_str(), t.c_str()) &&
                ++differences <= 5) {
                ADD_FAILURE() << "pattern '" << p << "' text '" << t << "'";
            }
        }
    }
    EXPECT_EQ(differences, 0u);
}

TEST(StrWildcard, ManyStarsAgainstALongTextFinish) {
    // The recursion would try every place for each of the eight stars.
    const std::string text(10000, 'a');
    EXPECT_EQ(ov_str_wildcard_match("*a*a*a*a*a*a*a*a*b", text.c_str()), 1);
    EXPECT_EQ(ov_str_wildcard_match("*a*a*a*a*a*a*a*a*a", text.c_str()), 0);
    EXPECT_EQ(ov_str_wildcard_match("*a*a*a*a*a*a*a*a*\\", text.c_str()), 1);
}

TEST(StrWildcard, HasWildcard) {
    EXPECT_EQ(ov_str_has_wildcard("abc"), 0);
    EXPECT_EQ(ov_str_has_wildcard("a*"), 1);
    EXPECT_EQ(ov_str_has_wildcard("?"), 1);
    EXPECT_EQ(ov_str_has_wildcard("a\\*b"), 0);
    EXPECT_EQ(ov_str_has_wildcard("a\\\\*"), 1);
    EXPECT_EQ(ov_str_has_wildcard("a\\"), 0);
    EXPECT_EQ(ov_str_has_wildcard("\\?x*"), 1);
    EXPECT_EQ(ov_str_has_wildcard(nullptr), 0);
}

// ---- Tokenizers -------------------------------------------------------------------------------

struct Tokens {
    int32_t rc;
    std::vector<std::string> tokens;
    bool null_array;
};

Tokens tokenize(const char *line) {
    char **array = reinterpret_cast<char **>(0x1);
    int32_t count = -1;
    Tokens result{ov_str_tokenize(line, &array, &count), {}, array == nullptr};
    for (int32_t i = 0; i < count; ++i) result.tokens.emplace_back(array[i]);
    if (result.rc != 0) {
        EXPECT_EQ(count, 0);
    }
    ov_str_array_free(array);
    return result;
}

TEST(StrTokenize, QuotesBlanksAndAdjacentTokens) {
    using V = std::vector<std::string>;
    EXPECT_EQ(tokenize("cp \"my file\" 'x y'").tokens, (V{"cp", "my file", "x y"}));
    EXPECT_EQ(tokenize("  a   b  ").tokens, (V{"a", "b"}));
    EXPECT_EQ(tokenize("a\tb").tokens, (V{"a\tb"}));  // only the space separates
    EXPECT_EQ(tokenize("\"\" ''").tokens, (V{"", ""}));
    EXPECT_EQ(tokenize("\"a\"b").tokens, (V{"a", "b"}));
    EXPECT_EQ(tokenize("'a'\"b c\"'d'").tokens, (V{"a", "b c", "d"}));
    EXPECT_EQ(tokenize("it's x\"y").tokens, (V{"it's", "x\"y"}));
    EXPECT_EQ(tokenize("\"it's\" 'say \"hi\"'").tokens, (V{"it's", "say \"hi\""}));
    const Tokens blanks = tokenize("   ");
    EXPECT_EQ(blanks.rc, 0);
    EXPECT_TRUE(blanks.tokens.empty());
    EXPECT_TRUE(blanks.null_array);
    EXPECT_TRUE(tokenize("").null_array);
}

TEST(StrTokenize, UnclosedQuotesAndTheTokenLimit) {
    EXPECT_EQ(tokenize("a \"b c").rc, ETOKENIZER);
    EXPECT_EQ(tokenize("a b '").rc, ETOKENIZER);
    EXPECT_EQ(tokenize("'a\"").rc, ETOKENIZER);
    EXPECT_TRUE(tokenize("a 'b").null_array);
    std::string line;
    // Built by appending: GCC 12's optimiser warns about the literal-plus-string sums.
    for (int i = 0; i < 999; ++i) line.append("t").append(std::to_string(i)).append(" ");
    const Tokens most = tokenize(line.c_str());
    ASSERT_EQ(most.rc, 0);
    ASSERT_EQ(most.tokens.size(), 999u);
    EXPECT_EQ(most.tokens[998], "t998");
    line += "'last'";
    const Tokens over = tokenize(line.c_str());
    EXPECT_EQ(over.rc, ETOKENIZER);
    EXPECT_TRUE(over.null_array);
    char **array;
    int32_t count;
    EXPECT_EQ(ov_str_tokenize(nullptr, &array, &count), EINVAL);
    EXPECT_EQ(ov_str_tokenize("a", nullptr, &count), EINVAL);
    EXPECT_EQ(ov_str_tokenize("a", &array, nullptr), EINVAL);
}

// Each allocation of a tokenization failed in turn: ENOMEM, no array, a
// count of 0, and nothing left allocated.
TEST(StrTokenize, EachFailedAllocationLeavesNothing) {
#ifdef OV_TEST_SANITIZED
    GTEST_SKIP() << "allocations are failed through the test program's own malloc";
#else
    const char *line = "cp 'my file' \"x y\" z";
    long failures = 0;
    for (long n = 1;; ++n) {
        char **array = reinterpret_cast<char **>(0x1);
        int32_t count = -1;
        t_live = 0;
        t_tracking = true;
        t_fail_in = n;
        const int32_t rc = ov_str_tokenize(line, &array, &count);
        const bool failed = t_fail_in == 0;
        t_fail_in = 0;
        if (rc == 0) ov_str_array_free(array);
        t_tracking = false;
        EXPECT_EQ(t_live, 0) << "allocation " << n;
        if (!failed) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(count, 4);
            break;
        }
        ++failures;
        EXPECT_EQ(rc, ENOMEM) << "allocation " << n;
        EXPECT_EQ(array, nullptr) << "allocation " << n;
        EXPECT_EQ(count, 0) << "allocation " << n;
    }
    EXPECT_EQ(failures, 2);  // the block of tokens, then the array
#endif
}

TEST(StrSplitCommas, PiecesLimitsAndArguments) {
    char text[] = "a,,b";
    char *array[6];
    int32_t count = -1;
    ASSERT_OV_OK(ov_str_split_commas(text, array, 5, &count));
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(array[0], "a");
    EXPECT_STREQ(array[1], "b");
    char three[] = ",x,y,z,";
    ASSERT_OV_OK(ov_str_split_commas(three, array, 2, &count));  // array[0..2]
    EXPECT_EQ(count, 3);
    EXPECT_STREQ(array[2], "z");
    char four[] = "w,x,y,z";
    EXPECT_EQ(ov_str_split_commas(four, array, 2, &count), EBUFFER);
    EXPECT_EQ(count, 0);
    char empty[] = "";
    array[0] = empty;
    ASSERT_OV_OK(ov_str_split_commas(empty, array, 1, &count));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(array[0], nullptr);
    char commas[] = ",,,";
    ASSERT_OV_OK(ov_str_split_commas(commas, array, 1, &count));
    EXPECT_EQ(count, 0);
    char one[] = "a";
    EXPECT_EQ(ov_str_split_commas(one, array, 0, &count), EINVAL);
    EXPECT_EQ(ov_str_split_commas(nullptr, array, 1, &count), EINVAL);
    EXPECT_EQ(ov_str_split_commas(one, nullptr, 1, &count), EINVAL);
    EXPECT_EQ(ov_str_split_commas(one, array, 1, nullptr), EINVAL);
}

}  // namespace
