#include "libs/ccutility/http/date_calendar.h"

#include <stdlib.h>
#include <time.h>

#include <limits>

namespace cc::calendar {

int64_t Now() {
  return static_cast<int64_t>(::time(nullptr));
}

bool ToLocalFields(int64_t time, std::tm& fields) {
  if (time < std::numeric_limits<time_t>::min() || time > std::numeric_limits<time_t>::max())
    return false;
  time_t t = static_cast<time_t>(time);
  return ::localtime_r(&t, &fields) != nullptr;
}

bool FromLocalFields(std::tm& fields, int64_t& time) {
  // mktime answers -1 both for failure and for 23:59:59 UTC on 1969-12-31; only a
  // successful call fills in the weekday.
  std::tm work = fields;
  work.tm_wday = -1;
  time_t result = ::mktime(&work);
  if (result == static_cast<time_t>(-1) && work.tm_wday == -1)
    return false;
  fields = work;
  time = static_cast<int64_t>(result);
  return true;
}

void SetTimeZoneForTesting(const char* zone) {
  ::setenv("TZ", zone, 1);
  ::tzset();
}

}  // namespace cc::calendar
