// ovtime_test.cpp - clocks, elapsed time and time-value arithmetic.
#include <ovplatform/ovlog.h>
#include <ovplatform/ovtime.h>

#include <sys/time.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using ovtest::LogCapture;

constexpr char kSource[] = "base/ovplatform/src/ovtime";
constexpr int64_t kMax = INT64_MAX;
constexpr int64_t kMin = INT64_MIN;
const ov_timeval_t kInfinite{kMax, 999999};

std::string str(const ov_timeval_t &t) {
    // Built by appending: gcc 12 at -O3 warns falsely (-Wrestrict) about a
    // literal put in front of a temporary string.
    std::string out = "{";
    out.append(std::to_string(t.tv_sec)).append(", ").append(std::to_string(t.tv_usec));
    return out + "}";
}

#define EXPECT_TV(actual, sec, usec)                \
    do {                                            \
        const ov_timeval_t tv_ = (actual);          \
        EXPECT_EQ(tv_.tv_sec, (sec)) << str(tv_);   \
        EXPECT_EQ(tv_.tv_usec, (usec)) << str(tv_); \
    } while (0)

int64_t usec_of(const ov_timeval_t &t) {
    return t.tv_sec * 1000000 + t.tv_usec;
}

TEST(TimeClock, MonotonicReadingsAreNormalisedAndNeverGoBack) {
    EXPECT_EQ(ov_time_monotonic_now(nullptr), EINVAL);
    ov_timeval_t a{-1, -1}, b{-1, -1};
    ASSERT_OV_OK(ov_time_monotonic_now(&a));
    ASSERT_OV_OK(ov_time_monotonic_now(&b));
    for (const auto &t : {a, b}) {
        EXPECT_GE(t.tv_sec, 0);
        EXPECT_GE(t.tv_usec, 0);
        EXPECT_LE(t.tv_usec, 999999);
    }
    EXPECT_LE(usec_of(a), usec_of(b));
}

TEST(TimeClock, UsecNowIsTheMonotonicClockAsOneCount) {
    EXPECT_EQ(ov_time_usec_now(0, nullptr), EINVAL);
    ov_timeval_t before, after;
    uint64_t usec = 0;
    ASSERT_OV_OK(ov_time_monotonic_now(&before));
    ASSERT_OV_OK(ov_time_usec_now(0, &usec));
    ASSERT_OV_OK(ov_time_monotonic_now(&after));
    EXPECT_GE(usec, static_cast<uint64_t>(usec_of(before)));
    EXPECT_LE(usec, static_cast<uint64_t>(usec_of(after)));
}

TEST(TimeClock, WallclockFollowsTheSystemTime) {
    EXPECT_EQ(ov_time_wallclock(nullptr, nullptr), EINVAL);
    ov_timeval_t now{};
    const time_t before = time(nullptr);
    ASSERT_OV_OK(ov_time_wallclock(&now, nullptr));
    const time_t after = time(nullptr);
    EXPECT_GE(now.tv_sec, before);
    EXPECT_LE(now.tv_sec, after);
    EXPECT_LT(now.tv_usec, 1000000);
}

TEST(TimeClock, MillisecondsSinceStartCountFromTheMark) {
    ov_timeval_t before, after;
    ASSERT_OV_OK(ov_time_monotonic_now(&before));
    ASSERT_OV_OK(ov_time_mark_start());
    const uint64_t ms = ov_time_ms_since_start();
    ASSERT_OV_OK(ov_time_monotonic_now(&after));
    EXPECT_LE(ms, static_cast<uint64_t>(ov_time_diff_usec(&after, &before) / 1000 + 1));
}

TEST(TimeElapsed, CountsFromAnEarlierReading) {
    ov_timeval_t start, now{-1, -1};
    ASSERT_OV_OK(ov_time_monotonic_now(&start));
    uint64_t elapsed = 12345;
    ASSERT_OV_OK(getnstore_usec_since(&start, &now, &elapsed));
    // The stored reading is the one the count was taken against.
    EXPECT_EQ(static_cast<int64_t>(elapsed), ov_time_diff_usec(&now, &start));
    ASSERT_OV_OK(get_usec_since(&start, &elapsed));
    EXPECT_GE(static_cast<int64_t>(elapsed), ov_time_diff_usec(&now, &start));
    ASSERT_OV_OK(get_usec_since_small(&start, &elapsed));
    EXPECT_GE(static_cast<int64_t>(elapsed), ov_time_diff_usec(&now, &start));
}

