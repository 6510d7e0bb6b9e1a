// overror_test.cpp - names and messages of the platform error codes.
#include <ovplatform/overror.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

std::string message(int32_t code, size_t size = 256) {
    std::vector<char> buf(size, '#');
    EXPECT_EQ(ov_error_string(code, buf.data(), buf.size()), 0) << code;
    return std::string(buf.data());
}

// The host's text for a number, from the re-entrant call.
std::string host_text(int32_t code) {
    char buf[256];
    return strerror_r(code, buf, sizeof buf);
}

// ---- Messages ---------------------------------------------------------------

TEST(ErrorString, LibraryTableBoundaries) {
    EXPECT_EQ(message(0x7005, 64), "Insufficient buffer space");
    EXPECT_EQ(message(28672), "Invalid doc root path");                  // first slot
    EXPECT_EQ(message(28713), "Server-side Encryption At Rest failed");  // last slot
    EXPECT_EQ(message(ELOCKED), "Already locked");
    EXPECT_EQ(message(ELOCKSKEW), "Lock time skew detected");
    EXPECT_EQ(message(ECONNINSECURE), "Connection insecure");
}

TEST(ErrorString, EveryListedCodeHasItsMessage) {
#define CHECK_MESSAGE(name, value, text) EXPECT_EQ(message(name), text) << #name;
    OV_ERROR_LIST(CHECK_MESSAGE)
#undef CHECK_MESSAGE
}

TEST(ErrorString, NumbersOutsideTheTableTakeTheHostText) {
    // Just below the block, ERR_END, above it, negatives, the two unused
    // numbers inside the block, success and ordinary errno values.
    for (int32_t code : {28671, 28714, 28715, 0x7FFF, INT32_MAX, -1, -28672, INT32_MIN, 0x7017,
                         0x7018, 0, 2, 6, 22}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(message(code), host_text(code));
    }
    // ERR_END is a number the host has no message for: its text names it.
    EXPECT_NE(message(ERR_END).find("28714"), std::string::npos);
    EXPECT_NE(message(-5).find("-5"), std::string::npos);
}

TEST(ErrorString, SmallBuffersCutTheText) {
    std::string enoent = host_text(ENOENT);
    ASSERT_GT(enoent.size(), 7u);
    EXPECT_EQ(message(ENOENT, 8), enoent.substr(0, 7));
    EXPECT_EQ(message(EBUFFER, 1), "");
    EXPECT_EQ(message(EBUFFER, 2), "I");
    EXPECT_EQ(message(EBUFFER, 26), "Insufficient buffer space");  // exact fit
    EXPECT_EQ(message(EBUFFER, 25), "Insufficient buffer spac");
    // The host's own text written into a small buffer is still terminated.
    std::string unknown = host_text(ERR_END);
    EXPECT_EQ(message(ERR_END, 5), unknown.substr(0, 4));
    EXPECT_EQ(message(-1, 1), "");
}

TEST(ErrorString, NullBufferOrSizeZeroIsRejected) {
    EXPECT_EQ(ov_error_string(EBUFFER, nullptr, 10), EINVAL);
    char buf[4] = "abc";
    EXPECT_EQ(ov_error_string(EBUFFER, buf, 0), EINVAL);
    EXPECT_STREQ(buf, "abc");
    EXPECT_STREQ(ov_error_text(EBUFFER, nullptr, 10), "Could not retrieve error message");
    EXPECT_STREQ(ov_error_text(EBUFFER, buf, 0), "Could not retrieve error message");
    EXPECT_STREQ(buf, "abc");
}

TEST(ErrorText, ReturnsTheCallersBuffer) {
    char buf[64];
    EXPECT_EQ(ov_error_text(ELOCKINVAL, buf, sizeof buf), buf);
    EXPECT_STREQ(buf, "Invalid lock");
    char small[4];
    EXPECT_EQ(ov_error_text(ELOCKINVAL, small, sizeof small), small);
    EXPECT_STREQ(small, "Inv");
}

TEST(ErrorString, SafeFromManyThreads) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; ++i) {
                char buf[64];
                int32_t code = (i % 2) ? EBUFFER : 20000 + t;  // table and host paths
                ASSERT_EQ(ov_error_string(code, buf, sizeof buf), 0);
                if (code == EBUFFER)
                    ASSERT_STREQ(buf, "Insufficient buffer space");
                else
                    ASSERT_NE(std::strstr(buf, std::to_string(code).c_str()), nullptr);
            }
        });
    }
    for (auto &th : threads) th.join();
}

// ---- Names ------------------------------------------------------------------

TEST(ErrorName, HostNumbersWithNamesOfTheirOwn) {
    struct {
        int32_t code;
        const char *name;
    } cases[] = {
        // clang-format off
        {0, "OK"},           {1, "EPERM"},         {2, "ENOENT"},        {3, "ESRCH"},
        {4, "EINTR"},        {5, "EIO"},           {9, "EBADF"},         {11, "EWOULDBLOCK"},
        {12, "ENOMEM"},      {13, "EACCES"},       {16, "ENOTREADY"},    {17, "EEXIST"},
        {20, "ENOTDIR"},     {22, "EINVAL"},       {23, "ENFILE"},       {24, "EMFILE"},
        {28, "ENOSPC"},      {34, "ERANGE"},       {36, "EPATHMAX"},     {39, "ENOTEMPTY"},
        {89, "EDESTADDRREQ"}, {90, "EMSGSIZE"},    {95, "ENOTSUP"},      {97, "EAFNOSUPPORT"},
        {98, "EADDRINUSE"},  {104, "ECONNRESET"},  {105, "ENOBUFS"},     {106, "EISCONN"},
        {107, "ENOTCONN"},   {110, "ETIMEDOUT"},   {111, "ECONNREFUSED"}, {115, "EINPROGRESS"},
        // clang-format on
    };
    EXPECT_EQ(std::size(cases), 32u);  // OK and the 31 host names
    for (const auto &c : cases) EXPECT_STREQ(ov_error_name(c.code), c.name) << c.code;
}

TEST(ErrorName, EveryLibraryCodeAndTheEndMarker) {
#define CHECK_NAME(name, value, text) EXPECT_STREQ(ov_error_name(value), #name);
    OV_ERROR_LIST(CHECK_NAME)
#undef CHECK_NAME
    EXPECT_STREQ(ov_error_name(28672), "EDOCROOT");
    EXPECT_STREQ(ov_error_name(28713), "ESSEARFATAL");
    EXPECT_STREQ(ov_error_name(28714), "ERR_END");
}

TEST(ErrorName, OtherNumbersGiveTheHostText) {
    for (int32_t code : {6, 7, 28671, 28715, 0x7017, 0x7018, -1, -28677}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(std::string(ov_error_name(code)), host_text(code));
    }
    EXPECT_STRNE(ov_error_name(6), "ENXIO");
}

}  // namespace
