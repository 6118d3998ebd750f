#include "libs/ccutility/http/http_date.h"

#include <climits>
#include <ctime>

#include "libs/ccutility/http/date_calendar.h"
#include "libs/ccutility/http/date_parse.h"

namespace cc {

namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar (month 1 to 12).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

struct CivilDate {
  int64_t year;
  int month;  // 1 to 12
  int day;    // 1 to 31
};

CivilDate CivilFromDays(int64_t days) {
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t dayOfEra = days - era * 146097;
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // March = 0
  CivilDate date;
  date.day = int(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  date.month = int(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  date.year = yearOfEra + era * 400 + (date.month <= 2 ? 1 : 0);
  return date;
}

// Normalised calendar fields read as if they were UTC.
int64_t FieldsAsUTC(const std::tm& fields) {
  return DaysFromCivil(int64_t(fields.tm_year) + 1900, fields.tm_mon + 1, fields.tm_mday) *
             kSecondsPerDay +
         int64_t(fields.tm_hour) * 3600 + int64_t(fields.tm_min) * 60 + fields.tm_sec;
}

// The hour on the 24-hour clock, or -1 when it does not exist with that meridian.
int64_t ToHour(int64_t hour, date_text::Meridian meridian) {
  switch (meridian) {
    case date_text::Meridian::k24Hour:
      return hour >= 0 && hour <= 23 ? hour : -1;
    case date_text::Meridian::kAM:
      return hour >= 1 && hour <= 12 ? hour % 12 : -1;
    case date_text::Meridian::kPM:
      return hour >= 1 && hour <= 12 ? hour % 12 + 12 : -1;
  }
  return -1;
}

// Stores value + extra in a calendar field; false when it leaves the field's range.
bool SetField(int& field, int64_t value, int64_t extra) {
  int64_t sum;
  if (__builtin_add_overflow(value, extra, &sum) || sum < INT_MIN || sum > INT_MAX)
    return false;
  field = int(sum);
  return true;
}

}  // namespace

void FormatHTTPDate(int64_t time, CCString& text) {
  static const char* const kDays[] = {"Sun, ", "Mon, ", "Tue, ", "Wed, ",
                                      "Thu, ", "Fri, ", "Sat, "};
  static const char* const kMonths[] = {" Jan ", " Feb ", " Mar ", " Apr ", " May ", " Jun ",
                                        " Jul ", " Aug ", " Sep ", " Oct ", " Nov ", " Dec "};
  int64_t days = time / kSecondsPerDay;
  int64_t secondOfDay = time % kSecondsPerDay;
  if (secondOfDay < 0) {
    secondOfDay += kSecondsPerDay;
    --days;
  }
  CivilDate date = CivilFromDays(days);
  int64_t weekday = (days % 7 + 11) % 7;  // 1970-01-01 was a Thursday

  text.Append(kDays[weekday]);
  text.AppendNumber(date.day);
  text.Append(kMonths[date.month - 1]);
  text.AppendNumber(date.year, 10, 4);
  char clock[] = " hh:mm:ss GMT";
  int64_t parts[] = {secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60};
  for (int i = 0; i < 3; ++i) {
    clock[1 + 3 * i] = char('0' + parts[i] / 10);
    clock[2 + 3 * i] = char('0' + parts[i] % 10);
  }
  text.Append(clock);
}

int64_t ParseDate(const CCString& text) {
  return ParseDate(text, calendar::Now());
}

int64_t ParseDate(const CCString& text, int64_t now) {
  std::tm nowFields{};
  if (!calendar::ToLocalFields(now, nowFields))
    return -1;

  date_text::DateItems items;
  items.year = int64_t(nowFields.tm_year) + 1900;
  items.month = nowFields.tm_mon + 1;
  items.day = nowFields.tm_mday;
  items.hour = nowFields.tm_hour;
  items.minutes = nowFields.tm_min;
  items.seconds = nowFields.tm_sec;
  if (!date_text::ParseDateItems(text.c_str(), text.Length(), items))
    return -1;
  if (items.timeItems > 1 || items.zoneItems > 1 || items.dateItems > 1 || items.dayItems > 1)
    return -1;

  // Two-digit years: 69 to 99 are 1969 to 1999, the rest 2000 to 2068.
  int64_t year = items.year < 0 ? -items.year : items.year;
  if (year < 69)
    year += 2000;
  else if (year < 100)
    year += 1900;

  // A bare date is midnight; a bare relative item counts from now.
  int64_t hour = 0, minutes = 0, seconds = 0;
  bool midnight =
      items.timeItems == 0 && (items.relItems == 0 || items.dateItems > 0 || items.dayItems > 0);
  if (!midnight) {
    hour = ToHour(items.hour, items.meridian);
    if (hour < 0)
      return -1;
    minutes = items.minutes;
    seconds = items.seconds;
  }

  std::tm fields{};
  if (!SetField(fields.tm_year, year - 1900, items.relYears) ||
      !SetField(fields.tm_mon, items.month - 1, items.relMonths) ||
      !SetField(fields.tm_mday, items.day, items.relDays) ||
      !SetField(fields.tm_hour, hour, items.relHours) ||
      !SetField(fields.tm_min, minutes, items.relMinutes) ||
      !SetField(fields.tm_sec, seconds, items.relSeconds))
    return -1;
  // Keep today's daylight saving only for a time that moves by hours, minutes or seconds.
  bool systemDecidesDaylight = items.dateItems > 0 || items.dayItems > 0 || items.timeItems > 0 ||
                               items.relDays != 0 || items.relMonths != 0 || items.relYears != 0;
  fields.tm_isdst = systemDecidesDaylight ? -1 : nowFields.tm_isdst;

  int64_t zone = items.zoneMinutesWest;
  const std::tm requested = fields;
  int64_t value;
  if (!calendar::FromLocalFields(fields, value)) {
    if (items.zoneItems == 0)
      return -1;
    // The local clock may not reach a date that another zone's clock does, near the ends of
    // the runtime's range (the first hours of 1970 east of Greenwich): convert the
    // neighbouring day and move the zone a day the other way.
    fields = requested;
    int64_t dayStep = requested.tm_year <= 70 ? 1 : -1;
    if (!SetField(fields.tm_mday, fields.tm_mday, dayStep))
      return -1;
    zone -= dayStep * 1440;
    if (!calendar::FromLocalFields(fields, value))
      return -1;
  }

  if (items.dayItems > 0 && items.dateItems == 0) {
    int64_t ahead = (items.dayNumber - fields.tm_wday + 7) % 7 +
                    7 * (items.dayOrdinal > 0 ? items.dayOrdinal - 1 : items.dayOrdinal);
    if (!SetField(fields.tm_mday, fields.tm_mday, ahead))
      return -1;
    // The weekday may lie on the other side of a daylight saving change.
    fields.tm_isdst = -1;
    if (!calendar::FromLocalFields(fields, value))
      return -1;
  }

  if (items.zoneItems == 0)
    return value;
  // Read the local fields in the given zone instead: add the local clock's lead on UTC and
  // the zone's lag behind it.
  int64_t delta = (FieldsAsUTC(fields) - value) + zone * 60;
  int64_t result;
  if (__builtin_add_overflow(value, delta, &result))
    return -1;
  return result;
}

}  // namespace cc