TEST(TimeElapsed, StartInTheFutureIsRefusedWithZero) {
    ov_timeval_t future;
    ASSERT_OV_OK(ov_time_monotonic_now(&future));
    ov_time_add_usec(&future, 1000000000);  // far enough that no scheduling delay reaches it
    const std::vector<ov_timeval_t> starts = {future, {kMax, 0}};
    for (const auto &start : starts) {
        SCOPED_TRACE(str(start));
        uint64_t elapsed = 12345;
        ov_timeval_t now{-1, -1};
        EXPECT_EQ(getnstore_usec_since(&start, &now, &elapsed), EINVAL);
        EXPECT_EQ(elapsed, 0u);
        EXPECT_GT(now.tv_sec, 0) << "the reading is stored on failure too";
        elapsed = 12345;
        EXPECT_EQ(get_usec_since(&start, &elapsed), EINVAL);
        EXPECT_EQ(elapsed, 0u);
        elapsed = 12345;
        EXPECT_EQ(get_usec_since_small(&start, &elapsed), EINVAL);
        EXPECT_EQ(elapsed, 0u);
    }
}

TEST(TimeElapsed, StartInTheFutureIsLoggedWithBothReadings) {
    const ov_timeval_t start{kMax, 42};
    LogCapture log;
    ASSERT_TRUE(log.ok());
    uint64_t elapsed = 1;
    ov_timeval_t now{};
    EXPECT_EQ(getnstore_usec_since(&start, &now, &elapsed), EINVAL);
    EXPECT_EQ(get_usec_since(&start, &elapsed), EINVAL);
    EXPECT_EQ(get_usec_since_small(&start, &elapsed), EINVAL);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    const std::string tail = ": big old " + std::to_string(kMax) + ".42 > ";
    const std::string prefixes[] = {"getnstore_usec_since (start ticks 0)" + tail,
                                    "get_usec_since (start ticks 0)" + tail,
                                    "get_usec_since_small (start ticks 0)" + tail};
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].level, 1u);
        EXPECT_EQ(lines[i].text.rfind(prefixes[i], 0), 0u) << lines[i].text;
    }
    // The stored reading is the one the message names, not zero-padded.
    EXPECT_EQ(lines[0].text,
              prefixes[0] + std::to_string(now.tv_sec) + "." + std::to_string(now.tv_usec));
}

TEST(TimeElapsed, StartAtMinusInfinityIsAsLongAgoAsCanBeCounted) {
    const ov_timeval_t start{kMin, 0};
    uint64_t elapsed = 0;
    ASSERT_OV_OK(get_usec_since(&start, &elapsed));
    EXPECT_EQ(elapsed, static_cast<uint64_t>(INT64_MAX));
}

TEST(TimeElapsed, NullArgumentsAreRefused) {
    ov_timeval_t t{};
    uint64_t out = 0;
    EXPECT_EQ(getnstore_usec_since(nullptr, &t, &out), EINVAL);
    EXPECT_EQ(getnstore_usec_since(&t, nullptr, &out), EINVAL);
    EXPECT_EQ(getnstore_usec_since(&t, &t, nullptr), EINVAL);
    EXPECT_EQ(get_usec_since(nullptr, &out), EINVAL);
    EXPECT_EQ(get_usec_since(&t, nullptr), EINVAL);
    EXPECT_EQ(get_usec_since_small(nullptr, &out), EINVAL);
    EXPECT_EQ(get_usec_since_small(&t, nullptr), EINVAL);
}

struct AddCase {
    ov_timeval_t target, addend, expected;
};

