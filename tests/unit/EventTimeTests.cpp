#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdlib>
#include <limits>
#include <string>

#include "events/EventReading.h"
#include "events/EventTime.h"
#include "support/Win32Helper.h"

namespace {

constexpr double kSecond = 1.0 / 86400;
constexpr double kEpoch = 25569.0;

EventDate at(double value) {
    return EventDate{value, true};
}

}  // namespace

TEST(EventTime, TheEpochIsBuiltAtLoad) {
    EXPECT_TRUE(epochDate().valid);
    EXPECT_EQ(kEpoch, epochDate().value);
}

TEST(EventTime, ToEpochMsRoundsToTheNearestSecondHalvesAwayFromZero) {
    EXPECT_EQ(0, toEpochMs(at(kEpoch)));
    EXPECT_EQ(43200000, toEpochMs(at(25569.5)));
    EXPECT_EQ(-86400000, toEpochMs(at(25568.0)));
    EXPECT_EQ(0, toEpochMs(at(kEpoch + 0.4 * kSecond)));
    EXPECT_EQ(1000, toEpochMs(at(kEpoch + 0.6 * kSecond)));
    EXPECT_EQ(1000, toEpochMs(at(kEpoch + 1.4 * kSecond)));
    EXPECT_EQ(2000, toEpochMs(at(kEpoch + 1.6 * kSecond)));
    EXPECT_EQ(-1000, toEpochMs(at(kEpoch - kSecond)));
    EXPECT_EQ(-1000, toEpochMs(at(kEpoch - 0.6 * kSecond)));
    EXPECT_EQ(946684800000, toEpochMs(at(36526.0)));  // 2000-01-01
}

TEST(EventTime, DatesBefore1899CountOnTheContinuousScale) {
    // -1.25 is 1899-12-29 06:00, which lies 0.75 days before 1899-12-30 00:00.
    EXPECT_EQ(-(kEpoch + 0.75) * 86400000, toEpochMs(at(-1.25)));
    // -0.75 is 1899-12-30 18:00: the fraction counts forwards from the day the integer part names.
    EXPECT_EQ(toEpochMs(at(0.75)), toEpochMs(at(-0.75)));
    EXPECT_EQ(-kEpoch * 86400000, toEpochMs(at(0.0)));
}

TEST(EventTime, AgeLimitIsStrictAndRoundsToWholeSeconds) {
    const EventDate now = at(45000.5);
    auto stamped = [&](double secondsAgo) { return at(now.value - secondsAgo * kSecond); };
    EXPECT_FALSE(isEventTooOld(stamped(180), now, 180));
    EXPECT_TRUE(isEventTooOld(stamped(181), now, 180));
    EXPECT_FALSE(isEventTooOld(stamped(180.4), now, 180));
    EXPECT_TRUE(isEventTooOld(stamped(180.6), now, 180));
    EXPECT_FALSE(isEventTooOld(stamped(0), now, 0));
    EXPECT_TRUE(isEventTooOld(stamped(1), now, 0));
    EXPECT_TRUE(isEventTooOld(stamped(0), now, -1));
    EXPECT_FALSE(isEventTooOld(stamped(-10), now, 180)) << "a timestamp in the future";
    EXPECT_FALSE(isEventTooOld(stamped(-10), now, 0));
}

