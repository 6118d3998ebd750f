#include "libs/ccutility/http/date_calendar.h"

#include <stdlib.h>
#include <time.h>

namespace cc::calendar {

// The 64-bit runtime calls: time_t is 32 bits wide in some MinGW configurations.

int64_t Now() {
  return static_cast<int64_t>(::_time64(nullptr));
}

bool ToLocalFields(int64_t time, std::tm& fields) {
  __time64_t t = static_cast<__time64_t>(time);
  return ::_localtime64_s(&fields, &t) == 0;
}

bool FromLocalFields(std::tm& fields, int64_t& time) {
  // The Windows runtime has no instants before 1970, so -1 is always a failure here.
  std::tm work = fields;
  __time64_t result = ::_mktime64(&work);
  if (result == -1)
    return false;
  fields = work;
  time = static_cast<int64_t>(result);
  return true;
}

void SetTimeZoneForTesting(const char* zone) {
  ::_putenv_s("TZ", zone);
  ::_tzset();
}

}  // namespace cc::calendar
