#include "libs/ccutility/http/http_date.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "libs/ccutility/http/date_calendar.h"

namespace {

constexpr int64_t kNovember6th1994 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
constexpr int64_t kMidnightNovember6th1994 = 784080000;
constexpr int64_t kNow = 1700000000;  // Tue, 14 Nov 2023 22:13:20 GMT
constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;

struct DateCase {
  const char* text;
  int64_t expected;
};

// Parses each text in the local zone `zone`, with `now` as the current time.
template <size_t N>
void ExpectDates(const char* zone, const DateCase (&cases)[N], int64_t now = kNow) {
  cc::calendar::SetTimeZoneForTesting(zone);
  for (const DateCase& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(cc::ParseDate(c.text, now), c.expected);
  }
}

TEST(ParseDate, ThreeHTTPFormsGiveTheSameInstant) {
  // The asctime form has no zone: it is local time.
  const struct {
    const char* zone;
    int64_t secondsWest;
  } zones[] = {{"UTC", 0}, {"EST5", 5 * kHour}, {"JST-9", -9 * kHour}};
  for (const auto& z : zones) {
    SCOPED_TRACE(z.zone);
    const DateCase cases[] = {{"Sun, 06 Nov 1994 08:49:37 GMT", kNovember6th1994},
                              {"Sunday, 06-Nov-94 08:49:37 GMT", kNovember6th1994},
                              {"Sun Nov  6 08:49:37 1994", kNovember6th1994 + z.secondsWest}};
    ExpectDates(z.zone, cases);
  }
}

TEST(ParseDate, CalendarDateForms) {
  const DateCase cases[] = {
      {"November 6, 1994", kMidnightNovember6th1994},
      {"Nov. 6, 1994", kMidnightNovember6th1994},
      {"6 Nov 1994", kMidnightNovember6th1994},
      {"6th November 1994", kMidnightNovember6th1994},
      {"6-Nov-1994", kMidnightNovember6th1994},
      {"06-NOV-94", kMidnightNovember6th1994},
      {"11/6/1994", kMidnightNovember6th1994},
      {"11/6/94", kMidnightNovember6th1994},
      {"1994/11/06", kMidnightNovember6th1994},
      {"1994-11-06", kMidnightNovember6th1994},
      {"19941106", kMidnightNovember6th1994},
      {"11/6", 1699228800},  // this year's 6 November
      {"Nov 6", 1699228800},
      {"1994-11-06 08:49:37", kNovember6th1994},
      {"1994-11-06 0849", kNovember6th1994 - 37},  // hhmm
      {"1994-11-06 8", kMidnightNovember6th1994 + 8 * kHour},
      {"Nov 6 08:49:37 1994", kNovember6th1994},  // a number after time and date is the year
      {"1st January 1999", 915148800},
      {"Sun, 06 Nov 1994 08:49:37 GMT (comment (nested) more)", kNovember6th1994},
      {"Sun, 06 Nov 1994 (at) 08:49:37 GMT ((left open", kNovember6th1994},
      {"Sun, 06 Nov 1994 08:49:37 GMT - + -", kNovember6th1994},  // lone signs are dropped
      {"Fri, 06 Nov 1994 08:49:37 GMT", kNovember6th1994},        // a wrong weekday is ignored
      {"6 Nov 1994 23:59:60", kMidnightNovember6th1994 + kDay},   // fields roll over
      // Two-digit years.
      {"Sat, 01 Jan 05 00:00:00 GMT", 1104537600},
      {"01-Jan-68", 3092601600},
      {"01-Jan-70", 0},
      {"01-Jan-99", 915148800},
      {"01-Jan-0099", 915148800},  // the digits decide, not how many were written
  };
  ExpectDates("UTC", cases);
}

TEST(ParseDate, ZonesShiftTheInstant) {
  const char* base = "Sun, 06 Nov 1994 08:49:37 ";
  struct ZoneCase {
    const char* zone;
    int64_t minutesWest;
  } const cases[] = {
      {"GMT", 0},     {"gmt", 0},    {"UTC", 0},      {"Utc", 0},        {"UT", 0},
      {"Z", 0},       {"EST", 300},  {"est", 300},    {"EDT", 240},      {"e.s.t.", 300},
      {"EST.", 300},  {"PST", 480},  {"CET", -60},    {"CET DST", -120}, {"BST", -60},
      {"MESZ", -120}, {"JST", -540}, {"NZDT", -780},  {"akdt", 600},     {"A", 60},
      {"M", 720},     {"N", -60},    {"Y", -720},     {"+0100", -60},    {"-0500", 300},
      {"-0130", 90},  {"+0000", 0},  {"+1245", -765},
  };
  cc::calendar::SetTimeZoneForTesting("UTC");
  for (const ZoneCase& c : cases) {
    std::string text = std::string(base) + c.zone;
    SCOPED_TRACE(text);
    EXPECT_EQ(cc::ParseDate(text.c_str(), kNow), kNovember6th1994 + c.minutesWest * 60);
  }
  // The result does not depend on the local zone when the text names one.
  cc::calendar::SetTimeZoneForTesting("PST8");
  EXPECT_EQ(cc::ParseDate("Sun, 06 Nov 1994 08:49:37 +0100", kNow), kNovember6th1994 - kHour);
}

TEST(ParseDate, TimesAndMeridians) {
  const DateCase cases[] = {
      {"6 Nov 1994 12am", kMidnightNovember6th1994},
      {"6 Nov 1994 12:30 a.m.", kMidnightNovember6th1994 + 1800},
      {"6 Nov 1994 12pm", kMidnightNovember6th1994 + 12 * kHour},
      {"6 Nov 1994 1 P.M.", kMidnightNovember6th1994 + 13 * kHour},
      {"6 Nov 1994 8:49:37PM", kNovember6th1994 + 12 * kHour},
      {"6 Nov 1994 23:00", kMidnightNovember6th1994 + 23 * kHour},
      {"6 Nov 1994 13pm", -1},
      {"6 Nov 1994 0am", -1},
      {"6 Nov 1994 24:00", -1},
      {"6 Nov 1994 8:49:37 9:00", -1},  // two times
      {"8:49:37 0900", -1},             // a bare hhmm is a time too
      {"6 Nov 1994 GMT UTC", -1},       // two zones
      {"8:49:37 +0100 GMT", -1},
      {"6 Nov 1994 11/6/1994", -1},  // two dates
      {"Sun Mon", -1},               // two days
      {"Sun, 06 Nov 1994 08:49:37 GMT trailing", -1},
      {"Sun, 06 Nov 1994 08:49:37 GMT;", -1},
      {"Nov", -1},
      {"ago", -1},
      {"dst", -1},
      {"8:", -1},
      {"1994-11", -1},
      {"Nov 6,", -1},
  };
  ExpectDates("UTC", cases);
}

TEST(ParseDate, RelativeItemsCountFromNow) {
  const DateCase cases[] = {
      {"now", kNow},
      {"today", kNow},
      {"tomorrow", kNow + kDay},
      {"yesterday", kNow - kDay},
      {"2 days ago", kNow - 2 * kDay},
      {"+3 hours", kNow + 3 * kHour},
      {"-90 minutes", kNow - 5400},
      {"1 hour 30 mins 15 secs", kNow + 5415},
      {"last week", kNow - 7 * kDay},
      {"next week", kNow + 14 * kDay},  // "next" is the count 2
      {"3 fortnights", kNow + 42 * kDay},
      {"1 year 2 months ago", 1663193600},
      {"2 days 3 hours ago", kNow - 2 * kDay - 3 * kHour},  // "ago" turns the whole run
      {"1 day ago 2 hours", kNow - kDay + 2 * kHour},
      {"2147483600 seconds", kNow + 2147483600},
      {"Nov 6, 1994 tomorrow", kMidnightNovember6th1994 + kDay},
      {"Nov 6 1 tomorrow", 1699228800 + kDay},  // "1 tomorrow": a count of the unit
      {"6 Nov 1994 08:49:37 GMT +1 hour", kNovember6th1994 + kHour},
  };
  ExpectDates("UTC", cases);
}

TEST(ParseDate, DayOfWeekMovesForward) {
  // kNow is a Tuesday.
  const DateCase cases[] = {
      {"friday", 1700179200},       {"Fri,", 1700179200},         {"tuesday", 1699920000},  // today
      {"first friday", 1700179200}, {"next friday", 1700784000},  {"third friday", 1701388800},
      {"last friday", 1699574400},  {"friday 10:00", 1700215200}, {"thurs", 1700092800},
  };
  ExpectDates("UTC", cases);
  // A weekday beyond a change to summer time is still midnight there. (US rules: the
  // Windows runtime knows no others.) Thursday 7 March 2024, noon UTC.
  const DateCase spring[] = {
      {"sunday", 1710046800},       // 10 March, 00:00 EST, before the change at 02:00
      {"next sunday", 1710648000},  // 17 March, 00:00 EDT
  };
  ExpectDates("EST5EDT,M3.2.0,M11.1.0", spring, 1709812800);
}

TEST(ParseDate, EpochEastOfGreenwich) {
  // Local midnight of 1 January 1970 in Tokyo lies before the epoch: some runtimes refuse
  // it, and the day next to it must be converted instead.
  cc::calendar::SetTimeZoneForTesting("JST-9");
  EXPECT_EQ(cc::ParseDate("Thu, 01 Jan 1970 00:00:00 GMT", kNow), 0);
  EXPECT_EQ(cc::ParseDate("Thu, 01 Jan 1970 08:00:00 +0900", kNow), -kHour);
}

TEST(ParseDate, HostileInputGivesMinusOneOrAValue) {
  cc::calendar::SetTimeZoneForTesting("UTC");
  const int64_t today = 1699920000;
  EXPECT_EQ(cc::ParseDate("", kNow), today);
  EXPECT_EQ(cc::ParseDate(CCString(std::string(1 << 20, ' ').c_str()), kNow), today);
  EXPECT_EQ(cc::ParseDate(CCString(std::string(1 << 20, '(').c_str()), kNow), today);
  std::string nested = std::string(1 << 19, '(') + std::string(1 << 19, ')') + "6 Nov 1994";
  EXPECT_EQ(cc::ParseDate(nested.c_str(), kNow), kMidnightNovember6th1994);
  EXPECT_EQ(cc::ParseDate(CCString(std::string(1 << 20, 'x').c_str()), kNow), -1);
  EXPECT_EQ(cc::ParseDate(CCString(std::string(1 << 20, '9').c_str()), kNow), -1);
  std::string manyDays;
  for (int i = 0; i < 40000; ++i)
    manyDays += "1 day ";
  EXPECT_EQ(cc::ParseDate(manyDays.c_str(), kNow), kNow + 40000 * kDay);

  // NUL bytes are characters like any other: the text does not end there.
  const char withNul[] = "Sun, 06 Nov 1994\0 08:49:37 GMT";
  EXPECT_EQ(cc::ParseDate(CCString(withNul, sizeof withNul - 1), kNow), -1);
  const char nulInComment[] = "Sun, 06 Nov 1994 (\0) 08:49:37 GMT";
  EXPECT_EQ(cc::ParseDate(CCString(nulInComment, sizeof nulInComment - 1), kNow), kNovember6th1994);

  const DateCase cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMTXXXXXXXXXXXXXXXXXXXXXXXXXX", -1},
      {"januaryjanuaryjanuaryjanuary 6", -1},
      {"thursdayxxxxxxxxxxxx", -1},
      {"99999999999999999999 days", -1},
      {"2147483648 seconds", -1},
      {"2147483647 days", -1},
      {"2147483647 years", -1},
      {"-2147483647 years -2147483647 years", -1},
      {"2147483647 fortnights 2147483647 fortnights", -1},
      {"1 Jan 2147483648", -1},
      {"1 Jan 2147483647 2000 years", -1},
      {"99999999999:00", -1},
      {"8:49 -99999999999", -1},
      {"2147483647 friday", -1},
      {"-2147483647 minutes -2147483647 minutes", -1},
  };
  ExpectDates("UTC", cases);
}

