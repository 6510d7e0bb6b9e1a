// ovstring_utf_test.cpp - validation, repair, conversion, counting and
// shortening of UTF-8 text, and its conversion to and from UTF-16.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ovsupport/utf_reference.h"
#include "test_util.h"

namespace {

using U16 = std::vector<uint16_t>;

const char *at(const std::string &s, size_t i) {
    return s.data() + i;
}

// UTF-8 of one scalar value, from the reference.
std::string encode(uint32_t c) {
    std::string s;
    ovsupport::utf::append_utf8(s, c);
    return s;
}

// Bytes placed at the very end of a readable page that is followed by one
// that cannot be read: a read past them faults.
class PageEnd {
  public:
    PageEnd() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        void *m =
            mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = m == MAP_FAILED ? nullptr : static_cast<char *>(m);
        if (base_ != nullptr) mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~PageEnd() {
        if (base_ != nullptr) munmap(base_, 2 * page_);
    }
    PageEnd(const PageEnd &) = delete;
    PageEnd &operator=(const PageEnd &) = delete;

    bool ok() const { return base_ != nullptr; }
    // Fills the page with 'x' and puts bytes at its end.
    char *place(const std::string &bytes) {
        std::memset(base_, 'x', page_);
        char *p = base_ + page_ - bytes.size();
        std::memcpy(p, bytes.data(), bytes.size());
        return p;
    }