TEST(TimeAdd, FiniteSumsCarryWholeSeconds) {
    const AddCase cases[] = {
        {{1, 700000}, {2, 600000}, {4, 300000}},
        {{1, 400000}, {0, 600000}, {2, 0}},       // exactly 1000000 carries
        {{1, 400000}, {0, 599999}, {1, 999999}},  // one short does not
        {{0, 999999}, {0, 999999}, {1, 999998}},
        {{0, 0}, {0, 2500000}, {2, 500000}},        // several seconds from an unnormalised addend
        {{5, 100000}, {0, -300000}, {5, -200000}},  // negative microseconds stay as they are
        {{-3, 500000}, {1, 600000}, {-1, 100000}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(str(c.target) + " + " + str(c.addend));
        ov_timeval_t t = c.target;
        ov_time_add(&t, &c.addend);
        EXPECT_TV(t, c.expected.tv_sec, c.expected.tv_usec);
    }
}

TEST(TimeAdd, InfinitiesAbsorbAndPropagate) {
    const AddCase cases[] = {
        // An infinite addend is copied whole into the target.
        {{10, 5}, kInfinite, kInfinite},
        {{10, 5}, {kMax, 3}, {kMax, 3}},
        {{10, 5}, {kMin, 7}, {kMin, 7}},
        // An infinite target, either way, ignores any addend.
        {kInfinite, {1, 1}, kInfinite},
        {{kMax, 0}, {1, 999999}, {kMax, 0}},
        {{kMin, 0}, {1, 1}, {kMin, 0}},
        {kInfinite, {kMin, 0}, kInfinite},
        // Finite sums beyond the range of the seconds saturate rather than
        // wrap around to a time in the past.
        {{kMax - 1, 0}, {5, 0}, kInfinite},
        {{kMax - 1, 999999}, {0, 1}, {kMax, 0}},  // reaches the top without overflow
        {{kMax - 1, 999999}, {1, 1}, kInfinite},  // overflows in the carry
        {{kMin + 1, 0}, {-5, 0}, {kMin, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(str(c.target) + " + " + str(c.addend));
        ov_timeval_t t = c.target;
        ov_time_add(&t, &c.addend);
        EXPECT_TV(t, c.expected.tv_sec, c.expected.tv_usec);
    }
    ov_timeval_t t{1, 2};
    ov_time_add(&t, nullptr);
    ov_time_add(nullptr, &t);
    EXPECT_TV(t, 1, 2);
}

TEST(TimeAdd, InfinitiesAreReportedAsDebugTraces) {
    LogCapture log;
    ASSERT_TRUE(log.ok());
    ov_timeval_t t{1, 0};
    const ov_timeval_t one{1, 0}, minus_infinite{kMin, 0};
    ov_time_add(&t, &kInfinite);
    ov_time_add(&t, &one);
    t = {1, 0};
    ov_time_add(&t, &minus_infinite);
    ov_time_add_usec(&t, 5);
    ov_time_add(&t, &one);  // finite: nothing to report
    t = {1, 0};
    ov_time_add(&t, &one);
    const auto lines = log.lines();
    const char *const expected[] = {
        "Incrementing time by infinity.  Setting result to infinity.",
        "Ignoring request to increment infinite time value",
        "Decrementing time by infinity.  Setting result to minus infinity.",
        "Ignoring request to increment infinite time value",
        "Ignoring request to increment infinite time value",
    };
    ASSERT_EQ(lines.size(), std::size(expected));
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].level, 5u);
        EXPECT_EQ(lines[i].source, kSource);
        EXPECT_EQ(lines[i].text, expected[i]);
    }
}

// A count of microseconds added to or taken from a time value, and the
// value that must result.
template <class Usec>
struct StepCase {
    ov_timeval_t target;
    Usec usec;
    ov_timeval_t expected;
};

// Applies step (shown as sign in the trace) to each case's target, and once
// to a null target, which it must ignore.
template <class Usec>
void ExpectSteps(void (*step)(ov_timeval_t *, Usec), const char *sign,
                 std::initializer_list<StepCase<Usec>> cases) {
    for (const auto &c : cases) {
        SCOPED_TRACE(str(c.target) + sign + std::to_string(c.usec));
        ov_timeval_t t = c.target;
        step(&t, c.usec);
        EXPECT_TV(t, c.expected.tv_sec, c.expected.tv_usec);
    }
    step(nullptr, 1);
}

TEST(TimeAdd, MicrosecondCounts) {
    ExpectSteps(ov_time_add_usec, " + ",
                {
                    {{10, 600000}, 2500000, {13, 100000}},
                    {{0, 1}, 999999, {1, 0}},
                    {{0, 0}, 4294967295999999ull, {4294967295, 999999}},
                    {{10, 600000}, UINT64_MAX, kInfinite},
                    {{kMin, 0}, UINT64_MAX, kInfinite},  // all ones wins over any target
                    {{kMax, 0}, 5, {kMax, 0}},
                    {{kMin, 3}, 5, {kMin, 3}},
                });
}

