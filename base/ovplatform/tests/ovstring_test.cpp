// ovstring_test.cpp - bounded copy, append, formatting, growable buffers and
// the URL recognisers.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "ovsupport/sanitizers.h"
#include "test_util.h"

namespace {

// A buffer filled with a marker byte, so that writes past the terminator show.
template <size_t N>
struct Buf {
    char data[N];
    Buf() { std::memset(data, '#', N); }
    std::string str() const { return std::string(data); }
};

// The writers that put src at *pos of a buffer of size bytes: ov_str_to,
// ov_trimmed_str_to, ov_str_escape_to.
using WriteTo = int32_t (*)(char *dst, const char *src, size_t size, size_t *pos);

// Writes src with write at the start of a buffer of exactly size bytes, and
// checks the code, the text the buffer then holds, and the position (the
// index of its terminator).
void ExpectWrite(WriteTo write, const char *src, size_t size, int32_t rc, const char *text) {
    SCOPED_TRACE(::testing::PrintToString(src) + " in " + std::to_string(size) + " bytes");
    std::vector<char> buf(size, '#');
    size_t pos = 0;
    EXPECT_EQ(write(buf.data(), src, size, &pos), rc);
    EXPECT_STREQ(buf.data(), text);
    EXPECT_EQ(pos, std::strlen(text));
}

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
    ExpectWrite(ov_str_to, "a\xC3\xA9", 3, EBUFFER, "a");
}