  private:
    size_t page_ = 0;
    char *base_ = nullptr;
};

// ---- One character ------------------------------------------------------------------

TEST(Utf8Check, ReturnsNullOrTheEndOfTheValidBeginning) {
    const std::string e_acute = "\xC3\xA9";
    EXPECT_EQ(ov_utf8_check_char(e_acute.data(), 2), nullptr);
    const std::string overlong = "\xC0\xAF";
    EXPECT_EQ(ov_utf8_check_char(overlong.data(), 2), overlong.data());
    const std::string surrogate = "\xED\xA0\x80";
    EXPECT_EQ(ov_utf8_check_char(surrogate.data(), 3), surrogate.data());
    const std::string broken = "\xE2\x82\x41";
    EXPECT_EQ(ov_utf8_check_char(broken.data(), 3), at(broken, 1));
    const std::string emoji_cut = "\xF0\x9F\x98\x41";
    EXPECT_EQ(ov_utf8_check_char(emoji_cut.data(), 4), at(emoji_cut, 2));

    // Every limit of RFC 3629 at the second byte.
    for (const char *bad : {"\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80",
                            "\xF5\x80\x80\x80", "\x80", "\xC1\xBF", "\xFF"}) {
        EXPECT_EQ(ov_utf8_check_char(bad, 4), bad) << ::testing::PrintToString(bad);
    }
    for (const char *good : {"\x7F", "\xC2\x80", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                             "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_EQ(ov_utf8_check_char(good, 4), nullptr) << ::testing::PrintToString(good);
    }

    // The explicit length: ASCII with n = 2 wants a continuation byte.
    EXPECT_EQ(ov_utf8_check("A", 1, 1), nullptr);
    const std::string ab = "AB";
    EXPECT_EQ(ov_utf8_check(ab.data(), 2, 2), ab.data());
    EXPECT_EQ(ov_utf8_check(e_acute.data(), 2, 1), nullptr);  // the lead alone
}

TEST(Utf8Check, NeverReadsPastTheBytesAvailable) {
    EXPECT_EQ(ov_utf8_check_char(nullptr, 4), nullptr);
    EXPECT_EQ(ov_utf8_check_char("\xC3", 0), nullptr);
    EXPECT_EQ(ov_utf8_check_char("\xC3", -1), nullptr);
    // Exactly sized heap copies: a read past them shows under the address
    // sanitizer, and the results say where the text was cut.
    const std::string euro = "\xE2\x82\xAC";
    for (int32_t avail = 1; avail <= 3; ++avail) {
        char *copy = static_cast<char *>(std::malloc(static_cast<size_t>(avail)));
        std::memcpy(copy, euro.data(), static_cast<size_t>(avail));
        const char *r = ov_utf8_check_char(copy, avail);
        EXPECT_EQ(r, avail == 1 ? copy : avail == 2 ? copy + 1 : nullptr) << avail;
        std::free(copy);
    }
    PageEnd page;
    ASSERT_TRUE(page.ok());
    const char *p = page.place("\xF0\x9F\x98");
    EXPECT_EQ(ov_utf8_check_char(p, 3), p + 2);
}

// ---- Whole strings ------------------------------------------------------------------

TEST(Utf8Valid, AcceptsRfc3629AndRefusesEverythingElse) {
    struct Case {
        const char *text;
        int valid;
    } cases[] = {
        {"", 1},
        {"plain", 1},
        {"caf\xC3\xA9 \xD0\x9F\xD1\x80\xD0\xB8 \xE4\xB8\xAD \xF0\x9F\x98\x80", 1},
        {"\xF4\x8F\xBF\xBF", 1},
        {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
        {"\xC0\x80", 0},          // overlong NUL
        {"\xE0\x80\xAF", 0},      // overlong '/'
        {"\xF0\x80\x80\xAF", 0},  // overlong '/'
        {"\xED\xA0\x80", 0},      // encoded high surrogate
        {"\xED\xBF\xBF", 0},      // encoded low surrogate
        {"a\x80", 0},             // stray continuation
        {"a\xC3", 0},             // cut by the terminator
        {"a\xE2\x82", 0},
        {"a\xF0\x9F\x98", 0},
        {"\xF8\x88\x80\x80\x80", 0},
        {"\xFE", 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(ov_utf8_is_valid(c.text, SIZE_MAX), c.valid) << ::testing::PrintToString(c.text);
    }
    EXPECT_EQ(ov_utf8_is_valid(nullptr, SIZE_MAX), 0);
}

TEST(Utf8Valid, TheTerminatorMustLieWithinTheMaximumLength) {
    EXPECT_EQ(ov_utf8_is_valid("abc", 4), 1);
    EXPECT_EQ(ov_utf8_is_valid("abc", 3), 0);
    EXPECT_EQ(ov_utf8_is_valid("", 1), 1);
    EXPECT_EQ(ov_utf8_is_valid("", 0), 0);
    // A character that would end past the limit is not part of the prefix.
    EXPECT_EQ(ov_utf8_valid_prefix("a\xC3\xA9", 2), 1u);
    EXPECT_EQ(ov_utf8_valid_prefix("a\xC3\xA9", 3), 3u);
    EXPECT_EQ(ov_utf8_valid_prefix("a\xC3\xA9z", SIZE_MAX), 4u);
    EXPECT_EQ(ov_utf8_valid_prefix("ab\xE2\x82z", SIZE_MAX), 2u);
    EXPECT_EQ(ov_utf8_valid_prefix(nullptr, 10), 0u);
    EXPECT_EQ(ov_utf8_valid_prefix("", 10), 0u);
}

// The fast scans take 16 and 64 bytes at a time from aligned addresses: a
// stop byte must be found wherever it lies, whatever the text's alignment.
TEST(Utf8Valid, FindsTheFirstStopAtEveryPositionAndAlignment) {
    std::vector<char> storage(400);
    for (size_t shift = 0; shift < 16; ++shift) {
        char *text = storage.data() + shift;
        for (size_t bad = 0; bad < 300; bad += (bad < 140 ? 1 : 7)) {
            std::memset(text, 'a', 300);
            text[300] = '\0';
            text[bad] = '\xFF';
            ASSERT_EQ(ov_utf8_valid_prefix(text, SIZE_MAX), bad) << shift << " " << bad;
            ASSERT_EQ(ov_utf8_is_valid(text, SIZE_MAX), 0);
            ASSERT_EQ(ov_utf8_valid_prefix(text, bad / 2), bad / 2);
            text[bad] = '\0';
            ASSERT_EQ(ov_utf8_is_valid(text, SIZE_MAX), 1);
            ASSERT_EQ(ov_utf8_is_valid(text, bad + 1), 1);
            ASSERT_EQ(ov_utf8_is_valid(text, bad), 0);
            ASSERT_EQ(ov_utf8_strlen(text), bad);
        }
    }
}

TEST(Utf8Valid, StopsAtTheEndOfAReadablePage) {
    PageEnd page;
    ASSERT_TRUE(page.ok());
    for (size_t n = 1; n <= 400; n += (n < 140 ? 1 : 13)) {
        // n bytes without a terminator, read with the limit that covers them.
        const char *p = page.place(std::string(n, 'a'));
        EXPECT_EQ(ov_utf8_is_valid(p, n), 0) << n;
        EXPECT_EQ(ov_utf8_valid_prefix(p, n), n);
        // n - 1 bytes and the terminator on the page's last byte.
        std::string s(n - 1, 'b');
        s += '\0';
        p = page.place(s);
        EXPECT_EQ(ov_utf8_is_valid(p, SIZE_MAX), 1) << n;
        EXPECT_EQ(ov_utf8_strlen(p), n - 1);
    }
    const char *cut = page.place(std::string("ab\xE2\x82"));
    EXPECT_EQ(ov_utf8_valid_prefix(cut, 4), 2u);
}

// Mixed text with one or two bytes changed, at lengths that take the block
// paths and their ends: the validator agrees with the reference everywhere,
// and the text that stays well-formed converts to the reference's units and
// back.
TEST(Utf8Valid, AgreesWithTheReferenceOnDamagedMixedText) {
    const std::string pieces[] = {"word ",
                                  "caf\xC3\xA9 ",
                                  "\xD0\x9F\xD1\x80\xD0\xB8",
                                  "\xE4\xB8\xAD\xE6\x96\x87",
                                  "\xF0\x9F\x98\x80",
                                  "ab"};
    const unsigned char damage[] = {0x80, 0xBF, 0xC0, 0xC2, 0xE0, 0xED, 0xEF,
                                    0xF0, 0xF4, 0xF5, 0xFF, 0xA0, 0x90, 0x41};
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const size_t target = next() % 300;
        while (text.size() < target) text += pieces[next() % 6];
        const int changes = static_cast<int>(next() % 3);
        for (int k = 0; k < changes && !text.empty(); ++k) {
            text[next() % text.size()] = static_cast<char>(damage[next() % sizeof damage]);
        }
        if (next() % 4 == 0 && !text.empty()) text.resize(text.size() - 1);  // cut the end
        const auto *bytes = reinterpret_cast<const unsigned char *>(text.c_str());
        const size_t expected = ovsupport::utf::valid_prefix(bytes, text.size());
        ASSERT_EQ(ov_utf8_valid_prefix(text.c_str(), SIZE_MAX), expected)
            << ::testing::PrintToString(text);
        ASSERT_EQ(ov_utf8_is_valid(text.c_str(), SIZE_MAX), expected == text.size() ? 1 : 0);
        size_t size = 0;
        ASSERT_EQ(ov_utf8_to_utf16(text.c_str(), 0, nullptr, &size),
                  expected == text.size() ? ERANGE : EINVAL);
        if (expected != text.size()) continue;
        // Well-formed: both conversions against the reference's units.
        const U16 reference = ovsupport::utf::utf8_to_utf16(text);
        U16 units(text.size() + 1);
        size = units.size() * 2;
        ASSERT_OV_OK(ov_utf8_to_utf16(text.c_str(), 0, units.data(), &size));
        ASSERT_EQ(size, reference.size() * 2);
        units.resize(reference.size());
        ASSERT_TRUE(units == reference) << ::testing::PrintToString(text);
        units.push_back(0);
        std::string back(3 * units.size() + 1, '#');
        size = back.size();
        ASSERT_OV_OK(ov_utf16_to_utf8(units.data(), 0, back.data(), &size));
        ASSERT_EQ(std::string(back.c_str()), text);
    }
}

TEST(Utf8Strlen, StepsByAnnouncedLengthsButNeverPastTheTerminator) {
    EXPECT_EQ(ov_utf8_strlen(nullptr), 0u);
    EXPECT_EQ(ov_utf8_strlen(""), 0u);
    EXPECT_EQ(ov_utf8_strlen("caf\xC3\xA9 \xF0\x9F\x98\x80!"), 7u);
    EXPECT_EQ(ov_utf8_strlen("\xC3\x41z"), 2u);  // no validation: C3 takes the A
    EXPECT_EQ(ov_utf8_strlen("\x80\x80"), 2u);   // stray continuations step alone
    PageEnd page;
    ASSERT_TRUE(page.ok());
    // A lead announcing six bytes right before the terminator.
    const char *p = page.place(std::string("a\xFC\0", 3));
    EXPECT_EQ(ov_utf8_strlen(p), 2u);
    EXPECT_EQ(ov_utf8_advance(p, 5), p + 2);
}

TEST(Utf8Advance, StopsAfterCountCharactersOrAtTheTerminator) {
    const std::string s = "ab\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    EXPECT_EQ(ov_utf8_advance(s.c_str(), 0), s.c_str());
    EXPECT_EQ(ov_utf8_advance(s.c_str(), 2), at(s, 2));
    EXPECT_EQ(ov_utf8_advance(s.c_str(), 3), at(s, 4));
    EXPECT_EQ(ov_utf8_advance(s.c_str(), 5), at(s, 11));
    EXPECT_EQ(ov_utf8_advance(s.c_str(), 6), at(s, 12));
    EXPECT_EQ(ov_utf8_advance(s.c_str(), 100), at(s, 12));
    EXPECT_EQ(ov_utf8_advance("", 1), nullptr);
    EXPECT_EQ(ov_utf8_advance(nullptr, 1), nullptr);
    const std::string long_ascii(100, 'q');
    EXPECT_EQ(ov_utf8_advance(long_ascii.c_str(), 77), at(long_ascii, 77));
}

TEST(Utf16Strlen, CountsUnitsAtEveryAlignment) {
    EXPECT_EQ(ov_utf16_strlen(nullptr), 0u);
    EXPECT_EQ(ov_strlen_or_zero(nullptr), 0u);
    EXPECT_EQ(ov_strlen_or_zero("abc"), 3u);
    U16 units(100, 0x4100);  // a zero low byte must not end the text
    for (size_t start = 0; start < 8; ++start) {
        for (size_t end = start; end < 60; ++end) {
            units.assign(100, 0x4100);
            units[end] = 0;
            ASSERT_EQ(ov_utf16_strlen(units.data() + start), end - start);
        }
    }
}

// ---- The sanitiser ------------------------------------------------------------------

TEST(Utf8Sanitize, ReplacesEachBrokenPartOnce) {
    struct Case {
        const char *src;
        const char *out;
        int32_t rc;
    } cases[] = {
        {"a\xFF"
         "b",
         "a\xEF\xBF\xBD"
         "b",
         EILLUTFSTR},
        {"a\xE2\x82"
         "A",
         "a\xEF\xBF\xBD"
         "A",
         EILLUTFSTR},
        {"\xF0\x9F\x98"
         "x",
         "\xEF\xBF\xBD"
         "x",
         EILLUTFSTR},                                          // three good bytes, one unit
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD", EILLUTFSTR},  // lead and stray byte
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", EILLUTFSTR},
        {"end\xE2\x82", "end\xEF\xBF\xBD", EILLUTFSTR},
        {"caf\xC3\xA9", "caf\xC3\xA9", 0},
        {"", "", 0},
    };
    for (const Case &c : cases) {
        char out[64];
        size_t size = sizeof out;
        EXPECT_EQ(ov_utf8_sanitize(out, c.src, &size, nullptr, 0), c.rc)
            << ::testing::PrintToString(c.src);
        EXPECT_STREQ(out, c.out) << ::testing::PrintToString(c.src);
        EXPECT_EQ(size, std::strlen(c.out));
    }
    char out[16];
    size_t size = sizeof out;
    EXPECT_EQ(ov_utf8_sanitize(out,
                               "a\xFF\xFE"
                               "b",
                               &size, "?", 1),
              EILLUTFSTR);
    EXPECT_STREQ(out, "a??b");
    size = sizeof out;
    EXPECT_EQ(ov_utf8_sanitize(out,
                               "a\xFF"
                               "b",
                               &size, "", 0),
              EILLUTFSTR);
    EXPECT_STREQ(out, "ab");
}

TEST(Utf8Sanitize, StopsAtAWholeCharacterWhenTheDestinationIsFull) {
    char out[8];
    std::memset(out, '#', sizeof out);
    size_t size = 4;  // "a" and the two bytes of the e, not the euro sign
    EXPECT_EQ(ov_utf8_sanitize(out, "a\xC3\xA9\xE2\x82\xAC", &size, nullptr, 0), EBUFFER);
    EXPECT_STREQ(out, "a\xC3\xA9");
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(out[4], '#');

    size = 3;  // no room for the replacement after "ab"
    EXPECT_EQ(ov_utf8_sanitize(out, "ab\xFF", &size, nullptr, 0), EBUFFER);
    EXPECT_STREQ(out, "ab");

    size = 1;
    EXPECT_EQ(ov_utf8_sanitize(out, "x", &size, nullptr, 0), EBUFFER);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(size, 0u);

    std::string big(100, 'z');  // the ASCII run is cut by the copy itself
    size = 50;
    char wide[64];
    EXPECT_EQ(ov_utf8_sanitize(wide, big.c_str(), &size, nullptr, 0), EBUFFER);
    EXPECT_EQ(size, 49u);
    EXPECT_EQ(std::string(wide), std::string(49, 'z'));
}

TEST(Utf8Sanitize, RefusesBadArguments) {
    char out[8] = "old";
    size_t size = sizeof out;
    EXPECT_EQ(ov_utf8_sanitize(nullptr, "a", &size, nullptr, 0), EINVAL);
    EXPECT_EQ(ov_utf8_sanitize(out, "a", nullptr, nullptr, 0), EINVAL);
    size = 0;
    EXPECT_EQ(ov_utf8_sanitize(out, "a", &size, nullptr, 0), EINVAL);
    EXPECT_STREQ(out, "old");
    size = sizeof out;
    EXPECT_EQ(ov_utf8_sanitize(out, nullptr, &size, nullptr, 0), EINVAL);
    EXPECT_STREQ(out, "");
    // A replacement that would make the output malformed or end it early.
    std::strcpy(out, "old");
    size = sizeof out;
    EXPECT_EQ(ov_utf8_sanitize(out, "\xFF", &size, "\xC3", 1), EINVAL);
    EXPECT_STREQ(out, "");
    size = sizeof out;
    EXPECT_EQ(ov_utf8_sanitize(out, "\xFF", &size, "a\0b", 3), EINVAL);
}

// ---- UTF-8 to UTF-16 and back ---------------------------------------------------------------

TEST(Utf8ToUtf16, ReportsTheSizeNeededAndWritesSurrogatePairs) {
    size_t size = 0;
    EXPECT_EQ(ov_utf8_to_utf16("\xF0\x9F\x98\x80", 0, nullptr, &size), ERANGE);
    EXPECT_EQ(size, 6u);
    uint16_t out[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
    size = 6;
    ASSERT_OV_OK(ov_utf8_to_utf16("\xF0\x9F\x98\x80", 0, out, &size));
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(out[0], 0xD83D);
    EXPECT_EQ(out[1], 0xDE00);
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(out[3], 0xAAAA);

    size = 4;  // one unit short: nothing is written
    out[0] = 0xAAAA;
    EXPECT_EQ(ov_utf8_to_utf16("\xF0\x9F\x98\x80", 1, out, &size), ERANGE);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(out[0], 0xAAAA);

    size = 0;
    EXPECT_EQ(ov_utf8_to_utf16("", 0, nullptr, &size), ERANGE);
    EXPECT_EQ(size, 2u);
    size = 2;
    ASSERT_OV_OK(ov_utf8_to_utf16("", 0, out, &size));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(out[0], 0);
}

TEST(Utf8ToUtf16, RefusesMalformedTextAndBadArguments) {
    for (const char *bad : {"a\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "x\xE2\x82", "\x80",
                            "\xF8\x88\x80\x80\x80"}) {
        for (int lenient = 0; lenient < 2; ++lenient) {
            size_t size = 0;
            EXPECT_EQ(ov_utf8_to_utf16(bad, lenient, nullptr, &size), EINVAL);
            uint16_t out[64] = {0xAAAA};
            size = sizeof out;  // room for any result
            EXPECT_EQ(ov_utf8_to_utf16(bad, lenient, out, &size), EINVAL);
            EXPECT_EQ(out[0], 0xAAAA);  // nothing written
            EXPECT_EQ(size, sizeof out);
        }
    }
    uint16_t out[4];
    size_t size = sizeof out;
    EXPECT_EQ(ov_utf8_to_utf16(nullptr, 0, out, &size), EINVAL);
    EXPECT_EQ(ov_utf8_to_utf16("a", 0, out, nullptr), EINVAL);
    EXPECT_EQ(ov_utf8_to_utf16("a", 0, nullptr, &size), EINVAL);
}

TEST(Utf16ToUtf8, LoneSurrogatesAreRefusedOrKeptAsTheirOwnValue) {
    const uint16_t lone_low[] = {0xDC00, 0};
    char out[16];
    size_t size = sizeof out;
    EXPECT_EQ(ov_utf16_to_utf8(lone_low, 0, out, &size), EINVAL);
    ASSERT_OV_OK(ov_utf16_to_utf8(lone_low, 1, out, &size));
    EXPECT_STREQ(out, "\xED\xB0\x80");
    EXPECT_EQ(size, sizeof out);  // unchanged on success

    const uint16_t lone_high[] = {0xD800, 'a', 0};
    EXPECT_EQ(ov_utf16_to_utf8(lone_high, 0, out, &size), EINVAL);
    ASSERT_OV_OK(ov_utf16_to_utf8(lone_high, 1, out, &size));
    EXPECT_STREQ(out,
                 "\xED\xA0\x80"
                 "a");

    const uint16_t high_at_end[] = {'a', 0xDBFF, 0};
    for (int lenient = 0; lenient < 2; ++lenient) {
        size = sizeof out;
        EXPECT_EQ(ov_utf16_to_utf8(high_at_end, lenient, out, &size), EINVAL);
        size = 0;
        EXPECT_EQ(ov_utf16_to_utf8(high_at_end, lenient, nullptr, &size), EINVAL);
    }

    const uint16_t pair[] = {'x', 0xD83D, 0xDE00, 0};
    size = 0;
    EXPECT_EQ(ov_utf16_to_utf8(pair, 0, nullptr, &size), ERANGE);
    EXPECT_EQ(size, 6u);
    std::memset(out, '#', sizeof out);
    size = 5;
    EXPECT_EQ(ov_utf16_to_utf8(pair, 0, out, &size), ERANGE);
    EXPECT_EQ(out[0], '#');
    size = 6;
    ASSERT_OV_OK(ov_utf16_to_utf8(pair, 0, out, &size));
    EXPECT_STREQ(out, "x\xF0\x9F\x98\x80");

    EXPECT_EQ(ov_utf16_to_utf8(nullptr, 0, out, &size), EINVAL);
    EXPECT_EQ(ov_utf16_to_utf8(pair, 0, out, nullptr), EINVAL);
    EXPECT_EQ(ov_utf16_to_utf8(pair, 0, nullptr, &size), EINVAL);
}

// Surrogates at every position of texts long enough for the block checks,
// among ASCII and among characters of two and three bytes.
TEST(Utf16ToUtf8, SurrogatesAreJudgedWhereverTheyLie) {
    for (uint16_t filler : {uint16_t{'a'}, uint16_t{0x0416}, uint16_t{0x4E2D}}) {
        const std::string fill = encode(filler);
        for (size_t at = 0; at < 40; ++at) {
            SCOPED_TRACE(::testing::Message() << std::hex << filler << std::dec << " at " << at);
            U16 text(41, filler);
            text[41 - 1] = 0;
            char out[256];
            size_t size = sizeof out;
            if (at + 1 < 40) {
                text[at] = 0xD83D;  // a pair: U+1F600
                text[at + 1] = 0xDE00;
                ASSERT_OV_OK(ov_utf16_to_utf8(text.data(), 0, out, &size));
                std::string expected;
                for (size_t k = 0; k < 40; ++k)
                    expected += k == at ? "\xF0\x9F\x98\x80" : k == at + 1 ? "" : fill;
                EXPECT_TRUE(std::string(out) == expected);
                text[at + 1] = filler;  // the high one alone
                EXPECT_EQ(ov_utf16_to_utf8(text.data(), 0, out, &size), EINVAL);
                ASSERT_OV_OK(ov_utf16_to_utf8(text.data(), 1, out, &size));
                EXPECT_EQ(std::strlen(out), 39 * fill.size() + 3);
            } else {
                text[at] = 0xD83D;  // the high one right before the terminator
                EXPECT_EQ(ov_utf16_to_utf8(text.data(), 0, out, &size), EINVAL);
                EXPECT_EQ(ov_utf16_to_utf8(text.data(), 1, out, &size), EINVAL);
            }
            text[at] = 0xDE00;  // a low one alone
            if (at + 1 < 40) text[at + 1] = filler;
            EXPECT_EQ(ov_utf16_to_utf8(text.data(), 0, out, &size), EINVAL);
            ASSERT_OV_OK(ov_utf16_to_utf8(text.data(), 1, out, &size));
            EXPECT_EQ(std::string(out).substr(at * fill.size(), 3), "\xED\xB8\x80");
        }
    }
}

// Every scalar value, in runs that mix with ASCII so that the block paths
// and the character paths meet at every offset; both the one-pass
// conversion (a generous buffer) and the counted one (the exact size).
TEST(Utf16RoundTrip, EveryScalarValueBothWaysWithExactAndGenerousBuffers) {
    std::string text;
    for (uint32_t c = 1; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        text += encode(c);
        if (c % 97 == 0) text += std::string(c % 23, 'k');
    }
    size_t size = 0;
    ASSERT_EQ(ov_utf8_to_utf16(text.c_str(), 0, nullptr, &size), ERANGE);
    U16 exact(size / 2);
    ASSERT_OV_OK(ov_utf8_to_utf16(text.c_str(), 0, exact.data(), &size));
    U16 generous(text.size() + 1);
    size_t generous_size = generous.size() * 2;
    ASSERT_OV_OK(ov_utf8_to_utf16(text.c_str(), 0, generous.data(), &generous_size));
    ASSERT_EQ(generous_size, size);
    ASSERT_EQ(std::memcmp(exact.data(), generous.data(), size + 2), 0);
    ASSERT_EQ(ov_utf16_strlen(exact.data()), size / 2);

    size_t back_size = 0;
    ASSERT_EQ(ov_utf16_to_utf8(exact.data(), 0, nullptr, &back_size), ERANGE);
    ASSERT_EQ(back_size, text.size() + 1);
    std::string back(back_size, '#');
    ASSERT_OV_OK(ov_utf16_to_utf8(exact.data(), 0, back.data(), &back_size));
    EXPECT_TRUE(std::string(back.c_str()) == text);
    std::string roomy(3 * exact.size() + 1, '#');
    size_t roomy_size = roomy.size();
    ASSERT_OV_OK(ov_utf16_to_utf8(exact.data(), 0, roomy.data(), &roomy_size));
    EXPECT_TRUE(std::string(roomy.c_str()) == text);
    EXPECT_EQ(ov_utf8_is_valid(text.c_str(), SIZE_MAX), 1);
}

// ---- The ellipsis ---------------------------------------------------------------

TEST(Utf8Ellipsize, KeepsLimitCharactersInEachMode) {
    const char *ten = "0123456789";
    char out[32];
    EXPECT_STREQ(ov_utf8_ellipsize(ten, out, 7, 1), "0123...");
    EXPECT_STREQ(ov_utf8_ellipsize(ten, out, 7, -1), "...6789");
    EXPECT_STREQ(ov_utf8_ellipsize(ten, out, 7, 0), "01...89");
    EXPECT_STREQ(ov_utf8_ellipsize(ten, out, 8, 0), "01...789");
    EXPECT_STREQ(ov_utf8_ellipsize(ten, out, 3, 0), "...");
    EXPECT_STREQ(ov_utf8_ellipsize(ten, out, 10, 0), ten);
    EXPECT_EQ(ov_utf8_ellipsize(ten, out, 7, 1), out);

    // Characters of two to four bytes are kept or dropped whole.
    const char *mixed =
        "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"
        "abc\xF0\x9F\x98\x80\xC3\xA9";
    EXPECT_STREQ(ov_utf8_ellipsize(mixed, out, 5, 1), "\xC3\xA9\xE2\x82\xAC...");
    EXPECT_STREQ(ov_utf8_ellipsize(mixed, out, 5, -1), "...\xF0\x9F\x98\x80\xC3\xA9");
    EXPECT_STREQ(ov_utf8_ellipsize(mixed, out, 6, 0), "\xC3\xA9...\xF0\x9F\x98\x80\xC3\xA9");

    char *heap = ov_utf8_ellipsize(mixed, nullptr, 7, 1);
    ASSERT_NE(heap, nullptr);
    EXPECT_STREQ(heap,
                 "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"
                 "a...");
    std::free(heap);
    heap = ov_utf8_ellipsize("short", nullptr, 10, 0);
    ASSERT_NE(heap, nullptr);
    EXPECT_STREQ(heap, "short");
    std::free(heap);

    char in_place[] = "abcdefghij";
    EXPECT_STREQ(ov_utf8_ellipsize(in_place, in_place, 6, -1), "...hij");
}

TEST(Utf8Ellipsize, RefusesWhatItCannotShorten) {
    char out[16];
    EXPECT_EQ(ov_utf8_ellipsize(nullptr, out, 5, 0), nullptr);
    EXPECT_EQ(ov_utf8_ellipsize("", out, 5, 0), nullptr);
    EXPECT_EQ(ov_utf8_ellipsize("abcdef", out, 2, 0), nullptr);
    EXPECT_EQ(ov_utf8_ellipsize("abc\xFF"
                                "defgh",
                                out, 5, 0),
              nullptr);
    EXPECT_EQ(ov_utf8_ellipsize("abcdefg\xE2\x82", out, 5, 0), nullptr);
}

}  // namespace