TEST(TimeSub, SubtractsAtMostOneSecondWithBorrow) {
    ExpectSteps(ov_time_sub_usec, " - ",
                {
                    {{10, 200000}, 1500000, {9, 200000}},  // limited to one second
                    {{10, 200000}, 300000, {9, 900000}},   // borrow
                    {{10, 200000}, 200000, {10, 0}},       // equal: no borrow
                    {{10, 200000}, 1000000, {9, 200000}},
                    {{10, 200000}, 0, {10, 200000}},
                });
}

TEST(TimeSub, DifferencesInMicroseconds) {
    const ov_timeval_t a{3, 100}, b{1, 200};
    EXPECT_EQ(ov_time_diff_usec(&a, &b), 1999900);
    EXPECT_EQ(ov_time_diff_usec(&b, &a), -1999900);
    EXPECT_EQ(ov_time_diff_usec(&a, &a), 0);
    // Differences with an infinite value do not fit; they saturate in their
    // direction rather than wrap to the other sign.
    const ov_timeval_t minus_infinite{kMin, 0};
    EXPECT_EQ(ov_time_diff_usec(&kInfinite, &a), INT64_MAX);
    EXPECT_EQ(ov_time_diff_usec(&a, &kInfinite), INT64_MIN);
    EXPECT_EQ(ov_time_diff_usec(&minus_infinite, &a), INT64_MIN);
    EXPECT_EQ(ov_time_diff_usec(&a, &minus_infinite), INT64_MAX);
    const ov_timeval_t near_top{kMax / 1000000, 0};
    EXPECT_EQ(ov_time_diff_usec(&near_top, &b), (kMax / 1000000 - 1) * 1000000 - 200);
}