struct RoundTrip {
  int64_t time;
  const char* text;
  bool withinWindowsRuntime;  // 1970 to 3000
};

const RoundTrip kRoundTrips[] = {
    {0, "Thu, 1 Jan 1970 00:00:00 GMT", true},
    {68169600, "Tue, 29 Feb 1972 00:00:00 GMT", true},
    {kNovember6th1994, "Sun, 6 Nov 1994 08:49:37 GMT", true},
    {951782400, "Tue, 29 Feb 2000 00:00:00 GMT", true},
    {2147483647, "Tue, 19 Jan 2038 03:14:07 GMT", true},
    {2147483648, "Tue, 19 Jan 2038 03:14:08 GMT", true},
    {4107542400, "Mon, 1 Mar 2100 00:00:00 GMT", true},
    {32503680000, "Wed, 1 Jan 3000 00:00:00 GMT", true},
    {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT", false},
    {-86400, "Wed, 31 Dec 1969 00:00:00 GMT", false},
    {-2208988800, "Mon, 1 Jan 1900 00:00:00 GMT", false},
};

TEST(FormatHTTPDate, WritesTheFixedFormThatParsesBack) {
  for (const RoundTrip& r : kRoundTrips) {
    SCOPED_TRACE(r.text);
    CCString text;
    cc::FormatHTTPDate(r.time, text);
    EXPECT_STREQ(text.c_str(), r.text);
    for (const char* zone : {"UTC", "JST-9", "EST5EDT,M3.2.0,M11.1.0"}) {
      SCOPED_TRACE(zone);
      cc::calendar::SetTimeZoneForTesting(zone);
#if defined(_WIN32)
      // The Windows runtime has no local times outside its range: -1, never a wrong value.
      if (!r.withinWindowsRuntime) {
        EXPECT_EQ(cc::ParseDate(text, kNow), -1);
        continue;
      }
#endif
      EXPECT_EQ(cc::ParseDate(text, kNow), r.time);
    }
  }
  CCString header("If-Modified-Since: ");
  cc::FormatHTTPDate(-1, header);
  EXPECT_STREQ(header.c_str(), "If-Modified-Since: Wed, 31 Dec 1969 23:59:59 GMT");
  CCString far;
  cc::FormatHTTPDate(1000000000000, far);
  EXPECT_STREQ(far.c_str(), "Fri, 27 Sep 33658 01:46:40 GMT");
  for (int64_t extreme : {INT64_MAX, INT64_MIN, INT64_MIN + 1}) {
    CCString text;
    cc::FormatHTTPDate(extreme, text);
    EXPECT_TRUE(text.EndsWith(" GMT")) << text.c_str();
  }
}

}  // namespace
