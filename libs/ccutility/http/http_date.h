#pragma once

#include <cstdint>

#include "launcher/text/cc_string.h"

namespace cc {

// Time values of the HTTP layer: signed seconds since 1970-01-01 00:00 UTC.

// Appends `time` as an HTTP date, "Sun, 6 Nov 1994 08:49:37 GMT" (day of the month without a
// leading zero), to `text`. Any value gives a date; years beyond 9999 get more digits.
void FormatHTTPDate(int64_t time, CCString& text);

// Reads a date in the free-form date language: the three HTTP forms ("Sun, 06 Nov 1994
// 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994"), other
// calendar forms ("11/6/94", "1994-11-06", "Nov 6, 1994"), times with meridians or numeric
// zones, days of the week and relative items ("2 days ago", "next friday", "tomorrow").
// Whatever the text leaves out comes from the local time now; a text without a zone is
// local time. Returns -1 for text it cannot read and for dates the C runtime cannot place
// (on Windows: before 1970 or after 3000 in local time). Never throws.
int64_t ParseDate(const CCString& text);

// The same with `now` standing for the current time.
int64_t ParseDate(const CCString& text, int64_t now);

}  // namespace cc
