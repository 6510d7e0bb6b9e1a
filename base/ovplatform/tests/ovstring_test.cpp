// ovstring_test.cpp - bounded copy, append, formatting, growable buffers and
// the URL recognisers.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "test_util.h"

namespace {

// A buffer filled with a marker byte, so that writes past the terminator show.
template <size_t N>
struct Buf {
    char data[N];
    Buf() { std::memset(data, '#', N); }
    std::string str() const { return std::string(data); }
};

// ---- ov_str_to / ov_strn_to / ov_str_copy -----------------------------------

TEST(StrCopy, WholeTextFitsOrIsCutAtSizeMinusOne) {
    Buf<7> fits;
    EXPECT_EQ(ov_str_copy(fits.data, "abcdef", sizeof fits.data), 0);
    EXPECT_EQ(fits.str(), "abcdef");

    Buf<8> cut;
    EXPECT_EQ(ov_str_copy(cut.data, "abcdef", 4), EBUFFER);
    EXPECT_EQ(cut.str(), "abc");
    EXPECT_EQ(cut.data[4], '#');  // nothing written past size

    Buf<1> one;
    EXPECT_EQ(ov_str_copy(one.data, "", 1), 0);
    EXPECT_EQ(one.data[0], '\0');
    EXPECT_EQ(ov_str_copy(one.data, "x", 1), EBUFFER);
    EXPECT_EQ(one.data[0], '\0');
}

TEST(StrCopy, PositionAssemblesPiecesAndStopsAtTheCut) {
    char buf[8] = "abc";
    size_t pos = 3;
    EXPECT_EQ(ov_str_to(buf, "defgh", sizeof buf, &pos), EBUFFER);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(pos, 7u);

    char b2[16];
    size_t p2 = 0;
    EXPECT_EQ(ov_str_to(b2, "ab", sizeof b2, &p2), 0);
    EXPECT_EQ(ov_str_to(b2, "", sizeof b2, &p2), 0);
    EXPECT_EQ(ov_str_to(b2, "cd", sizeof b2, &p2), 0);
    EXPECT_STREQ(b2, "abcd");
    EXPECT_EQ(p2, 4u);

    // The last free byte: an empty piece fits, any other is cut to nothing.
    char b3[4] = "abc";
    size_t p3 = 3;
    EXPECT_EQ(ov_str_to(b3, "", sizeof b3, &p3), 0);
    EXPECT_EQ(ov_str_to(b3, "d", sizeof b3, &p3), EBUFFER);
    EXPECT_STREQ(b3, "abc");
    EXPECT_EQ(p3, 3u);
}

TEST(StrCopy, PositionAtOrBeyondSizeEmptiesTheDestination) {
    for (size_t start : {size_t{8}, size_t{9}, SIZE_MAX}) {
        SCOPED_TRACE(start);
        char buf[8] = "abcdefg";
        size_t pos = start;
        EXPECT_EQ(ov_str_to(buf, "x", sizeof buf, &pos), EINVAL);
        EXPECT_EQ(buf[0], '\0');
        EXPECT_EQ(pos, start);
    }
    char buf[4] = "abc";
    EXPECT_EQ(ov_str_copy(buf, "x", 0), EINVAL);  // size 0: no byte may be written
    EXPECT_STREQ(buf, "abc");
}

TEST(StrCopy, NullArgumentsAreRejected) {
    char buf[8] = "abc";
    EXPECT_EQ(ov_str_to(buf, nullptr, sizeof buf, nullptr), EINVAL);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(ov_str_to(nullptr, "x", 8, nullptr), EINVAL);
    EXPECT_EQ(ov_strn_to(nullptr, nullptr, 3, 8, nullptr), EINVAL);
    std::strcpy(buf, "abc");
    EXPECT_EQ(ov_strn_to(buf, nullptr, 3, sizeof buf, nullptr), EINVAL);
    EXPECT_EQ(buf[0], '\0');
}

TEST(StrCopy, LimitedSourceNeedNotBeTerminated) {
    const char raw[3] = {'x', 'y', 'z'};  // no NUL
    char buf[8];
    size_t pos = 0;
    EXPECT_EQ(ov_strn_to(buf, raw, 3, sizeof buf, &pos), 0);
    EXPECT_STREQ(buf, "xyz");
    EXPECT_EQ(pos, 3u);
    EXPECT_EQ(ov_strn_to(buf, "abcdef", 2, sizeof buf, &pos), 0);
    EXPECT_STREQ(buf, "xyzab");
    EXPECT_EQ(ov_strn_to(buf, "abcdef", 5, sizeof buf, &pos), EBUFFER);
    EXPECT_STREQ(buf, "xyzabab");
    EXPECT_EQ(pos, 7u);
    EXPECT_EQ(ov_strn_to(buf, "abc", 0, sizeof buf, nullptr), 0);
    EXPECT_STREQ(buf, "");
}

TEST(StrCopy, SourceOverlappingTheDestination) {
    // Shift left within the same buffer.
    char buf[16] = "0123456789";
    EXPECT_EQ(ov_str_copy(buf, buf + 3, sizeof buf), 0);
    EXPECT_STREQ(buf, "3456789");
    // Shift right: the tail is copied before it is overwritten.
    char b2[16] = "abcdef";
    size_t pos = 2;
    EXPECT_EQ(ov_str_to(b2, b2, sizeof b2, &pos), 0);
    EXPECT_STREQ(b2, "ababcdef");
    EXPECT_EQ(pos, 8u);
    // A copy onto itself changes nothing.
    char b3[8] = "same";
    EXPECT_EQ(ov_str_copy(b3, b3, sizeof b3), 0);
    EXPECT_STREQ(b3, "same");
}

// Every cut point of 2-, 3- and 4-byte characters at the end of the room.
struct Utf8Cut {
    const char *name;
    const char *ch;  // one multi-byte character
};

class StrCopyUtf8 : public ::testing::TestWithParam<Utf8Cut> {};

TEST_P(StrCopyUtf8, CutNeverLeavesAPartialCharacter) {
    const std::string ch = GetParam().ch;
    const std::string src = "ab" + ch + "z";
    for (size_t size = 1; size <= src.size() + 1; ++size) {
        SCOPED_TRACE(size);
        char buf[16];
        std::memset(buf, '#', sizeof buf);
        size_t pos = 0;
        int32_t rc = ov_str_to(buf, src.c_str(), size, &pos);
        std::string expect;
        size_t room = size - 1;
        if (room >= src.size())
            expect = src;
        else if (room >= 2 + ch.size())
            expect = src.substr(0, room);
        else
            expect = src.substr(0, room < 2 ? room : 2);
        EXPECT_EQ(rc, room >= src.size() ? 0 : EBUFFER);
        EXPECT_EQ(std::string(buf), expect);
        EXPECT_EQ(pos, expect.size());
        EXPECT_EQ(buf[size], '#');
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, StrCopyUtf8,
                         ::testing::Values(Utf8Cut{"two", "\xC3\xA9"},
                                           Utf8Cut{"three", "\xE2\x82\xAC"},
                                           Utf8Cut{"four", "\xF0\x9F\x98\x80"}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(StrCopy, CutInsideTwoByteCharacterLeavesTheLetterBefore) {
    const char src[] = {'a', '\xC3', '\xA9', '\0'};
    char buf[3];
    size_t pos = 0;
    EXPECT_EQ(ov_str_to(buf, src, sizeof buf, &pos), EBUFFER);
    EXPECT_STREQ(buf, "a");
    EXPECT_EQ(pos, 1u);
}

TEST(StrCopy, CutRepairLooksOnlyAtTheEndOfTheWholeText) {
    // The repair walks back from the end of the assembled text: a character
    // of the new piece that was cut is dropped, the earlier text stays whole.
    char buf[6];
    size_t pos = 0;
    EXPECT_EQ(ov_str_to(buf, "\xC3\xA9", sizeof buf, &pos), 0);
    EXPECT_EQ(ov_str_to(buf, "a\xE2\x82\xAC", sizeof buf, &pos), EBUFFER);
    EXPECT_STREQ(buf, "\xC3\xA9" "a");
    EXPECT_EQ(pos, 3u);
}

// ---- ov_utf8_trim_partial ---------------------------------------------------

TEST(Utf8TrimPartial, RemovesOnlyIncompleteTrailingCharacters) {
    struct Case {
        const char *in;
        const char *out;
        int32_t rc;
    } cases[] = {
        {"", "", 0},
        {"abc", "abc", 0},
        {"a\xC3", "a", 0},                           // lone lead byte at the end
        {"a\xC3\xA9", "a\xC3\xA9", 0},               // complete 2-byte
        {"a\xE2\x82", "a", 0},                       // 3-byte, one missing
        {"a\xE2\x82\xAC", "a\xE2\x82\xAC", 0},       // complete 3-byte
        {"a\xF0\x9F\x98", "a", 0},                   // 4-byte, one missing
        {"a\xF0\x9F\x98\x80", "a\xF0\x9F\x98\x80", 0},
        {"a\xC3\xA9\xA9", "a", 0},                   // more continuation bytes than announced
        {"a\x80", "a\x80", EINVAL},                  // no lead byte before ASCII
        {"\x80\x80", "\x80\x80", EINVAL},            // no lead byte before the start
        {"\xF8\x88\x80\x80\x80", "\xF8\x88\x80\x80\x80", 0},  // 5-byte form is complete
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        char buf[16];
        std::strcpy(buf, c.in);
        size_t len = std::strlen(buf);
        EXPECT_EQ(ov_utf8_trim_partial(buf, &len), c.rc);
        EXPECT_STREQ(buf, c.out);
        EXPECT_EQ(len, std::strlen(c.out));
        std::strcpy(buf, c.in);
        EXPECT_EQ(ov_utf8_trim_partial(buf, nullptr), c.rc);
        EXPECT_STREQ(buf, c.out);
    }
    EXPECT_EQ(ov_utf8_trim_partial(nullptr, nullptr), EINVAL);
}

// ---- ov_str_cat -------------------------------------------------------------

TEST(StrCat, AppendsWithinTheSize) {
    char buf[8] = "ab";
    EXPECT_EQ(ov_str_cat(buf, "cd", sizeof buf), 0);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(ov_str_cat(buf, "efghij", sizeof buf), EBUFFER);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(ov_str_cat(buf, "", sizeof buf), 0);  // full buffer, empty source
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(ov_str_cat(buf, "x", sizeof buf), EBUFFER);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(ov_str_cat(nullptr, "x", 8), EINVAL);
    EXPECT_EQ(ov_str_cat(buf, nullptr, sizeof buf), EINVAL);
    EXPECT_STREQ(buf, "abcdefg");
}

TEST(StrCat, UnterminatedDestinationIsFull) {
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(ov_str_cat(buf, "x", sizeof buf), EBUFFER);
    EXPECT_EQ(std::memcmp(buf, "abcd", 4), 0);
}

// Calls ov_str_vprintf_to, also with formats that printf_to's checks refuse.
int32_t vprintf_to(char *dst, size_t size, size_t *pos, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int32_t rc = ov_str_vprintf_to(dst, size, pos, format, args);
    va_end(args);
    return rc;
}

// ---- ov_str_printf_to ---------------------------------------------------------

TEST(StrPrintf, ExactFitAndCut) {
    char buf[8];
    size_t pos = 0;
    EXPECT_EQ(ov_str_printf_to(buf, sizeof buf, &pos, "%s-%d", "abc", 12), 0);  // 6 chars
    EXPECT_EQ(pos, 6u);
    EXPECT_EQ(ov_str_printf_to(buf, sizeof buf, &pos, "%c", 'x'), 0);  // exactly size - 1
    EXPECT_STREQ(buf, "abc-12x");
    EXPECT_EQ(pos, 7u);

    pos = 2;
    EXPECT_EQ(ov_str_printf_to(buf, sizeof buf, &pos, "%d", 1234567), EBUFFER);
    EXPECT_STREQ(buf, "ab12345");
    EXPECT_EQ(pos, 7u);

    // A cut inside a 3-byte character drops the whole character.
    pos = 0;
    EXPECT_EQ(ov_str_printf_to(buf, sizeof buf, &pos, "abcde%s", "\xE2\x82\xAC"), EBUFFER);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(pos, 5u);
}

TEST(StrPrintf, BadArguments) {
    char buf[8] = "abc";
    size_t pos = 8;
    EXPECT_EQ(ov_str_printf_to(buf, sizeof buf, &pos, "x"), EINVAL);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(pos, 8u);
    std::strcpy(buf, "abc");
    pos = 0;
    EXPECT_EQ(vprintf_to(buf, sizeof buf, &pos, nullptr), EINVAL);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(ov_str_printf_to(nullptr, 8, nullptr, "x"), EINVAL);
    // Null position: formats at 0.
    EXPECT_EQ(ov_str_printf_to(buf, sizeof buf, nullptr, "%s", "hey"), 0);
    EXPECT_STREQ(buf, "hey");
}

// ---- Recognisers ------------------------------------------------------------

TEST(StrUrl, RecognisesSchemeColonSlashSlash) {
    EXPECT_EQ(ov_str_is_url("vlxp://host/path"), 1);
    EXPECT_EQ(ov_str_is_url("svn+ssh://x"), 1);
    EXPECT_EQ(ov_str_is_url("ab://"), 1);
    EXPECT_EQ(ov_str_is_url("c://x"), 0);       // one-letter scheme: a drive letter
    EXPECT_EQ(ov_str_is_url("ab:/x"), 0);       // single slash
    EXPECT_EQ(ov_str_is_url("dir/ab://x"), 0);  // slash before the colon
    EXPECT_EQ(ov_str_is_url("1ab://x"), 0);     // scheme must start with a letter
    EXPECT_EQ(ov_str_is_url("a_b://x"), 0);
    EXPECT_EQ(ov_str_is_url("abc"), 0);
    EXPECT_EQ(ov_str_is_url(""), 0);
    EXPECT_EQ(ov_str_is_url(nullptr), 0);
    EXPECT_EQ(ov_str_is_url("/usr/lib"), 0);
}

TEST(StrUrl, SchemeCharacters) {
    EXPECT_EQ(ov_str_is_scheme_str("a1+-."), 1);
    EXPECT_EQ(ov_str_is_scheme_str("a b"), 0);
    EXPECT_EQ(ov_str_is_scheme_str(""), 0);
    EXPECT_EQ(ov_str_is_scheme_str(nullptr), 0);
    EXPECT_EQ(ov_str_is_scheme("http://", 4), 1);
    EXPECT_EQ(ov_str_is_scheme("http://", 5), 0);
    EXPECT_EQ(ov_str_is_scheme("x", 0), 0);
}

TEST(StrUtil, Strnlen) {
    EXPECT_EQ(ov_strnlen("abcdef", 3), 3u);
    EXPECT_EQ(ov_strnlen("ab", 3), 2u);
    EXPECT_EQ(ov_strnlen(nullptr, 3), 0u);
}

}  // namespace