// A client's date may be anything; the conversions to 64-bit integers were undefined for these.
TEST(EventTime, HostileDatesGiveDefinedResults) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    constexpr long long kLatest = 9223372036854775000LL;
    EXPECT_EQ(0, toEpochMs(at(nan)));
    EXPECT_EQ(kLatest, toEpochMs(at(infinity)));
    EXPECT_EQ(-kLatest, toEpochMs(at(-infinity)));
    EXPECT_EQ(kLatest, toEpochMs(at(1e300)));
    EXPECT_EQ(-kLatest, toEpochMs(at(-1e300)));
    // Just inside the range: converted, not saturated.
    const long long nearLatest = toEpochMs(at(kEpoch + 9223372036854000.0 * kSecond));
    EXPECT_LT(nearLatest, kLatest);
    EXPECT_GT(nearLatest, kLatest - 10000000);
    // Beyond year 9999 but within range: the plain arithmetic result.
    EXPECT_EQ(253402300800000LL + 86400000LL * 365, toEpochMs(at(2958466.0 + 365)));

    const EventDate now = at(45000.5);
    EXPECT_FALSE(isEventTooOld(at(nan), now, 180));
    EXPECT_TRUE(isEventTooOld(at(-infinity), now, INT_MAX));
    EXPECT_FALSE(isEventTooOld(at(infinity), now, 0));
    for (double hostile : {nan, infinity, -infinity}) {
        EXPECT_EQ(L"Invalid DateTime", formatEventTime(at(hostile))) << hostile;
    }
}

TEST(EventTime, AnInvalidNowMakesEveryEventYoung) {
    EventDate invalid{0, false};
    EXPECT_FALSE(isEventTooOld(at(45000.5), invalid, 0));
    EXPECT_EQ(L"Invalid DateTime", formatEventTime(invalid));
}

TEST(EventTime, FormatsWithTheCLocaleNames) {
    EXPECT_EQ(L"12:00:00 Thursday, January 01, 1970", formatEventTime(at(25569.5)));
    EXPECT_EQ(L"23:59:59 Friday, December 31, 1999", formatEventTime(at(36525.0 + 86399 * kSecond)));
    EXPECT_EQ(L"06:00:00 Friday, December 29, 1899", formatEventTime(at(-1.25)));
    EXPECT_EQ(L"Invalid DateTime", formatEventTime(at(1e10)));
}

TEST(EventTime, LocalNowIsValidWholeSecondsInTheLocalTimeBase) {
    EventDate now = localNow();
    ASSERT_TRUE(now.valid);
    SYSTEMTIME local{};
    ::GetLocalTime(&local);
    local.wMilliseconds = 0;
    DATE expected = 0;
    ::SystemTimeToVariantTime(&local, &expected);
    EXPECT_NEAR(expected, now.value, 2 * kSecond);
    EXPECT_EQ(0, toEpochMs(now) % 1000);
}

TEST(EventTime, LocalNowKeptForTheSecondEqualsAFreshConversion) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const __time64_t second = _time64(nullptr);
        const EventDate first = localNow();
        const EventDate kept = localNow();
        const EventDate fresh = localTimeOf(second);
        if (_time64(nullptr) != second) {
            continue;  // the second turned: try again
        }
        EXPECT_EQ(fresh.valid, first.valid);
        EXPECT_EQ(fresh.value, first.value);
        EXPECT_EQ(first.value, kept.value);
        return;
    }
    FAIL() << "the clock kept turning";
}

TEST(EventTime, AKeptDateTextFollowsAChangeOfTheTimeLocale) {
    const EventDate date = at(25569.5);
    EXPECT_EQ(L"12:00:00 Thursday, January 01, 1970", formatEventTime(date));
    ASSERT_NE(nullptr, std::setlocale(LC_TIME, "German_Germany.1252"));
    const std::wstring german = formatEventTime(date);
    std::setlocale(LC_TIME, "C");
    EXPECT_EQ(L"12:00:00 Donnerstag, Januar 01, 1970", german);
    EXPECT_EQ(L"12:00:00 Thursday, January 01, 1970", formatEventTime(date));
}