TEST(TimeSub, SubtractBorrowsAndReportsTheSign) {
    struct Case {
        ov_timeval_t x, y, expected;
        int negative;
    };
    const Case cases[] = {
        {{5, 100000}, {3, 900000}, {1, 200000}, 0}, {{3, 900000}, {5, 100000}, {-2, 800000}, 1},
        {{2, 1000000}, {1, 0}, {1, 1000000}, 0},  // exactly one second is not carried
        {{2, 2500000}, {1, 0}, {3, 500000}, 0},   // more than one second is
        {{1, 0}, {0, 2500000}, {-2, 500000}, 1},    {{4, 4}, {4, 4}, {0, 0}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(str(c.x) + " - " + str(c.y));
        const ov_timeval_t x = c.x, y = c.y;
        ov_timeval_t out{-7, -7};
        EXPECT_EQ(ov_time_subtract(&out, &x, &y), c.negative);
        EXPECT_TV(out, c.expected.tv_sec, c.expected.tv_usec);
        EXPECT_TV(x, c.x.tv_sec, c.x.tv_usec);
        EXPECT_TV(y, c.y.tv_sec, c.y.tv_usec);
    }
}

TEST(TimeInfinite, OnlyTheExactPairIsInfinite) {
    const std::pair<ov_timeval_t, int> cases[] = {
        {kInfinite, 1}, {{kMax, 0}, 0}, {{kMax, 999998}, 0}, {{kMin, 999999}, 0}, {{0, 0}, 0}};
    for (const auto &[value, expected] : cases) {
        SCOPED_TRACE(str(value));
        EXPECT_EQ(ov_time_is_infinite(&value), expected);
    }
    EXPECT_EQ(ov_time_is_infinite(nullptr), 0);
}

// 2023-11-14 22:13:20 UTC.
constexpr time_t kStamp = 1700000000;

TEST(TimeCalendar, ConversionsBothWays) {
    struct tm tm {};
    ASSERT_OV_OK(ov_time_gmtime(&kStamp, &tm));
    EXPECT_EQ(tm.tm_year, 123);
    EXPECT_EQ(tm.tm_mon, 10);
    EXPECT_EQ(tm.tm_mday, 14);
    EXPECT_EQ(tm.tm_hour, 22);
    time_t back = 0;
    ASSERT_OV_OK(ov_time_timegm(&tm, &back));
    EXPECT_EQ(back, kStamp);

    ASSERT_OV_OK(ov_time_localtime(&kStamp, &tm));
    back = 0;
    ASSERT_OV_OK(ov_time_mktime(&tm, &back));
    EXPECT_EQ(back, kStamp);

    // One second before the epoch is -1, which reads as a failure; the value
    // is stored all the same.
    struct tm before_epoch {};
    before_epoch.tm_year = 69;
    before_epoch.tm_mon = 11;
    before_epoch.tm_mday = 31;
    before_epoch.tm_hour = 23;
    before_epoch.tm_min = 59;
    before_epoch.tm_sec = 59;
    back = 0;
    EXPECT_EQ(ov_time_timegm(&before_epoch, &back), EINVAL);
    EXPECT_EQ(back, -1);

    const time_t huge = INT64_MAX;
    EXPECT_EQ(ov_time_gmtime(&huge, &tm), EOVERFLOW);
    EXPECT_EQ(ov_time_localtime(&huge, &tm), EOVERFLOW);
    EXPECT_EQ(ov_time_gmtime(nullptr, &tm), EINVAL);
    EXPECT_EQ(ov_time_gmtime(&kStamp, nullptr), EINVAL);

    time_t seconds = 0;
    int64_t copy = 0;
    ASSERT_OV_OK(ov_time_set_seconds(&seconds, -42));
    ASSERT_OV_OK(ov_time_get_seconds(&seconds, &copy));
    EXPECT_EQ(copy, -42);
}

TEST(TimeFormat, MillisecondExtension) {
    struct Case {
        const char *format;
        int64_t usec;
        const char *with_ms;     // ov_time_format_utc_ms
        const char *without_ms;  // ov_time_format_utc
    };
    const Case cases[] = {
        {"%H:%M:%S.%L", 12345, "22:13:20.012", "22:13:20.000"},
        {"%L", 999999, "999", "000"},
        {"%L", 0, "000", "000"},
        {"%L", 5000000, "999", "000"},                       // beyond a second: capped
        {"%L", -1000, "999", "000"},                         // read as unsigned: capped
        {"%L%L%L%L", 7000, "007007007007", "000000000000"},  // grows past the format's length
        {"[%L]%%", 250000, "[250]%", "[000]%"},
        // "%L" is replaced even after a percent sign: "%%Ld" becomes "%012d",
        // which strftime reads as the day of the month, zero-padded to 12.
        {"%%Ld", 12345, "000000000014", "14"},
        {"%Y-%m-%dT%H:%M:%SZ", 1, "2023-11-14T22:13:20Z", "2023-11-14T22:13:20Z"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.format) + " usec " + std::to_string(c.usec));
        char buffer[64];
        const ov_timeval_t t{kStamp, c.usec};
        ASSERT_OV_OK(ov_time_format_utc_ms(buffer, sizeof buffer, c.format, &t));
        EXPECT_STREQ(buffer, c.with_ms);
        ASSERT_OV_OK(ov_time_format_utc(buffer, sizeof buffer, c.format, kStamp));
        EXPECT_STREQ(buffer, c.without_ms);
    }
}