TEST(StrCopy, CutRepairLooksOnlyAtTheEndOfTheWholeText) {
    // The repair walks back from the end of the assembled text: a character
    // of the new piece that was cut is dropped, the earlier text stays whole.
    char buf[6];
    size_t pos = 0;
    EXPECT_EQ(ov_str_to(buf, "\xC3\xA9", sizeof buf, &pos), 0);
    EXPECT_EQ(ov_str_to(buf, "a\xE2\x82\xAC", sizeof buf, &pos), EBUFFER);
    EXPECT_STREQ(buf,
                 "\xC3\xA9"
                 "a");
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
        {"a\xC3", "a", 0},                      // lone lead byte at the end
        {"a\xC3\xA9", "a\xC3\xA9", 0},          // complete 2-byte
        {"a\xE2\x82", "a", 0},                  // 3-byte, one missing
        {"a\xE2\x82\xAC", "a\xE2\x82\xAC", 0},  // complete 3-byte
        {"a\xF0\x9F\x98", "a", 0},              // 4-byte, one missing
        {"a\xF0\x9F\x98\x80", "a\xF0\x9F\x98\x80", 0},
        {"a\xC3\xA9\xA9", "a", 0},         // more continuation bytes than announced
        {"a\x80", "a\x80", EINVAL},        // no lead byte before ASCII
        {"\x80\x80", "\x80\x80", EINVAL},  // no lead byte before the start
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

// A growable buffer that the test frees.
struct Heap {
    char *buf = nullptr;
    size_t size = 0;
    ~Heap() { std::free(buf); }
};

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

TEST(StrPrintf, ExactFitAndOneOverAtAPosition) {
    // room = 5 at position 2: five bytes fit, six are cut to five.
    Buf<12> fit;
    std::memcpy(fit.data, "ab", 3);
    size_t pos = 2;
    EXPECT_EQ(ov_str_printf_to(fit.data, 8, &pos, "%s%s", "x\xE2\x82\xAC", "y"), 0);
    EXPECT_EQ(fit.str(),
              "abx\xE2\x82\xAC"
              "y");
    EXPECT_EQ(pos, 7u);

    Buf<12> over;
    std::memcpy(over.data, "ab", 3);
    pos = 2;
    EXPECT_EQ(ov_str_printf_to(over.data, 8, &pos, "%d", 123456), EBUFFER);
    EXPECT_EQ(over.str(), "ab12345");
    EXPECT_EQ(pos, 7u);
    EXPECT_EQ(over.data[8], '#');  // nothing written past size
}

class StrPrintfUtf8 : public ::testing::TestWithParam<Utf8Cut> {};

TEST_P(StrPrintfUtf8, CutNeverLeavesAPartialCharacter) {
    // The same text as the copy test, formatted at position 1 of every size.
    const std::string ch = GetParam().ch;
    const std::string text = "ab" + ch + "z";
    for (size_t size = 2; size <= text.size() + 2; ++size) {
        SCOPED_TRACE(size);
        Buf<16> buf;
        buf.data[0] = '>';
        size_t pos = 1;
        int32_t rc = ov_str_printf_to(buf.data, size, &pos, "ab%sz", ch.c_str());
        const size_t room = size - 2;
        std::string expect;
        if (room >= text.size())
            expect = text;
        else if (room >= 2 + ch.size())
            expect = text.substr(0, room);
        else
            expect = text.substr(0, room < 2 ? room : 2);
        EXPECT_EQ(rc, room >= text.size() ? 0 : EBUFFER);
        EXPECT_EQ(buf.str(), ">" + expect);
        EXPECT_EQ(pos, 1 + expect.size());
        EXPECT_EQ(buf.data[size], '#');
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, StrPrintfUtf8,
                         ::testing::Values(Utf8Cut{"two", "\xC3\xA9"},
                                           Utf8Cut{"three", "\xE2\x82\xAC"},
                                           Utf8Cut{"four", "\xF0\x9F\x98\x80"}),
                         [](const auto &info) { return std::string(info.param.name); });

// Switches LC_ALL for the scope of a test and restores it afterwards.
class ScopedLocale {
  public:
    explicit ScopedLocale(const char *name) : saved_(std::setlocale(LC_ALL, nullptr)) {
        std::setlocale(LC_ALL, name);
    }
    ~ScopedLocale() { std::setlocale(LC_ALL, saved_.c_str()); }

  private:
    std::string saved_;
};

TEST(StrPrintf, EncodingErrorEndsTheTextAtThePosition) {
    // The C locale has no multi-byte form for a character above 0x7F, so
    // vsnprintf fails with EILSEQ whether or not the text would have fitted.
    ScopedLocale c_locale("C");
    const wchar_t wide[] = {L'a', static_cast<wchar_t>(0x100), L'\0'};
    for (size_t size : {size_t{5}, size_t{6}, size_t{64}}) {
        SCOPED_TRACE(size);
        Buf<64> buf;
        std::memcpy(buf.data, "abc", 4);
        size_t pos = 3;
        EXPECT_EQ(ov_str_printf_to(buf.data, size, &pos, "xy%ls", wide), EILSEQ);
        EXPECT_EQ(buf.str(), "abc");
        EXPECT_EQ(pos, 3u);
    }
    // The growable form reports the failure too, instead of growing for ever.
    Heap h;
    size_t pos = 0;
    EXPECT_EQ(ov_str_printf_alloc(&h.buf, &h.size, &pos, "%ls", wide), EILSEQ);
    EXPECT_EQ(h.size, 1024u);
    EXPECT_EQ(pos, 0u);
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

// ---- ov_trimmed_str_to ----------------------------------------------------------

TEST(TrimmedStr, SurroundingWhiteSpaceIsDropped) {
    ExpectWrite(ov_trimmed_str_to, "  abc  ", 4, 0, "abc");
    ExpectWrite(ov_trimmed_str_to, "  abcdef", 4, EBUFFER, "abc");

    char big[32];
    size_t pos = 0;
    EXPECT_EQ(ov_trimmed_str_to(big, "\t\n a b \r\v\f", sizeof big, &pos), 0);
    EXPECT_STREQ(big, "a b");
    EXPECT_EQ(ov_trimmed_str_to(big, "  x ", sizeof big, &pos), 0);
    EXPECT_STREQ(big, "a bx");
    EXPECT_EQ(pos, 4u);
}

TEST(TrimmedStr, BlankSourcesGiveAnEmptyPiece) {
    for (const char *blank : {"", " ", "   ", "\t\r\n"}) {
        SCOPED_TRACE(std::string("'") + blank + "'");
        char buf[8] = "ab";
        size_t pos = 2;
        EXPECT_EQ(ov_trimmed_str_to(buf, blank, sizeof buf, &pos), 0);
        EXPECT_STREQ(buf, "ab");
        EXPECT_EQ(pos, 2u);
        // A blank source longer than the room still fits once trimmed.
        char one[1];
        EXPECT_EQ(ov_trimmed_str_to(one, blank, sizeof one, nullptr), 0);
        EXPECT_EQ(one[0], '\0');
    }
}

TEST(TrimmedStr, CutKeepsTrailingSpaceUpToTheCutAndWholeCharacters) {
    ExpectWrite(ov_trimmed_str_to, "ab   cd", 5, EBUFFER, "ab  ");
    ExpectWrite(ov_trimmed_str_to, " ab\xE2\x82\xAC ", 5, EBUFFER, "ab");
    ExpectWrite(ov_trimmed_str_to, " a\xE2\x82\xAC   ", 5, 0, "a\xE2\x82\xAC");  // exact fit
}

TEST(TrimmedStr, BadArguments) {
    char buf[4] = "abc";
    size_t pos = 4;
    EXPECT_EQ(ov_trimmed_str_to(buf, "x", sizeof buf, &pos), EINVAL);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(ov_trimmed_str_to(nullptr, "x", 4, nullptr), EINVAL);
    std::strcpy(buf, "abc");
    EXPECT_EQ(ov_trimmed_str_to(buf, nullptr, sizeof buf, nullptr), EINVAL);
    EXPECT_EQ(buf[0], '\0');
}

TEST(TrimmedStr, SourceInsideTheDestination) {
    char buf[16] = "   padded  ";
    EXPECT_EQ(ov_trimmed_str_to(buf, buf, sizeof buf, nullptr), 0);
    EXPECT_STREQ(buf, "padded");
}

// ---- ov_str_concat_to / ov_str_concat -----------------------------------------------

TEST(StrConcat, PiecesUpToTheFirstNull) {
    char buf[16];
    size_t pos = 0;
    EXPECT_EQ(ov_str_concat_to(buf, sizeof buf, &pos, "a", "b", nullptr), 0);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(pos, 2u);
    EXPECT_EQ(ov_str_concat_to(buf, sizeof buf, &pos, "", "c", "", nullptr), 0);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(pos, 3u);
    EXPECT_EQ(ov_str_concat_to(buf, sizeof buf, &pos, nullptr), 0);  // nothing to add
    EXPECT_STREQ(buf, "abc");
    // Null position: starts at 0.
    EXPECT_EQ(ov_str_concat_to(buf, sizeof buf, nullptr, "x", "y", nullptr), 0);
    EXPECT_STREQ(buf, "xy");
}

TEST(StrConcat, NinePiecesFitTenAreRefusedWithoutWriting) {
    char buf[32];
    size_t pos = 0;
    EXPECT_EQ(ov_str_concat_to(buf, sizeof buf, &pos, "1", "2", "3", "4", "5", "6", "7", "8", "9",
                               nullptr),
              0);
    EXPECT_STREQ(buf, "123456789");
    EXPECT_EQ(pos, 9u);

    std::strcpy(buf, "keep");
    pos = 4;
    EXPECT_EQ(ov_str_concat_to(buf, sizeof buf, &pos, "1", "2", "3", "4", "5", "6", "7", "8", "9",
                               "10", nullptr),
              EINVAL);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(pos, 4u);
    EXPECT_EQ(
        ov_str_concat(buf, sizeof buf, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", nullptr),
        EINVAL);
    EXPECT_STREQ(buf, "keep");
}

TEST(StrConcat, CutPieceStopsTheRest) {
    char buf[6];
    size_t pos = 0;
    EXPECT_EQ(ov_str_concat_to(buf, sizeof buf, &pos, "abc", "def", "ghi", nullptr), EBUFFER);
    EXPECT_STREQ(buf, "abcde");
    EXPECT_EQ(pos, 5u);
    pos = 6;
    EXPECT_EQ(ov_str_concat_to(buf, sizeof buf, &pos, "x", nullptr), EINVAL);
    EXPECT_EQ(buf[0], '\0');
}

TEST(StrConcat, AppendsToTheCurrentText) {
    char buf[10] = "dir";
    EXPECT_EQ(ov_str_concat(buf, sizeof buf, "/", "file", nullptr), 0);
    EXPECT_STREQ(buf, "dir/file");
    EXPECT_EQ(ov_str_concat(buf, sizeof buf, ".txt", nullptr), EBUFFER);
    EXPECT_STREQ(buf, "dir/file.");
    EXPECT_EQ(ov_str_concat(nullptr, 10, "x", nullptr), EINVAL);
}

// ---- Growable buffers ---------------------------------------------------------------

TEST(StrAlloc, NewBufferStartsAt1024AndDoubles) {
    const std::string text(3000, 'x');
    Heap h;
    size_t pos = 0;
    EXPECT_EQ(ov_str_to_alloc(&h.buf, text.c_str(), &h.size, &pos), 0);
    EXPECT_EQ(h.size, 4096u);
    EXPECT_EQ(pos, 3000u);
    EXPECT_EQ(std::string(h.buf), text);

    Heap small;
    pos = 0;
    EXPECT_EQ(ov_str_to_alloc(&small.buf, "hi", &small.size, &pos), 0);
    EXPECT_EQ(small.size, 1024u);
    EXPECT_STREQ(small.buf, "hi");
}

TEST(StrAlloc, GrowsAcrossTheBoundariesExactly) {
    // 1023 characters fit 1024 bytes; 1024 need 2048; 4095 fit 4096; 4096 need 8192.
    struct Case {
        size_t len, size;
    } cases[] = {{1023, 1024}, {1024, 2048}, {2047, 2048},
                 {2048, 4096}, {4095, 4096}, {4096, 8192}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.len);
        const std::string text(c.len, 'q');
        Heap h;
        size_t pos = 0;
        EXPECT_EQ(ov_str_to_alloc(&h.buf, text.c_str(), &h.size, &pos), 0);
        EXPECT_EQ(h.size, c.size);
        EXPECT_EQ(pos, c.len);
        EXPECT_EQ(std::string(h.buf), text);
    }
}

TEST(StrAlloc, PiecesAssembleAcrossGrowth) {
    Heap h;
    size_t pos = 0;
    std::string expect;
    for (int i = 0; i < 300; ++i) {
        std::string piece = "piece" + std::to_string(i) + ";";
        ASSERT_EQ(ov_str_to_alloc(&h.buf, piece.c_str(), &h.size, &pos), 0);
        expect += piece;
    }
    EXPECT_EQ(std::string(h.buf), expect);
    EXPECT_EQ(pos, expect.size());
    EXPECT_EQ(h.size, 4096u);  // about 2,900 characters

    // A cut multi-byte character at the old end is retried whole.
    Heap u;
    pos = 1021;
    u.size = 1024;
    u.buf = static_cast<char *>(std::malloc(u.size));
    std::memset(u.buf, 'a', 1021);
    u.buf[1021] = '\0';
    EXPECT_EQ(ov_str_to_alloc(&u.buf, "\xE2\x82\xAC", &u.size, &pos), 0);
    EXPECT_EQ(u.size, 2048u);
    EXPECT_EQ(pos, 1024u);
    EXPECT_EQ(std::string(u.buf).substr(1021), "\xE2\x82\xAC");
}

constexpr size_t kMiB = size_t{1} << 20;
using ovtest::cap_address_space;

// Runs in a child whose address space is capped so that the doubling fails
// between 64 MiB and 128 MiB.
int grow_under_memory_limit() {
    const size_t mib = kMiB;
    std::string src(100 * mib, 'x');
    if (!cap_address_space(96 * mib)) return 3;
    char *buf = nullptr;
    size_t size = 0, pos = 0;
    int32_t rc = ov_str_to_alloc(&buf, src.c_str(), &size, &pos);
    std::fprintf(stderr, "rc=%d size=%zu pos=%zu len=%zu\n", rc, size, pos,
                 buf ? std::strlen(buf) : 0);
    bool kept = rc == ENOMEM && buf != nullptr && size == 64 * mib && pos == size - 1 &&
                std::strlen(buf) == pos;
    std::free(buf);
    return kept ? 0 : 1;
}

TEST(StrAllocDeathTest, FailedGrowthKeepsTheOldBufferAndSize) {
    ovtest::ExpectOutOfMemoryHandled(grow_under_memory_limit);
}

// Runs in a child that can hold a 32 MiB destination but not a second
// buffer of that size, so the formatting's scratch buffer cannot be had.
int printf_under_memory_limit() {
    const size_t size = 32 * kMiB;
    if (!cap_address_space(48 * kMiB)) return 3;
    char *buf = static_cast<char *>(std::malloc(size));
    if (buf == nullptr) return 4;
    size_t pos = 0;
    // size characters: blanks and then a 3-byte character that the first
    // pass cuts after its second byte.
    int32_t rc = ov_str_printf_to(buf, size, &pos, "%*s", static_cast<int>(size), "\xE2\x82\xAC");
    const size_t len = strnlen(buf, size);
    std::fprintf(stderr, "rc=%d pos=%zu len=%zu\n", rc, pos, len);
    // vsnprintf's own cut text stays, partial character included.
    bool kept = rc == ENOMEM && pos == 0 && len == size - 1 &&
                std::memcmp(buf + size - 4, " \xE2\x82", 3) == 0;
    std::free(buf);
    return kept ? 0 : 1;
}

TEST(StrPrintfDeathTest, ScratchBufferFailureKeepsTheFirstPassText) {
    ovtest::ExpectOutOfMemoryHandled(printf_under_memory_limit);
}

TEST(StrAlloc, LimitedCopy) {
    const std::string text(5000, 'z');
    Heap h;
    size_t pos = 0;
    EXPECT_EQ(ov_strn_to_alloc(&h.buf, text.c_str(), 1500, &h.size, &pos), 0);
    EXPECT_EQ(h.size, 2048u);
    EXPECT_EQ(pos, 1500u);
    EXPECT_EQ(std::strlen(h.buf), 1500u);
}

TEST(StrAlloc, CallersBufferOfSizeZeroBecomes1024) {
    Heap h;
    h.buf = static_cast<char *>(std::malloc(1));
    size_t pos = 0;
    EXPECT_EQ(ov_str_to_alloc(&h.buf, "text", &h.size, &pos), 0);
    EXPECT_EQ(h.size, 1024u);
    EXPECT_STREQ(h.buf, "text");
}

TEST(StrAlloc, RequiredArguments) {
    Heap h;
    size_t pos = 0;
    EXPECT_EQ(ov_str_to_alloc(nullptr, "x", &h.size, &pos), EINVAL);
    EXPECT_EQ(ov_str_to_alloc(&h.buf, nullptr, &h.size, &pos), EINVAL);
    EXPECT_EQ(ov_str_to_alloc(&h.buf, "x", nullptr, &pos), EINVAL);
    EXPECT_EQ(ov_str_to_alloc(&h.buf, "x", &h.size, nullptr), EINVAL);
    EXPECT_EQ(ov_str_cat_alloc(&h.buf, nullptr, &h.size), EINVAL);
    EXPECT_EQ(ov_str_printf_alloc(nullptr, &h.size, &pos, "x"), EINVAL);
    EXPECT_EQ(h.buf, nullptr);
    EXPECT_EQ(h.size, 0u);
    // A position beyond the buffer is not a reason to grow.
    pos = 5000;
    EXPECT_EQ(ov_str_to_alloc(&h.buf, "x", &h.size, &pos), EINVAL);
    EXPECT_EQ(h.size, 1024u);
    EXPECT_EQ(h.buf[0], '\0');
}

TEST(StrAlloc, CatAppendsAndRemovesCutAttempts) {
    Heap h;
    EXPECT_EQ(ov_str_cat_alloc(&h.buf, "start", &h.size), 0);
    EXPECT_EQ(h.size, 1024u);
    const std::string tail(2100, 't');  // 2105 characters: past 1024 and 2048
    EXPECT_EQ(ov_str_cat_alloc(&h.buf, tail.c_str(), &h.size), 0);
    EXPECT_EQ(h.size, 4096u);
    EXPECT_EQ(std::string(h.buf), "start" + tail);
    EXPECT_EQ(ov_str_cat_alloc(&h.buf, "", &h.size), 0);
    EXPECT_EQ(std::strlen(h.buf), 2105u);
}

TEST(StrAlloc, PrintfGrowsWithFreshArguments) {
    Heap h;
    size_t pos = 0;
    const std::string word(1500, 'w');
    EXPECT_EQ(ov_str_printf_alloc(&h.buf, &h.size, &pos, "<%s|%d>", word.c_str(), 42), 0);
    EXPECT_EQ(h.size, 2048u);
    EXPECT_EQ(std::string(h.buf), "<" + word + "|42>");
    EXPECT_EQ(pos, word.size() + 5);
    const std::string more(3000, 'm');
    EXPECT_EQ(ov_str_printf_alloc(&h.buf, &h.size, &pos, "%s%s", more.c_str(), "!"), 0);
    EXPECT_EQ(h.size, 8192u);
    EXPECT_EQ(std::string(h.buf), "<" + word + "|42>" + more + "!");
    EXPECT_EQ(pos, word.size() + 5 + 3001);
}

// ---- Small utilities --------------------------------------------------------

// Text from a file or another process printed on a terminal or written as
// one log line: nothing in it may move the cursor, retitle the window, or
// start a line of its own.
TEST(StrEscape, OnlyPrintableTextPassesAndEveryOtherByteIsSpelledOut) {
    const struct {
        const char *in;
        const char *out;
    } cases[] = {
        {"12:host-name.example", "12:host-name.example"},
        {"a\nb\rc\td", "a\\nb\\rc\\td"},
        {"back\\slash", "back\\\\slash"},
        {"\x1b]0;title\x07\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J"},
        {"del\x7f", "del\\x7f"},
        {"c1 \xc2\x9b and raw \x9b", "c1 \\xc2\\x9b and raw \\x9b"},
        {"caf\xc3\xa9 \xc2\xa0 \xe2\x82\xac \xf0\x9f\x94\x92",
         "caf\xc3\xa9 \xc2\xa0 \xe2\x82\xac \xf0\x9f\x94\x92"},
        {"overlong \xc0\xaf, cut \xe2\x82, surrogate \xed\xa0\x80",
         "overlong \\xc0\\xaf, cut \\xe2\\x82, surrogate \\xed\\xa0\\x80"},
        {"ends in a lead byte \xc3", "ends in a lead byte \\xc3"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        char out[256];
        size_t pos = 0;
        EXPECT_OV_OK(ov_str_escape_to(out, c.in, sizeof out, &pos));
        EXPECT_STREQ(out, c.out);
        EXPECT_EQ(pos, std::strlen(c.out));
    }
    // A cut never splits an escape or a character.
    ExpectWrite(ov_str_escape_to, "abcd\x1b", 8, EBUFFER, "abcd");
    ExpectWrite(ov_str_escape_to, "abcde\xe2\x82\xac", 8, EBUFFER, "abcde");
    // Appends at a position; bad arguments.
    char out[32] = "x=";
    size_t pos = 2;
    EXPECT_OV_OK(ov_str_escape_to(out, "\n", sizeof out, &pos));
    EXPECT_STREQ(out, "x=\\n");
    EXPECT_EQ(ov_str_escape_to(out, nullptr, sizeof out, nullptr), EINVAL);
    EXPECT_STREQ(out, "");
    pos = sizeof out;
    EXPECT_EQ(ov_str_escape_to(out, "a", sizeof out, &pos), EINVAL);
}

TEST(StrUtil, NdupAndCaseConversion) {
    char *d = ov_str_ndup("abcdef", 3);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d, "abc");
    std::free(d);
    d = ov_str_ndup("ab", 10);
    EXPECT_STREQ(d, "ab");
    std::free(d);
    EXPECT_EQ(ov_str_ndup(nullptr, 3), nullptr);

    char *lower = ov_str_tolower_dup("MiXeD 1!");
    char *upper = ov_str_toupper_dup("MiXeD 1!");
    EXPECT_STREQ(lower, "mixed 1!");
    EXPECT_STREQ(upper, "MIXED 1!");
    std::free(lower);
    std::free(upper);
    EXPECT_EQ(ov_str_tolower_dup(nullptr), nullptr);

    char text[] = "AbC";
    EXPECT_EQ(ov_str_tolower(text), text);
    EXPECT_STREQ(text, "abc");
    EXPECT_STREQ(ov_str_toupper(text), "ABC");
    EXPECT_EQ(ov_str_toupper(nullptr), nullptr);
}

TEST(StrUtil, SpanCountReplaceEndsWith) {
    EXPECT_EQ(ov_str_span("aabxa", 5, "ab"), 3u);
    EXPECT_EQ(ov_str_span("aab", 2, "ab"), 2u);
    EXPECT_EQ(ov_str_span("a\0a-", 4, "a"), 3u);  // NUL counts as in the set
    EXPECT_EQ(ov_str_span("xyz", 3, ""), 0u);

    EXPECT_EQ(ov_str_count_char("a/b/c/", '/'), 3u);
    EXPECT_EQ(ov_str_count_char("abc", 'x'), 0u);
    EXPECT_EQ(ov_str_count_char(nullptr, 'x'), 0u);

    char path[] = "a\\b\\c";
    ov_str_replace_char(path, '\\', '/');
    EXPECT_STREQ(path, "a/b/c");
    ov_str_replace_char(nullptr, 'a', 'b');

    EXPECT_EQ(ov_str_ends_with("file.txt", ".txt"), 0);
    EXPECT_EQ(ov_str_ends_with("a", "abc"), 1);
    EXPECT_EQ(ov_str_ends_with("abc", ""), 0);
    EXPECT_EQ(ov_str_ends_with("file.txt", ".TXT"), 1);
    EXPECT_EQ(ov_str_ends_with(nullptr, "x"), 1);
    EXPECT_EQ(ov_str_ends_with("x", nullptr), 1);
}

TEST(StrUtil, TokensAndArrayFree) {
    char line[] = "a,b,,c";
    char *save = nullptr;
    std::string seen;
    for (char *t = ov_strtok_r(line, ",", &save); t != nullptr;
         t = ov_strtok_r(nullptr, ",", &save))
        seen += std::string(t) + "|";
    EXPECT_EQ(seen, "a|b|c|");

    // An array whose strings live in one block that the first element points to.
    char *block = static_cast<char *>(std::malloc(4));
    std::memcpy(block, "x\0y", 4);
    char **array = static_cast<char **>(std::malloc(2 * sizeof(char *)));
    array[0] = block;
    array[1] = block + 2;
    ov_str_array_free(array);  // leak-checked under AddressSanitizer
    ov_str_array_free(nullptr);
}

}  // namespace
