#include "libs/ccutility/http/date_parse.h"

#include <cstring>

namespace cc::date_text {

namespace {

enum class Kind {
  kEnd,
  kChar,      // any other single character: ',', '/', ':' and the rest
  kUNumber,   // digits
  kSNumber,   // "+" or "-" directly followed by digits
  kTooLarge,  // a number above 2^31 - 1
  kMeridian,
  kMonth,
  kDay,
  kZone,
  kDaylightZone,
  kDST,
  kYearUnit,
  kMonthUnit,
  kDayUnit,
  kHourUnit,
  kMinuteUnit,
  kSecondUnit,
  kAgo,
  kIdentifier,  // a word found in no table
};

struct Token {
  Kind kind = Kind::kEnd;
  int64_t value = 0;  // number, month, weekday, zone minutes, unit amount or meridian
  char character = 0;
};

struct Word {
  const char* name;
  Kind kind;
  int value;
};

// Months (value: month number) and days (value: weekday, Sunday 0). A three-letter word
// matches the first three letters of an entry.
constexpr Word kMonthsAndDays[] = {
    {"january", Kind::kMonth, 1},   {"february", Kind::kMonth, 2}, {"march", Kind::kMonth, 3},
    {"april", Kind::kMonth, 4},     {"may", Kind::kMonth, 5},      {"june", Kind::kMonth, 6},
    {"july", Kind::kMonth, 7},      {"august", Kind::kMonth, 8},   {"september", Kind::kMonth, 9},
    {"sept", Kind::kMonth, 9},      {"october", Kind::kMonth, 10}, {"november", Kind::kMonth, 11},
    {"december", Kind::kMonth, 12}, {"sunday", Kind::kDay, 0},     {"monday", Kind::kDay, 1},
    {"tuesday", Kind::kDay, 2},     {"tues", Kind::kDay, 2},       {"wednesday", Kind::kDay, 3},
    {"wednes", Kind::kDay, 3},      {"thursday", Kind::kDay, 4},   {"thur", Kind::kDay, 4},
    {"thurs", Kind::kDay, 4},       {"friday", Kind::kDay, 5},     {"saturday", Kind::kDay, 6},
};

// Zones in minutes west of UTC. A daylight zone names the standard offset of its region;
// the parser moves it an hour east.
constexpr Word kZones[] = {
    {"gmt", Kind::kZone, 0},
    {"ut", Kind::kZone, 0},
    {"utc", Kind::kZone, 0},
    {"wet", Kind::kZone, 0},
    {"bst", Kind::kDaylightZone, 0},
    {"wat", Kind::kZone, 60},
    {"at", Kind::kZone, 120},
    {"ast", Kind::kZone, 240},
    {"adt", Kind::kDaylightZone, 240},
    {"est", Kind::kZone, 300},
    {"edt", Kind::kDaylightZone, 300},
    {"cst", Kind::kZone, 360},
    {"cdt", Kind::kDaylightZone, 360},
    {"mst", Kind::kZone, 420},
    {"mdt", Kind::kDaylightZone, 420},
    {"pst", Kind::kZone, 480},
    {"pdt", Kind::kDaylightZone, 480},
    {"yst", Kind::kZone, 540},
    {"ydt", Kind::kDaylightZone, 540},
    {"hst", Kind::kZone, 600},
    {"hdt", Kind::kDaylightZone, 600},
    {"cat", Kind::kZone, 600},
    {"akst", Kind::kZone, 600},
    {"akdt", Kind::kZone, 600},
    {"ahst", Kind::kZone, 600},
    {"nt", Kind::kZone, 660},
    {"idlw", Kind::kZone, 720},
    {"cet", Kind::kZone, -60},
    {"met", Kind::kZone, -60},
    {"mewt", Kind::kZone, -60},
    {"mest", Kind::kDaylightZone, -60},
    {"mesz", Kind::kDaylightZone, -60},
    {"swt", Kind::kZone, -60},
    {"sst", Kind::kDaylightZone, -60},
    {"fwt", Kind::kZone, -60},
    {"fst", Kind::kDaylightZone, -60},
    {"eet", Kind::kZone, -120},
    {"bt", Kind::kZone, -180},
    {"zp4", Kind::kZone, -240},
    {"zp5", Kind::kZone, -300},
    {"zp6", Kind::kZone, -360},
    {"wast", Kind::kZone, -420},
    {"wadt", Kind::kDaylightZone, -420},
    {"cct", Kind::kZone, -480},
    {"jst", Kind::kZone, -540},
    {"east", Kind::kZone, -600},
    {"eadt", Kind::kDaylightZone, -600},
    {"gst", Kind::kZone, -600},
    {"nzt", Kind::kZone, -720},
    {"nzst", Kind::kZone, -720},
    {"nzdt", Kind::kDaylightZone, -720},
    {"idle", Kind::kZone, -720},
};

// Units of relative items (value: how many of the unit's field).
constexpr Word kUnits[] = {
    {"year", Kind::kYearUnit, 1},      {"month", Kind::kMonthUnit, 1},
    {"fortnight", Kind::kDayUnit, 14}, {"week", Kind::kDayUnit, 7},
    {"day", Kind::kDayUnit, 1},        {"hour", Kind::kHourUnit, 1},
    {"minute", Kind::kMinuteUnit, 1},  {"min", Kind::kMinuteUnit, 1},
    {"second", Kind::kSecondUnit, 1},  {"sec", Kind::kSecondUnit, 1},
};

// Relative words. The counting words are plain numbers ("next friday" is the second one
// from today); "second" is only ever the unit.
constexpr Word kRelativeWords[] = {
    {"tomorrow", Kind::kDayUnit, 1},  {"yesterday", Kind::kDayUnit, -1},
    {"today", Kind::kDayUnit, 0},     {"now", Kind::kDayUnit, 0},
    {"last", Kind::kUNumber, -1},     {"this", Kind::kMinuteUnit, 0},
    {"next", Kind::kUNumber, 2},      {"first", Kind::kUNumber, 1},
    {"third", Kind::kUNumber, 3},     {"fourth", Kind::kUNumber, 4},
    {"fifth", Kind::kUNumber, 5},     {"sixth", Kind::kUNumber, 6},
    {"seventh", Kind::kUNumber, 7},   {"eighth", Kind::kUNumber, 8},
    {"ninth", Kind::kUNumber, 9},     {"tenth", Kind::kUNumber, 10},
    {"eleventh", Kind::kUNumber, 11}, {"twelfth", Kind::kUNumber, 12},
    {"ago", Kind::kAgo, 1},
};

// Military one-letter zones, minutes west ("j" is local time and has no entry).
int MilitaryZone(char letter, bool& found) {
  found = true;
  if (letter >= 'a' && letter <= 'i')
    return (letter - 'a' + 1) * 60;
  if (letter >= 'k' && letter <= 'm')
    return (letter - 'k' + 10) * 60;
  if (letter >= 'n' && letter <= 'y')
    return -(letter - 'n' + 1) * 60;
  if (letter == 'z')
    return 0;
  found = false;
  return 0;
}

constexpr size_t kMaxWord = 19;  // longer words keep their first 19 characters
constexpr int64_t kMaxNumber = 2147483647;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsOneOf(char c, const char* set) {
  return c != '\0' && std::strchr(set, c) != nullptr;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

template <size_t N>
bool FindWhole(const Word (&table)[N], const char* word, Token& token) {
  for (const Word& entry : table) {
    if (std::strcmp(word, entry.name) == 0) {
      token.kind = entry.kind;
      token.value = entry.value;
      return true;
    }
  }
  return false;
}

// Classifies one lower-cased word (NUL-terminated, at most kMaxWord characters).
Token LookUpWord(char* word) {
  Token token;
  if (std::strcmp(word, "am") == 0 || std::strcmp(word, "a.m.") == 0) {
    token.kind = Kind::kMeridian;
    token.value = int64_t(Meridian::kAM);
    return token;
  }
  if (std::strcmp(word, "pm") == 0 || std::strcmp(word, "p.m.") == 0) {
    token.kind = Kind::kMeridian;
    token.value = int64_t(Meridian::kPM);
    return token;
  }

  // "Nov" and "Nov." are abbreviations; the dot stays removed for the tables after this one.
  size_t length = std::strlen(word);
  bool abbreviation = length == 3;
  if (length == 4 && word[3] == '.') {
    abbreviation = true;
    word[3] = '\0';
    length = 3;
  }
  for (const Word& entry : kMonthsAndDays) {
    bool match =
        abbreviation ? std::strncmp(word, entry.name, 3) == 0 : std::strcmp(word, entry.name) == 0;
    if (match) {
      token.kind = entry.kind;
      token.value = entry.value;
      return token;
    }
  }

  if (FindWhole(kZones, word, token))
    return token;
  if (std::strcmp(word, "dst") == 0) {
    token.kind = Kind::kDST;
    return token;
  }
  if (FindWhole(kUnits, word, token))
    return token;
  if (length > 1 && word[length - 1] == 's') {
    word[length - 1] = '\0';
    bool unit = FindWhole(kUnits, word, token);
    word[length - 1] = 's';  // "this" must still be found below
    if (unit)
      return token;
  }
  if (FindWhole(kRelativeWords, word, token))
    return token;
  if (length == 1) {
    bool found = false;
    int zone = MilitaryZone(word[0], found);
    if (found) {
      token.kind = Kind::kZone;
      token.value = zone;
      return token;
    }
  }

  // "e.s.t." and the like.
  char undotted[kMaxWord + 1];
  size_t n = 0;
  for (const char* c = word; *c; ++c) {
    if (*c != '.')
      undotted[n++] = *c;
  }
  undotted[n] = '\0';
  if (n != length && FindWhole(kZones, undotted, token))
    return token;

  token.kind = Kind::kIdentifier;
  return token;
}

class Lexer {
 public:
  Lexer(const char* text, size_t length) : m_at(text), m_end(text + length) {}

  Token Next() {
    for (;;) {
      while (m_at < m_end && IsBlank(*m_at))
        ++m_at;
      if (m_at == m_end)
        return Token();
      char c = *m_at;

      if (IsDigit(c) || c == '+' || c == '-') {
        bool isSigned = !IsDigit(c);
        if (isSigned) {
          ++m_at;
          if (m_at == m_end || !IsDigit(*m_at))
            continue;  // a sign without digits is dropped
        }
        return ReadNumber(isSigned, c == '-');
      }

      if (IsLetter(c))
        return ReadWord();

      if (c != '(') {
        ++m_at;
        Token token;
        token.kind = Kind::kChar;
        token.character = c;
        return token;
      }

      // A comment runs to its matching parenthesis; one left open ends the text.
      int64_t depth = 0;  // a text of 2^31 "(" must not overflow it
      do {
        if (m_at == m_end)
          return Token();
        char inside = *m_at++;
        if (inside == '(')
          ++depth;
        else if (inside == ')')
          --depth;
      } while (depth > 0);
    }
  }

 private:
  Token ReadNumber(bool isSigned, bool negative) {
    int64_t value = 0;
    bool tooLarge = false;
    while (m_at < m_end && IsDigit(*m_at)) {
      if (!tooLarge) {
        value = value * 10 + (*m_at - '0');
        tooLarge = value > kMaxNumber;
      }
      ++m_at;
    }
    // Ordinal suffixes: 1st, 2nd, 3rd, 4th.
    if (m_end - m_at >= 2 && IsOneOf(m_at[0], "snrt") && IsOneOf(m_at[1], "tdh"))
      m_at += 2;
    Token token;
    token.kind = tooLarge ? Kind::kTooLarge : isSigned ? Kind::kSNumber : Kind::kUNumber;
    token.value = negative ? -value : value;
    return token;
  }

  Token ReadWord() {
    char word[kMaxWord + 1];
    size_t n = 0;
    while (m_at < m_end && (IsLetter(*m_at) || *m_at == '.')) {
      char c = *m_at++;
      if (n < kMaxWord)
        word[n++] = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
    }
    word[n] = '\0';
    return LookUpWord(word);
  }

  const char* m_at;
  const char* m_end;
};

bool IsUnit(Kind kind) {
  switch (kind) {
    case Kind::kYearUnit:
    case Kind::kMonthUnit:
    case Kind::kDayUnit:
    case Kind::kHourUnit:
    case Kind::kMinuteUnit:
    case Kind::kSecondUnit:
      return true;
    default:
      return false;
  }
}

void Count(int& counter) {
  if (counter < 2)
    ++counter;
}

bool AddChecked(int64_t& total, int64_t amount) {
  return !__builtin_add_overflow(total, amount, &total);
}

static_assert(int(Kind::kSecondUnit) - int(Kind::kYearUnit) == 5, "units index Relative");

// Relative amounts by field, for one run of relative items that an "ago" turns around.
struct Relative {
  int64_t amount[6] = {};  // years, months, days, hours, minutes, seconds

  bool Add(Kind unit, int64_t count, int64_t perUnit) {
    int64_t value;
    if (__builtin_mul_overflow(count, perUnit, &value))
      return false;
    int index = int(unit) - int(Kind::kYearUnit);
    return AddChecked(amount[index], value);
  }
};

// Recursive descent over the token stream, two tokens of look-ahead.
class Parser {
 public:
  Parser(const char* text, size_t length, DateItems& items)
      : m_lexer(text, length), m_items(items) {}

  bool Parse() {
    while (Peek(0).kind != Kind::kEnd) {
      if (!ParseItem())
        return false;
      // Nothing after a second time, zone, date or day item can make the text valid.
      if (m_items.timeItems > 1 || m_items.zoneItems > 1 || m_items.dateItems > 1 ||
          m_items.dayItems > 1)
        return true;
    }
    return EndRelativeRun();
  }

 private:
  const Token& Peek(int ahead) {
    while (m_buffered <= ahead)
      m_lookahead[m_buffered++] = m_lexer.Next();
    return m_lookahead[ahead];
  }

  Token Take() {
    Peek(0);
    Token token = m_lookahead[0];
    m_lookahead[0] = m_lookahead[1];
    --m_buffered;
    return token;
  }

  bool TakeIf(Kind kind, Token& token) {
    if (Peek(0).kind != kind)
      return false;
    token = Take();
    return true;
  }

  bool TakeChar(char c) {
    if (Peek(0).kind != Kind::kChar || Peek(0).character != c)
      return false;
    Take();
    return true;
  }

  // Folds the current run of relative items into the totals.
  bool EndRelativeRun() {
    int64_t* totals[6] = {&m_items.relYears, &m_items.relMonths,  &m_items.relDays,
                          &m_items.relHours, &m_items.relMinutes, &m_items.relSeconds};
    for (int i = 0; i < 6; ++i) {
      if (!AddChecked(*totals[i], m_run.amount[i]))
        return false;
    }
    m_run = Relative();
    return true;
  }

  bool ParseItem() {
    Token first = Take();
    bool relative =
        IsUnit(first.kind) ||
        ((first.kind == Kind::kUNumber || first.kind == Kind::kSNumber) && IsUnit(Peek(0).kind));
    if (relative) {
      if (IsUnit(first.kind))
        return AddRelative(first.kind, 1, first.value);
      Token unit = Take();
      return AddRelative(unit.kind, first.value, unit.value);
    }
    if (!EndRelativeRun())
      return false;

    switch (first.kind) {
      case Kind::kUNumber:
        return ParseAfterNumber(first);
      case Kind::kMonth: {  // Nov 6, Nov 6, 1994
        Token day, year;
        if (!TakeIf(Kind::kUNumber, day))
          return false;
        m_items.month = first.value;
        m_items.day = day.value;
        if (TakeChar(',')) {
          if (!TakeIf(Kind::kUNumber, year))
            return false;
          m_items.year = year.value;
        }
        Count(m_items.dateItems);
        return true;
      }
      case Kind::kDay:  // Sunday, Sun,
        TakeChar(',');
        SetDay(1, first.value);
        return true;
      case Kind::kZone: {  // GMT, CET DST
        Token dst;
        m_items.zoneMinutesWest = TakeIf(Kind::kDST, dst) ? first.value - 60 : first.value;
        Count(m_items.zoneItems);
        return true;
      }
      case Kind::kDaylightZone:
        m_items.zoneMinutesWest = first.value - 60;
        Count(m_items.zoneItems);
        return true;
      default:
        return false;
    }
  }

  // Everything that can begin with an unsigned number, told apart by the next token.
  bool ParseAfterNumber(const Token& number) {
    const Token& next = Peek(0);
    if (next.kind == Kind::kChar && next.character == ':')
      return ParseTimeOfDay(number);
    if (next.kind == Kind::kMeridian) {  // 8pm
      SetTime(number.value, 0, 0, Meridian(Take().value));
      return true;
    }
    switch (next.kind) {
      case Kind::kDay:  // 3 friday, last friday
        SetDay(number.value, Take().value);
        return true;
      case Kind::kMonth: {  // 6 Nov, 6 Nov 1994, 06-Nov-94
        m_items.day = number.value;
        m_items.month = Take().value;
        Token year;
        if (TakeIf(Kind::kSNumber, year))
          m_items.year = -year.value;
        else if (TakeIf(Kind::kUNumber, year))
          m_items.year = year.value;
        Count(m_items.dateItems);
        return true;
      }
      case Kind::kSNumber: {  // 1994-11-06
        Token month = Take();
        Token day;
        if (!TakeIf(Kind::kSNumber, day))
          return false;
        m_items.year = number.value;
        m_items.month = -month.value;
        m_items.day = -day.value;
        Count(m_items.dateItems);
        return true;
      }
      case Kind::kChar:
        if (next.character == '/')
          return ParseSlashedDate(number);
        break;
      default:
        break;
    }
    BareNumber(number.value);
    return true;
  }

  // 8:49, 8:49pm, 08:49:37, 08:49:37 -0500
  bool ParseTimeOfDay(const Token& hour) {
    Take();  // ':'
    Token minutes, seconds;
    if (!TakeIf(Kind::kUNumber, minutes))
      return false;
    seconds.value = 0;
    if (TakeChar(':') && !TakeIf(Kind::kUNumber, seconds))
      return false;
    Token suffix;
    Meridian meridian = Meridian::k24Hour;
    if (TakeIf(Kind::kMeridian, suffix)) {
      meridian = Meridian(suffix.value);
    } else if (TakeIf(Kind::kSNumber, suffix)) {
      // +hhmm east or -hhmm west of UTC.
      int64_t offset = suffix.value;
      m_items.zoneMinutesWest =
          offset < 0 ? -offset % 100 + (-offset / 100) * 60 : -(offset % 100 + (offset / 100) * 60);
      Count(m_items.zoneItems);
    }
    SetTime(hour.value, minutes.value, seconds.value, meridian);
    return true;
  }

  // m/d, m/d/y, and y/m/d when the first number has four digits.
  bool ParseSlashedDate(const Token& first) {
    Take();  // '/'
    Token second, third;
    if (!TakeIf(Kind::kUNumber, second))
      return false;
    if (TakeChar('/')) {
      if (!TakeIf(Kind::kUNumber, third))
        return false;
      if (first.value >= 1000) {
        m_items.year = first.value;
        m_items.month = second.value;
        m_items.day = third.value;
      } else {
        m_items.month = first.value;
        m_items.day = second.value;
        m_items.year = third.value;
      }
    } else {
      m_items.month = first.value;
      m_items.day = second.value;
    }
    Count(m_items.dateItems);
    return true;
  }

  // A number on its own: the year once a time and a date are known, otherwise a date
  // written yyyymmdd or a time written hhmm.
  void BareNumber(int64_t value) {
    if (m_items.timeItems > 0 && m_items.dateItems > 0 && m_items.relItems == 0) {
      m_items.year = value;
    } else if (value > 10000) {
      m_items.day = value % 100;
      m_items.month = (value / 100) % 100;
      m_items.year = value / 10000;
      Count(m_items.dateItems);
    } else {
      SetTime(value < 100 ? value : value / 100, value < 100 ? 0 : value % 100, 0,
              Meridian::k24Hour);
    }
  }

  void SetTime(int64_t hour, int64_t minutes, int64_t seconds, Meridian meridian) {
    m_items.hour = hour;
    m_items.minutes = minutes;
    m_items.seconds = seconds;
    m_items.meridian = meridian;
    Count(m_items.timeItems);
  }

  void SetDay(int64_t ordinal, int64_t weekday) {
    m_items.dayOrdinal = ordinal;
    m_items.dayNumber = weekday;
    Count(m_items.dayItems);
  }

  // A number of units, then perhaps "ago", which turns the whole run of relative items
  // around ("2 days 3 hours ago").
  bool AddRelative(Kind unit, int64_t count, int64_t perUnit) {
    if (!m_run.Add(unit, count, perUnit))
      return false;
    Count(m_items.relItems);
    Token ago;
    if (TakeIf(Kind::kAgo, ago)) {
      for (int64_t& amount : m_run.amount)
        amount = -amount;
      return EndRelativeRun();
    }
    return true;
  }

  Lexer m_lexer;
  DateItems& m_items;
  Token m_lookahead[2];
  int m_buffered = 0;
  Relative m_run;
};

}  // namespace

bool ParseDateItems(const char* text, size_t length, DateItems& items) {
  return Parser(text, length, items).Parse();
}

}  // namespace cc::date_text
