#pragma once

#include <cstddef>
#include <cstdint>

// The free-form date language read by cc::ParseDate: tokens, word tables and grammar. The
// parser only collects what the text says; http_date.cpp turns that into a time value.
namespace cc::date_text {

enum class Meridian { k24Hour, kAM, kPM };

// What a date text said. The caller fills in the defaults (the local time now) before
// parsing; the parser overwrites what the text mentions and counts the items it saw.
struct DateItems {
  int64_t year = 0;
  int64_t month = 0;
  int64_t day = 0;
  int64_t hour = 0;
  int64_t minutes = 0;
  int64_t seconds = 0;
  Meridian meridian = Meridian::k24Hour;
  int64_t zoneMinutesWest = 0;
  int64_t dayNumber = 0;   // weekday of a day-of-week item, Sunday 0
  int64_t dayOrdinal = 0;  // "third friday" 3, "last friday" -1, a plain "friday" 1

  int64_t relYears = 0;
  int64_t relMonths = 0;
  int64_t relDays = 0;
  int64_t relHours = 0;
  int64_t relMinutes = 0;
  int64_t relSeconds = 0;

  // Items seen, counted up to 2 (more than one time, zone, date or day item is an error).
  int timeItems = 0;
  int zoneItems = 0;
  int dateItems = 0;
  int dayItems = 0;
  int relItems = 0;
};

// Parses `length` bytes of `text` (which may hold NUL bytes: they are ordinary characters)
// into `items`. False for text the grammar does not accept, for a number too large for the
// calendar (above 2^31 - 1) and for relative amounts that overflow.
bool ParseDateItems(const char* text, size_t length, DateItems& items);

}  // namespace cc::date_text
