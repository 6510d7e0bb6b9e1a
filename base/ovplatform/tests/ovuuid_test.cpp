// ovuuid_test.cpp - identifiers, their text form, append and parse.
#include <ovplatform/overror.h>
#include <ovplatform/ovuuid.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>

#include "test_util.h"

namespace {

const uint8_t kCounting[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                               0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
const char kCountingText[] = "00010203-0405-0607-0809-0a0b0c0d0e0f";

// 8-4-4-4-12 lowercase hexadecimal digits and hyphens, nothing else.
bool is_uuid_text(const std::string &s) {
    if (s.size() != 36) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen != (s[i] == '-')) return false;
        if (!hyphen && !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
        if (std::isupper(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
}

TEST(UuidText, BytesInOrderAsLowercaseGroups) {
    char text[40];
    std::memset(text, '#', sizeof text);
    EXPECT_OV_OK(ov_uuid_to_string(kCounting, text));
    EXPECT_STREQ(text, kCountingText);
    EXPECT_EQ(text[37], '#');  // exactly 37 bytes written

    const uint8_t high[16] = {0xff, 0xfe, 0xab, 0xcd, 0x10, 0x9a, 0xf0, 0x0f,
                              0x80, 0x7f, 0xde, 0xad, 0xbe, 0xef, 0x01, 0x23};
    EXPECT_OV_OK(ov_uuid_to_string(high, text));
    EXPECT_STREQ(text, "fffeabcd-109a-f00f-807f-deadbeef0123");
}

TEST(UuidText, ClearedIdentifierIsAllZeros) {
    uint8_t id[16];
    EXPECT_OV_OK(ov_uuid_generate(id));
    EXPECT_OV_OK(ov_uuid_clear(id));
    char text[37];
    EXPECT_OV_OK(ov_uuid_to_string(id, text));
    EXPECT_STREQ(text, "00000000-0000-0000-0000-000000000000");
}

TEST(UuidGenerate, SuccessiveIdentifiersDiffer) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        uint8_t id[16];
        ASSERT_OV_OK(ov_uuid_generate(id));
        char text[37];
        ASSERT_OV_OK(ov_uuid_to_string(id, text));
        ASSERT_TRUE(is_uuid_text(text)) << text;
        ASSERT_TRUE(seen.insert(text).second) << "repeated " << text;
    }
}

TEST(UuidGenerate, NullArgumentsAreRefused) {
    char text[37];
    EXPECT_EQ(ov_uuid_generate(nullptr), EINVAL);
    EXPECT_EQ(ov_uuid_clear(nullptr), EINVAL);
    EXPECT_EQ(ov_uuid_to_string(nullptr, text), EINVAL);
    EXPECT_EQ(ov_uuid_to_string(kCounting, nullptr), EINVAL);
}

// ---- Append -------------------------------------------------------------------

TEST(UuidAppend, NeedsThirtySevenFreeBytes) {
    char buf[37];
    uint64_t pos = 0;
    EXPECT_OV_OK(ov_uuid_append(buf, sizeof buf, &pos));
    EXPECT_EQ(pos, 36u);
    EXPECT_TRUE(is_uuid_text(buf)) << buf;

    char small[36];
    std::memset(small, '#', sizeof small);
    pos = 0;
    EXPECT_EQ(ov_uuid_append(small, sizeof small, &pos), EBUFFER);
    EXPECT_EQ(pos, 0u);
    for (char c : small) EXPECT_EQ(c, '#');
}

TEST(UuidAppend, AtAnOffsetLeavingThirtySixOrThirtySevenBytes) {
    char buf[50];
    std::memset(buf, '#', sizeof buf);
    uint64_t pos = 14;  // 36 bytes left
    EXPECT_EQ(ov_uuid_append(buf, sizeof buf, &pos), EBUFFER);
    EXPECT_EQ(pos, 14u);
    for (char c : buf) EXPECT_EQ(c, '#');

    pos = 13;  // 37 bytes left
    EXPECT_OV_OK(ov_uuid_append(buf, sizeof buf, &pos));
    EXPECT_EQ(pos, 49u);
    EXPECT_EQ(buf[12], '#');
    EXPECT_TRUE(is_uuid_text(buf + 13)) << buf + 13;
}

TEST(UuidAppend, TwiceBackToBack) {
    char buf[100];
    uint64_t pos = 0;
    EXPECT_OV_OK(ov_uuid_append(buf, sizeof buf, &pos));
    EXPECT_OV_OK(ov_uuid_append(buf, sizeof buf, &pos));
    EXPECT_EQ(pos, 72u);
    std::string text(buf);
    ASSERT_EQ(text.size(), 72u);
    EXPECT_TRUE(is_uuid_text(text.substr(0, 36)));
    EXPECT_TRUE(is_uuid_text(text.substr(36)));
    EXPECT_NE(text.substr(0, 36), text.substr(36));
    // A third no longer fits: 28 bytes are free.
    EXPECT_EQ(ov_uuid_append(buf, sizeof buf, &pos), EBUFFER);
    EXPECT_EQ(pos, 72u);
}

TEST(UuidAppend, NullPositionWritesAtTheStart) {
    char buf[64];
    std::memset(buf, '#', sizeof buf);
    EXPECT_OV_OK(ov_uuid_append(buf, sizeof buf, nullptr));
    EXPECT_TRUE(is_uuid_text(buf));
    EXPECT_EQ(buf[37], '#');
}

TEST(UuidAppend, SizesAndOffsetsThatCannotFit) {
    char buf[64];
    uint64_t pos = 0;
    EXPECT_EQ(ov_uuid_append(buf, -1, &pos), EBUFFER);
    EXPECT_EQ(ov_uuid_append(buf, INT64_MIN, &pos), EBUFFER);
    pos = 65;  // beyond the size
    EXPECT_EQ(ov_uuid_append(buf, sizeof buf, &pos), EBUFFER);
    pos = UINT64_MAX;  // would wrap a subtraction
    EXPECT_EQ(ov_uuid_append(buf, sizeof buf, &pos), EBUFFER);
    EXPECT_EQ(ov_uuid_append(nullptr, 64, nullptr), EINVAL);
}

// ---- Parse -----------------------------------------------------------------------

TEST(UuidParse, TextFormRoundTrips) {
    for (int i = 0; i < 50; ++i) {
        uint8_t id[16], back[16];
        ASSERT_OV_OK(ov_uuid_generate(id));
        char text[37];
        ASSERT_OV_OK(ov_uuid_to_string(id, text));
        ASSERT_OV_OK(ov_uuid_parse(text, back));
        ASSERT_EQ(std::memcmp(id, back, 16), 0) << text;
    }
}

TEST(UuidParse, UpperCaseAndNoHyphens) {
    uint8_t id[16];
    EXPECT_OV_OK(ov_uuid_parse("00010203-0405-0607-0809-0A0B0C0D0E0F", id));
    EXPECT_EQ(std::memcmp(id, kCounting, 16), 0);
    std::memset(id, 0xAA, sizeof id);
    EXPECT_OV_OK(ov_uuid_parse("000102030405060708090a0b0c0d0e0f", id));
    EXPECT_EQ(std::memcmp(id, kCounting, 16), 0);
    // Hyphens anywhere, in any number, play no part.
    std::memset(id, 0xAA, sizeof id);
    EXPECT_OV_OK(ov_uuid_parse("-0-00102--030405060708090a0b0c0d0e0f-", id));
    EXPECT_EQ(std::memcmp(id, kCounting, 16), 0);
}

TEST(UuidParse, TooFewDigitsGiveErange) {
    uint8_t id[16];
    EXPECT_EQ(ov_uuid_parse("", id), ERANGE);
    EXPECT_EQ(ov_uuid_parse("----", id), ERANGE);
    std::string digits31(31, 'a');
    EXPECT_EQ(ov_uuid_parse(digits31.c_str(), id), ERANGE);
    EXPECT_EQ(ov_uuid_parse("00010203-0405-0607-0809-0a0b0c0d0e0", id), ERANGE);
}

TEST(UuidParse, BadDigitGivesEinval) {
    uint8_t id[16];
    std::memset(id, 0xAA, sizeof id);
    EXPECT_EQ(ov_uuid_parse("0001g203-0405-0607-0809-0a0b0c0d0e0f", id), EINVAL);
    // The bytes completed before it stay written; the half byte does not.
    EXPECT_EQ(id[0], 0x00);
    EXPECT_EQ(id[1], 0x01);
    EXPECT_EQ(id[2], 0xAA);
    std::string late = std::string(31, '0') + "g";
    EXPECT_EQ(ov_uuid_parse(late.c_str(), id), EINVAL);
    EXPECT_EQ(ov_uuid_parse("{00010203-0405-0607-0809-0a0b0c0d0e0f}", id), EINVAL);
    EXPECT_EQ(ov_uuid_parse(" 00010203", id), EINVAL);
    EXPECT_EQ(ov_uuid_parse(nullptr, id), EINVAL);
    EXPECT_EQ(ov_uuid_parse("00", nullptr), EINVAL);
}

TEST(UuidParse, AnythingAfterThirtyTwoDigitsIsIgnored) {
    uint8_t id[16];
    EXPECT_OV_OK(ov_uuid_parse("000102030405060708090a0b0c0d0e0fXYZ not hex", id));
    EXPECT_EQ(std::memcmp(id, kCounting, 16), 0);
    EXPECT_OV_OK(ov_uuid_parse("000102030405060708090a0b0c0d0e0f0", id));
}

}  // namespace
