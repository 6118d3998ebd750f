// Feeds arbitrary bytes to ParseDate (in UTC, with a fixed current time) and checks that any
// instant it returns within the four-digit years survives FormatHTTPDate and ParseDate
// again. Overflow anywhere shows up through UBSan.
#include <cstddef>
#include <cstdint>

#include "libs/ccutility/http/date_calendar.h"
#include "libs/ccutility/http/http_date.h"

namespace {

constexpr int64_t kNow = 1700000000;
// 1000-01-01 and 9999-12-31 23:59:59 UTC: years that the HTTP form writes with four digits
// and reads back as themselves.
constexpr int64_t kFirst = -30610224000;
constexpr int64_t kLast = 253402300799;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  cc::calendar::SetTimeZoneForTesting("UTC");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CCString text(reinterpret_cast<const char*>(data), size);
  int64_t time = cc::ParseDate(text, kNow);
  CCString formatted;
  cc::FormatHTTPDate(time, formatted);
  if (time != -1 && time >= kFirst && time <= kLast) {
    if (cc::ParseDate(formatted, kNow) != time)
      __builtin_trap();
  }
  return 0;
}