TEST(LogLineTest, WritesNumbersInPlainSignedDecimalAndDatesAsTheirNarrowText) {
    LogLine numbers;
    numbers << 0L << "|" << 7L << "|" << -1L << "|" << 2147483647L << "|" << (-2147483647L - 1);
    EXPECT_EQ("0|7|-1|2147483647|-2147483648", numbers.text());

    // 1 March 2024 in a locale whose month name is not ASCII: the line holds what wstr2str gives.
    const EventDate march{45352.5, true};
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(nullptr, std::setlocale(LC_ALL, "German_Germany.1252"));
    LogLine dates;
    dates << march << "|" << march << "|" << EventDate{0, false};
    const std::string expected = Win32Helper::wstr2str(formatEventTime(march));
    std::setlocale(LC_ALL, previous.c_str());
    EXPECT_EQ(expected + "|" + expected + "|Invalid DateTime", dates.text());
    EXPECT_EQ("12:00:00 Freitag, M\xE4rz 01, 2024", expected);
}

// ---- UTC and the real age, by the time-zone rules -----------------------------------------------------

namespace {

EventDate localDate(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME fields{};
    fields.wYear = year;
    fields.wMonth = month;
    fields.wDay = day;
    fields.wHour = hour;
    fields.wMinute = minute;
    fields.wSecond = second;
    EventDate date;
    date.valid = ::SystemTimeToVariantTime(&fields, &date.value) != FALSE;
    return date;
}

// The daylight-saving tests need a zone with rules: CTest runs them once more under TZ=Europe/Berlin and
// sets GATEWAY_DST_ZONE, and there they must not skip.
bool inBerlinZone() {
    const char* expected = std::getenv("GATEWAY_DST_ZONE");
    if (expected == nullptr) {
        return false;
    }
    TIME_ZONE_INFORMATION zone{};
    const DWORD id = ::GetTimeZoneInformation(&zone);
    EXPECT_NE(TIME_ZONE_ID_INVALID, id);
    EXPECT_EQ(-60, zone.Bias) << "TZ=Europe/Berlin did not reach the program";
    EXPECT_EQ(-60, zone.DaylightBias);
    return !::testing::Test::HasFailure();
}

}  // namespace