TEST(TimeFormat, LocalTimeMatchesTheSystemsLocalTime) {
    struct tm tm {};
    ASSERT_NE(localtime_r(&kStamp, &tm), nullptr);
    char expected[64];
    ASSERT_GT(strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S %Z", &tm), 0u);

    char buffer[64];
    const ov_timeval_t t{kStamp, 12345};
    ASSERT_OV_OK(ov_time_format_local_ms(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S.%L %Z", &t));
    std::string with_ms = expected;
    with_ms.insert(19, ".012");
    EXPECT_EQ(buffer, with_ms);
    ASSERT_OV_OK(ov_time_format_local(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S.%L %Z", kStamp));
    with_ms.replace(19, 4, ".000");
    EXPECT_EQ(buffer, with_ms);
}

TEST(TimeFormat, FailuresLeaveNoText) {
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    const ov_timeval_t t{kStamp, 12345};
    EXPECT_EQ(ov_time_format_utc(buffer, sizeof buffer, "%Y-%m-%d %H:%M", kStamp), ERANGE);
    EXPECT_EQ(buffer[0], '\0');
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(ov_time_format_local_ms(buffer, sizeof buffer, "%H:%M:%S.%L", &t), ERANGE);
    EXPECT_EQ(buffer[0], '\0');
    // An empty expansion is reported like a buffer too small.
    EXPECT_EQ(ov_time_format_utc(buffer, sizeof buffer, "", kStamp), ERANGE);

    EXPECT_EQ(ov_time_format_utc(nullptr, 8, "%Y", kStamp), EINVAL);
    EXPECT_EQ(ov_time_format_utc(buffer, 0, "%Y", kStamp), EINVAL);
    EXPECT_EQ(ov_time_format_utc(buffer, sizeof buffer, nullptr, kStamp), EINVAL);
    EXPECT_EQ(ov_time_format_utc_ms(buffer, sizeof buffer, "%Y", nullptr), EINVAL);
    EXPECT_EQ(ov_time_format_utc(buffer, sizeof buffer, "%Y", INT64_MAX), EOVERFLOW);
}

// A clock the test sets by hand; a non-zero fail makes every reading fail.
struct TestClock {
    uint64_t now = 0;
    int32_t fail = 0;
};

int32_t read_test_clock(uint64_t context, uint64_t *usec) {
    const auto *clock = reinterpret_cast<const TestClock *>(context);
    if (clock->fail != 0) return clock->fail;
    *usec = clock->now;
    return 0;
}

uint64_t context_of(TestClock &clock) {
    return reinterpret_cast<uint64_t>(&clock);
}

TEST(Stopwatch, AccumulatesRunsAndCountsThem) {
    TestClock clock;
    ov_stopwatch_t sw;
    ASSERT_OV_OK(ov_stopwatch_init(&sw, context_of(clock), read_test_clock));
    uint64_t value = 1;
    EXPECT_EQ(ov_stopwatch_first_start(&sw, &value), EINVAL) << "never started";
    ASSERT_OV_OK(ov_stopwatch_span(&sw, &value));
    EXPECT_EQ(value, 0u);

    clock.now = 100;
    uint64_t start = 0;
    ASSERT_OV_OK(ov_stopwatch_start(&sw, &start));
    EXPECT_EQ(start, 100u);
    EXPECT_EQ(ov_stopwatch_start(&sw, nullptr), EINVAL) << "already running";
    EXPECT_EQ(sw.last_start, 100u);
    EXPECT_EQ(sw.count, 1u);
    clock.now = 150;
    uint64_t elapsed = 0, stop = 0;
    ASSERT_OV_OK(ov_stopwatch_stop(&sw, &elapsed, &start, &stop));
    EXPECT_EQ(elapsed, 50u);
    EXPECT_EQ(start, 100u);
    EXPECT_EQ(stop, 150u);
    EXPECT_EQ(ov_stopwatch_stop(&sw, nullptr, nullptr, nullptr), EINVAL) << "not running";
    clock.now = 200;
    ASSERT_OV_OK(ov_stopwatch_start(&sw, nullptr));

    // Running, with 50 accumulated: the current run counts in.
    clock.now = 230;
    uint64_t interval = 0;
    ASSERT_OV_OK(ov_stopwatch_elapsed(&sw, &elapsed, &interval));
    EXPECT_EQ(elapsed, 80u);
    EXPECT_EQ(interval, 30u);
    ASSERT_OV_OK(ov_stopwatch_span(&sw, &value));
    EXPECT_EQ(value, 130u);

    clock.now = 260;
    ASSERT_OV_OK(ov_stopwatch_stop(&sw, &elapsed, nullptr, nullptr));
    EXPECT_EQ(elapsed, 110u);
    EXPECT_EQ(sw.accumulated, 110u);
    EXPECT_EQ(sw.first_start, 100u);
    EXPECT_EQ(sw.last_start, 200u);
    EXPECT_EQ(sw.last_stop, 260u);

    // Stopped: the interval is the last run, and the clock no longer counts.
    clock.now = 999;
    ASSERT_OV_OK(ov_stopwatch_elapsed(&sw, &elapsed, &interval));
    EXPECT_EQ(elapsed, 110u);
    EXPECT_EQ(interval, 60u);
    ASSERT_OV_OK(ov_stopwatch_span(&sw, &value));
    EXPECT_EQ(value, 160u);
    ASSERT_OV_OK(ov_stopwatch_count(&sw, &value));
    EXPECT_EQ(value, 2u);

    ov_stopwatch_stats_t stats;
    ASSERT_OV_OK(ov_stopwatch_stats(&sw, &stats));
    EXPECT_EQ(stats.first_start, 100u);
    EXPECT_EQ(stats.era, 160u);
    EXPECT_EQ(stats.last_start, 200u);
    EXPECT_EQ(stats.now, 260u);
    EXPECT_EQ(stats.elapsed, 110u);
    EXPECT_EQ(stats.mean, 55u);
    EXPECT_EQ(stats.count, 2u);

    // Reset keeps the clock and forgets the runs.
    ASSERT_OV_OK(ov_stopwatch_reset(&sw));
    EXPECT_EQ(sw.state, OV_STOPWATCH_READY);
    ASSERT_OV_OK(ov_stopwatch_stats(&sw, &stats));
    EXPECT_EQ(stats.count, 0u);
    EXPECT_EQ(stats.elapsed, 0u);
    clock.now = 1000;
    ASSERT_OV_OK(ov_stopwatch_start(&sw, &start));
    EXPECT_EQ(start, 1000u);
}

TEST(Stopwatch, FailingTimeSource) {
    TestClock clock;
    ov_stopwatch_t sw;
    ASSERT_OV_OK(ov_stopwatch_init(&sw, context_of(clock), read_test_clock));
    clock.now = 10;
    ASSERT_OV_OK(ov_stopwatch_start(&sw, nullptr));
    clock.fail = EIO;
    uint64_t value = 0;
    EXPECT_EQ(ov_stopwatch_stop(&sw, nullptr, nullptr, nullptr), EIO);
    EXPECT_EQ(sw.state, OV_STOPWATCH_RUNNING) << "a failed stop changes nothing";
    EXPECT_EQ(ov_stopwatch_read(&sw, &value, nullptr, nullptr), EIO);
    EXPECT_EQ(ov_stopwatch_span(&sw, &value), EIO);
    ov_stopwatch_stats_t stats;
    EXPECT_EQ(ov_stopwatch_stats(&sw, &stats), EIO);
    clock.fail = 0;
    clock.now = 40;
    ASSERT_OV_OK(ov_stopwatch_stop(&sw, &value, nullptr, nullptr));
    EXPECT_EQ(value, 30u);
    // A start does not fail with the clock: it counts from the last start.
    clock.fail = EIO;
    uint64_t start = 0;
    ASSERT_OV_OK(ov_stopwatch_start(&sw, &start));
    EXPECT_EQ(start, 10u);
    EXPECT_EQ(sw.count, 2u);
}

TEST(Stopwatch, ClearedAndNullAreRefused) {
    ov_stopwatch_t sw;
    ASSERT_OV_OK(ov_stopwatch_init_default(&sw));
    ov_stopwatch_clear(&sw);
    uint64_t value = 0;
    ov_stopwatch_stats_t stats;
    EXPECT_EQ(ov_stopwatch_start(&sw, nullptr), EINVAL);
    EXPECT_EQ(ov_stopwatch_count(&sw, &value), EINVAL);
    EXPECT_EQ(ov_stopwatch_span(&sw, &value), EINVAL);
    EXPECT_EQ(ov_stopwatch_stats(&sw, &stats), EINVAL);
    EXPECT_EQ(ov_stopwatch_read(&sw, nullptr, nullptr, nullptr), EINVAL);
    EXPECT_EQ(ov_stopwatch_init(nullptr, 0, nullptr), EINVAL);
    EXPECT_EQ(ov_stopwatch_reset(nullptr), EINVAL);
    EXPECT_EQ(ov_stopwatch_now(nullptr, &value), EINVAL);
    ov_stopwatch_clear(nullptr);
}

TEST(Stopwatch, DefaultSourceIsTheMonotonicClock) {
    ov_stopwatch_t sw;
    ASSERT_OV_OK(ov_stopwatch_init_default(&sw));
    uint64_t before = 0, reading = 0, after = 0;
    ASSERT_OV_OK(ov_time_usec_now(0, &before));
    ASSERT_OV_OK(ov_stopwatch_now(&sw, &reading));
    ASSERT_OV_OK(ov_time_usec_now(0, &after));
    EXPECT_GE(reading, before);
    EXPECT_LE(reading, after);
}

class ConcStopwatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_OV_OK(ov_conc_stopwatch_create(&set_, 2, context_of(clock_), read_test_clock));
    }
    void TearDown() override {
        ov_conc_stopwatch_free(&set_);
        EXPECT_EQ(set_, nullptr);
    }
    TestClock clock_;
    ov_conc_stopwatch_t *set_ = nullptr;
};

TEST_F(ConcStopwatchTest, LevelsNestAndUnnest) {
    EXPECT_EQ(ov_conc_stopwatch_levels(set_), 2u);
    clock_.now = 10;
    EXPECT_OV_OK(ov_conc_stopwatch_start(set_));
    clock_.now = 20;
    EXPECT_OV_OK(ov_conc_stopwatch_start(set_));
    {
        LogCapture log;
        ASSERT_TRUE(log.ok());
        EXPECT_EQ(ov_conc_stopwatch_start(set_), EINVAL) << "every level runs";
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, 1u);
        EXPECT_EQ(lines[0].text, "ov_conc_stopwatch_start(): Timers exceeded. Cannot start.");
    }
    EXPECT_EQ(ov_conc_stopwatch_depth(set_), 2u);
    clock_.now = 25;
    EXPECT_OV_OK(ov_conc_stopwatch_stop(set_));  // the inner level
    clock_.now = 40;
    EXPECT_OV_OK(ov_conc_stopwatch_stop(set_));
    EXPECT_EQ(ov_conc_stopwatch_stop(set_), EINVAL) << "nothing runs";
    EXPECT_EQ(ov_conc_stopwatch_depth(set_), 0u);

    ov_stopwatch_stats_t stats[2];
    ASSERT_OV_OK(ov_conc_stopwatch_stats(set_, stats));
    EXPECT_EQ(stats[0].elapsed, 30u);
    EXPECT_EQ(stats[1].elapsed, 5u);
    EXPECT_EQ(stats[0].count, 1u);
    EXPECT_EQ(stats[1].count, 1u);
}

TEST_F(ConcStopwatchTest, StatsStopAtTheFirstUnusedLevel) {
    clock_.now = 10;
    ASSERT_OV_OK(ov_conc_stopwatch_start(set_));
    clock_.now = 16;
    ASSERT_OV_OK(ov_conc_stopwatch_stop(set_));
    ov_stopwatch_stats_t stats[2];
    std::memset(stats, 0xAB, sizeof stats);
    ASSERT_OV_OK(ov_conc_stopwatch_stats(set_, stats));
    EXPECT_EQ(stats[0].elapsed, 6u);
    EXPECT_EQ(stats[0].mean, 6u);
    const ov_stopwatch_stats_t zero{};
    EXPECT_EQ(std::memcmp(&stats[1], &zero, sizeof zero), 0);

    // The log stops at the same unused level: one line, for level 0.
    LogCapture log;
    ASSERT_TRUE(log.ok());
    ov_conc_stopwatch_log(set_);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, 3u);
    EXPECT_EQ(lines[0].source, kSource);
    EXPECT_EQ(lines[0].text, "level:0 era:6 elapsed:6 count:1 mean:6\n");
}

TEST_F(ConcStopwatchTest, ThreadsShareOneDepth) {
    constexpr int kCycles = 1000;
    const auto cycle = [this] {
        for (int i = 0; i < kCycles; ++i) {
            // With two levels and two threads, a start always finds a level.
            EXPECT_OV_OK(ov_conc_stopwatch_start(set_));
            EXPECT_OV_OK(ov_conc_stopwatch_stop(set_));
        }
    };
    std::thread other(cycle);
    cycle();
    other.join();
    EXPECT_EQ(ov_conc_stopwatch_depth(set_), 0u);
    ov_stopwatch_stats_t stats[2];
    ASSERT_OV_OK(ov_conc_stopwatch_stats(set_, stats));
    EXPECT_EQ(stats[0].count + stats[1].count, 2u * kCycles);
}

TEST(ConcStopwatch, CreationAndNullSets) {
    ov_conc_stopwatch_t *set = nullptr;
    EXPECT_EQ(ov_conc_stopwatch_create_default(&set, 0), EINVAL);
    EXPECT_EQ(ov_conc_stopwatch_create_default(nullptr, 1), EINVAL);
    EXPECT_EQ(set, nullptr);
    EXPECT_EQ(ov_conc_stopwatch_depth(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(ov_conc_stopwatch_start(nullptr), EINVAL);
    EXPECT_EQ(ov_conc_stopwatch_stop(nullptr), EINVAL);
    ov_conc_stopwatch_log(nullptr);
    ov_conc_stopwatch_free(nullptr);
    ov_conc_stopwatch_free(&set);
}

}  // namespace
