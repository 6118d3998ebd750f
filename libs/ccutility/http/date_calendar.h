#pragma once

#include <cstdint>
#include <ctime>

// The C runtime's idea of local time, behind one small seam so that the date parser agrees
// with the system about the time zone and daylight saving. Used by the date text functions
// only. The runtime's range applies: the Windows runtime knows 1970 to 3000 only.
namespace cc::calendar {

// Seconds since 1970-01-01 00:00 UTC, now.
int64_t Now();

// Local calendar fields of `time` (tm_isdst set). False when the runtime cannot convert it.
bool ToLocalFields(int64_t time, std::tm& fields);

// The time value of local calendar fields, which may lie outside their usual ranges
// (13th months, 99th minutes); tm_isdst < 0 lets the runtime decide daylight saving. On
// success `fields` holds the normalised local fields of the result. False when the runtime
// cannot represent it.
bool FromLocalFields(std::tm& fields, int64_t& time);

// Sets the process's time zone (the TZ variable, e.g. "UTC" or "CET-1CEST,M3.5.0,M10.5.0/3")
// and makes the runtime read it again. For tests and fuzzers; not thread-safe.
void SetTimeZoneForTesting(const char* zone);

}  // namespace cc::calendar