TEST(EventTime, UtcInAZoneWithoutDaylightSavingIsTheLocalTimeLessTheOffset) {
    if (std::getenv("GATEWAY_DST_ZONE") != nullptr) {
        GTEST_SKIP() << "runs in the default zone";
    }
    // The test runner's zone is XYZ-3: local time is UTC + 3 hours, all year.
    const EventDate noon = localDate(2024, 7, 1, 12, 0, 0);
    EXPECT_EQ(toEpochMs(noon) - 3 * 3600000LL, toUtcEpochMs(noon));
    EXPECT_EQ(toEpochMs(noon) / 1000 - 3 * 3600, utcSecondsOf(noon));
    EXPECT_EQ(toEpochMs(at(1.0)) - 3 * 3600000LL, toUtcEpochMs(at(1.0))) << "before the rules' years";
    EXPECT_EQ(0, toUtcEpochMs(at(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_EQ(9223372036854775000LL, toUtcEpochMs(at(std::numeric_limits<double>::infinity())));
    // 5000 seconds inside the range in local time (on the OLE scale, where the fraction of a negative date
    // counts forwards), beyond it once the offset is applied: saturated, not wrapped.
    EXPECT_GT(toEpochMs(at(-106751965599.75723)), -9223372036854775000LL + 3600000);
    EXPECT_LT(toEpochMs(at(-106751965599.75723)), -9223372036854775000LL + 3 * 3600000);
    EXPECT_EQ(-9223372036854775000LL, toUtcEpochMs(at(-106751965599.75723)));
    // The age of a local timestamp against the current moment: the real one.
    const CurrentTime now = currentTime();
    ASSERT_TRUE(now.local.valid);
    EXPECT_EQ(now.utcSeconds, utcSecondsOf(now.local));
    EXPECT_FALSE(isEventTooOld(at(now.local.value - 180 * kSecond), now, 180));
    EXPECT_TRUE(isEventTooOld(at(now.local.value - 181 * kSecond), now, 180));
}

TEST(DaylightSavingTime, UtcAtBothChangesOfTheClocks) {
    if (!inBerlinZone()) {
        GTEST_SKIP() << "needs TZ=Europe/Berlin (its own CTest entry)";
    }
    // 2026-03-29: 02:00 CET becomes 03:00 CEST.
    EXPECT_EQ(1774745999, utcSecondsOf(localDate(2026, 3, 29, 1, 59, 59)));  // 00:59:59 UTC
    EXPECT_EQ(1774747800, utcSecondsOf(localDate(2026, 3, 29, 2, 30, 0)));   // skipped: read as CET
    EXPECT_EQ(1774746000, utcSecondsOf(localDate(2026, 3, 29, 3, 0, 0)));    // 01:00:00 UTC
    // 2026-10-25: 03:00 CEST becomes 02:00 CET; 02:00 to 02:59:59 occur twice.
    EXPECT_EQ(1792886399, utcSecondsOf(localDate(2026, 10, 25, 1, 59, 59)));  // 23:59:59 UTC the day before
    EXPECT_EQ(1792888200, utcSecondsOf(localDate(2026, 10, 25, 2, 30, 0)));   // the first 02:30, CEST
    EXPECT_EQ(1792893600, utcSecondsOf(localDate(2026, 10, 25, 3, 0, 0)));    // 02:00:00 UTC
    // Midsummer and midwinter, asked again so that the kept hour answers.
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(1782900000, utcSecondsOf(localDate(2026, 7, 1, 12, 0, 0)));  // 10:00 UTC
        EXPECT_EQ(1767265200, utcSecondsOf(localDate(2026, 1, 1, 12, 0, 0)));  // 11:00 UTC
    }
    EXPECT_EQ(1792888200000LL, toUtcEpochMs(localDate(2026, 10, 25, 2, 30, 0)));
}

TEST(DaylightSavingTime, AnEventsAgeIsTheRealTimeElapsedAcrossTheChanges) {
    if (!inBerlinZone()) {
        GTEST_SKIP() << "needs TZ=Europe/Berlin (its own CTest entry)";
    }
    // Spring: stamped 01:59:50 CET, received at 03:00:05 CEST, 15 seconds later; the wall clocks differ
    // by an hour and 15 seconds.
    const CurrentTime springNow{localDate(2026, 3, 29, 3, 0, 5), 1774746005};
    EXPECT_FALSE(isEventTooOld(localDate(2026, 3, 29, 1, 59, 50), springNow, 180));
    EXPECT_FALSE(isEventTooOld(localDate(2026, 3, 29, 1, 59, 50), springNow.local, 15));
    EXPECT_TRUE(isEventTooOld(localDate(2026, 3, 29, 1, 59, 50), springNow.local, 14));
    // Autumn: stamped 01:59:00 CEST, received at the second 02:30 (CET), an hour and 31 minutes later;
    // the wall clocks differ by 31 minutes.
    const CurrentTime autumnNow{localDate(2026, 10, 25, 2, 30, 0), 1792891800};
    EXPECT_TRUE(isEventTooOld(localDate(2026, 10, 25, 1, 59, 0), autumnNow, 3600));
    EXPECT_FALSE(isEventTooOld(localDate(2026, 10, 25, 1, 59, 0), autumnNow, 5460));
    EXPECT_TRUE(isEventTooOld(localDate(2026, 10, 25, 1, 59, 0), autumnNow, 5459));
    // Stamped at the first 02:50 (CEST), received at the second 02:10 (CET): 20 minutes old, not in
    // the future.
    const CurrentTime secondPass{localDate(2026, 10, 25, 2, 10, 0), 1792890600};
    EXPECT_TRUE(isEventTooOld(localDate(2026, 10, 25, 2, 50, 0), secondPass, 1199));
    EXPECT_FALSE(isEventTooOld(localDate(2026, 10, 25, 2, 50, 0), secondPass, 1200));
}
