#include "launcher/text/cc_string.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

int CompareBytes(const char* a, const char* b, size_t n, bool ignoreCase) {
  for (size_t i = 0; i < n; ++i) {
    unsigned char ca = (unsigned char)(ignoreCase ? LowerAscii(a[i]) : a[i]);
    unsigned char cb = (unsigned char)(ignoreCase ? LowerAscii(b[i]) : b[i]);
    if (ca != cb)
      return ca < cb ? -1 : 1;
  }
  return 0;
}

bool IsOneOf(char c, const char* chars) {
  return c != '\0' && std::strchr(chars, c) != nullptr;
}

}  // namespace

CCString::Buffer* CCString::NewBuffer(const char* bytes, uint32_t length, uint32_t capacity) {
  if (capacity < length + 1)
    capacity = length + 1;
  Buffer* buffer = new Buffer;
  buffer->data = static_cast<char*>(std::malloc(capacity));
  if (!buffer->data) {
    delete buffer;
    throw std::bad_alloc();
  }
  if (length)
    std::memcpy(buffer->data, bytes, length);
  buffer->data[length] = '\0';
  buffer->references.store(0, std::memory_order_relaxed);
  buffer->length = length;
  buffer->capacity = capacity;
  return buffer;
}

void CCString::Attach(Buffer* buffer) {
  if (buffer)
    buffer->references.fetch_add(1, std::memory_order_relaxed);
  Buffer* old = std::exchange(m_buffer, buffer);
  if (old && old->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::free(old->data);
    delete old;
  }
}

void CCString::Detach() {
  Attach(nullptr);
}

CCString::CCString(const char* text) {
  if (text && *text) {
    uint32_t length = uint32_t(std::strlen(text));
    Attach(NewBuffer(text, length, length + 1));
  }
}

CCString::CCString(const char* text, size_t length) {
  if (text && length)
    Attach(NewBuffer(text, uint32_t(length), uint32_t(length) + 1));
}

CCString::CCString(const CCString& other) : m_flags(other.m_flags) {
  Attach(other.m_buffer);
}

CCString::CCString(CCString&& other) noexcept
    : m_buffer(std::exchange(other.m_buffer, nullptr)), m_flags(other.m_flags) {}

CCString::~CCString() {
  Detach();
}

CCString& CCString::operator=(const char* text) {
  if (text && *text) {
    uint32_t length = uint32_t(std::strlen(text));
    Attach(NewBuffer(text, length, length + 1));
  } else {
    Detach();
  }
  return *this;
}

CCString& CCString::operator=(const CCString& other) {
  Attach(other.m_buffer);
  m_flags |= uint16_t(other.m_flags & ~kBaseMask);
  return *this;
}

CCString& CCString::operator=(CCString&& other) noexcept {
  if (this != &other) {
    Detach();
    m_buffer = std::exchange(other.m_buffer, nullptr);
    m_flags |= uint16_t(other.m_flags & ~kBaseMask);
  }
  return *this;
}

void CCString::MakeUnique(uint32_t capacity) {
  uint32_t length = Length();
  if (capacity < length + 1)
    capacity = length + 1;
  if (m_buffer && m_buffer->references.load(std::memory_order_acquire) == 1) {
    if (m_buffer->capacity >= capacity)
      return;
    char* grown = static_cast<char*>(std::realloc(m_buffer->data, capacity));
    if (!grown)
      throw std::bad_alloc();
    m_buffer->data = grown;
    m_buffer->capacity = capacity;
    return;
  }
  Attach(NewBuffer(c_str(), length, capacity));
}

void CCString::ReplaceRange(uint32_t start, uint32_t count, const char* bytes, uint32_t length) {
  uint32_t oldLength = Length();
  uint32_t newLength = oldLength - count + length;
  if (newLength == 0) {
    Detach();
    return;
  }
  // Appends grow geometrically so that a long run of them stays linear.
  uint32_t capacity = newLength + 1;
  if (m_buffer && capacity > m_buffer->capacity && start == oldLength)
    capacity = capacity + capacity / 2;
  // `bytes` may point into our own buffer: copy it aside before the buffer moves.
  CCString keep;
  if (m_buffer && bytes >= m_buffer->data && bytes < m_buffer->data + m_buffer->capacity) {
    keep = CCString(bytes, length);
    bytes = keep.c_str();
  }
  MakeUnique(capacity);
  char* data = m_buffer->data;
  std::memmove(data + start + length, data + start + count, oldLength - start - count);
  if (length)
    std::memcpy(data + start, bytes, length);
  m_buffer->length = newLength;
  data[newLength] = '\0';
}

CCString& CCString::Append(const char* text) {
  return text ? Append(text, std::strlen(text)) : *this;
}

CCString& CCString::Append(const char* bytes, size_t length) {
  if (bytes && length) {
    if (!m_buffer) {
      Attach(NewBuffer(bytes, uint32_t(length), uint32_t(length) + 1));
    } else {
      ReplaceRange(Length(), 0, bytes, uint32_t(length));
    }
  }
  return *this;
}

CCString& CCString::Append(const CCString& other) {
  if (!m_buffer) {
    Attach(other.m_buffer);  // appending to nothing: share
    return *this;
  }
  CCString keep(other);  // appending a string to itself
  return Append(keep.c_str(), keep.Length());
}

CCString& CCString::Append(char c) {
  return Append(&c, 1);
}

CCString& CCString::Prepend(const char* text) {
  if (text && *text)
    ReplaceRange(0, 0, text, uint32_t(std::strlen(text)));
  return *this;
}

CCString CCString::Substring(int start, int count) const {
  int length = int(Length());
  if (start < 0)
    start = 0;
  if (start >= length)
    return CCString();
  if (count < 0 || count > length - start)
    count = length - start;
  if (start == 0 && count == length)
    return *this;
  return CCString(c_str() + start, size_t(count));
}

int CCString::Compare(const char* text) const {
  if (!text)
    text = "";
  size_t textLength = std::strlen(text);
  size_t n = Length() < textLength ? Length() : textLength;
  int c = CompareBytes(c_str(), text, n, IgnoresCase());
  if (c != 0)
    return c;
  if (Length() == textLength)
    return 0;
  return Length() < textLength ? -1 : 1;
}

bool CCString::operator==(const CCString& other) const {
  if (m_buffer == other.m_buffer)
    return true;
  if (Length() != other.Length())
    return false;
  return CompareBytes(c_str(), other.c_str(), Length(), IgnoresCase() || other.IgnoresCase()) == 0;
}

bool CCString::operator<(const CCString& other) const {
  if (m_buffer == other.m_buffer)
    return false;
  uint32_t n = Length() < other.Length() ? Length() : other.Length();
  int c = CompareBytes(c_str(), other.c_str(), n, IgnoresCase() || other.IgnoresCase());
  if (c != 0)
    return c < 0;
  return Length() < other.Length();
}

bool CCString::StartsWith(const char* text) const {
  if (!text)
    return true;
  size_t n = std::strlen(text);
  return n <= Length() && CompareBytes(c_str(), text, n, IgnoresCase()) == 0;
}

bool CCString::EndsWith(const char* text) const {
  if (!text)
    return true;
  size_t n = std::strlen(text);
  return n <= Length() && CompareBytes(c_str() + Length() - n, text, n, IgnoresCase()) == 0;
}

int CCString::FindFirstOf(const char* chars, int from) const {
  if (from < 0)
    from = 0;
  for (int i = from; i < int(Length()); ++i) {
    if (IsOneOf(c_str()[i], chars))
      return i;
  }
  return kNotFound;
}

int CCString::FindLastOf(const char* chars, int from) const {
  int last = int(Length()) - 1;
  if (from < 0 || from > last)
    from = last;
  for (int i = from; i >= 0; --i) {
    if (IsOneOf(c_str()[i], chars))
      return i;
  }
  return kNotFound;
}

int CCString::Find(const char* substring, int from, bool ignoreCase) const {
  size_t n = substring ? std::strlen(substring) : 0;
  if (from < 0)
    from = 0;
  if (n > Length())
    return kNotFound;
  for (int i = from; i + int(n) <= int(Length()); ++i) {
    if (CompareBytes(c_str() + i, substring, n, ignoreCase) == 0)
      return i;
  }
  return kNotFound;
}

int CCString::FindLast(const char* substring, bool ignoreCase) const {
  size_t n = substring ? std::strlen(substring) : 0;
  if (n > Length())
    return kNotFound;
  for (int i = int(Length() - n); i >= 0; --i) {
    if (CompareBytes(c_str() + i, substring, n, ignoreCase) == 0)
      return i;
  }
  return kNotFound;
}

CCString& CCString::Trim() {
  const char* data = c_str();
  uint32_t begin = 0;
  uint32_t end = Length();
  while (begin < end && IsOneOf(data[begin], kWhiteSpace))
    ++begin;
  while (end > begin && IsOneOf(data[end - 1], kWhiteSpace))
    --end;
  if (begin == 0 && end == Length())
    return *this;
  Attach(Substring(int(begin), int(end - begin)).m_buffer);  // flags stay as they are
  return *this;
}

CCString CCString::SplitOff(const char* delimiters, char* separator) {
  if (!delimiters)
    delimiters = kWhiteSpace;
  int at = FindFirstOf(delimiters);
  CCString head;
  if (at == kNotFound) {
    head = *this;
    if (separator)
      *separator = '\0';
    Detach();
    return head;
  }
  head = Substring(0, at);
  if (separator)
    *separator = c_str()[at];
  Attach(Substring(at + 1).m_buffer);
  return head;
}

CCString& CCString::ReplaceAll(const char* find, const char* replacement) {
  size_t findLength = find ? std::strlen(find) : 0;
  if (findLength == 0 || Length() < findLength)
    return *this;
  if (Find(find) == kNotFound)
    return *this;
  CCString result;
  result.Reserve(Length());
  const char* data = c_str();
  uint32_t i = 0;
  while (i < Length()) {
    if (i + findLength <= Length() && std::memcmp(data + i, find, findLength) == 0) {
      result.Append(replacement);
      i += uint32_t(findLength);
    } else {
      result.Append(data[i]);
      ++i;
    }
  }
  Attach(result.m_buffer);
  return *this;
}

void CCString::Reserve(uint32_t capacity) {
  if (capacity == 0)
    return;
  if (!m_buffer) {
    Attach(NewBuffer("", 0, capacity + 1));
    return;
  }
  MakeUnique(capacity + 1);
}

char* CCString::Resize(uint32_t length) {
  if (length == 0) {
    Detach();
    return nullptr;
  }
  if (!m_buffer)
    Attach(NewBuffer("", 0, length + 1));
  else
    MakeUnique(length + 1);
  m_buffer->length = length;
  m_buffer->data[length] = '\0';
  return m_buffer->data;
}

void CCString::Clear() {
  Detach();
}

int64_t CCString::ParseInteger(const char* text, int length, int base) {
  if (!text)
    return 0;
  if (length < 0)
    length = int(std::strlen(text));
  if (length == 0)
    return 0;
  const char* p = text;
  const char* end = text + length;
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
  }
  if (base == 0) {
    if (end > p && end[-1] == 'b') {
      base = 2;
      --end;
    } else if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
      base = 16;
      p += 2;
    } else if (end - p >= 2 && p[0] == '0') {
      base = 8;
      p += 1;
    } else {
      base = 10;
    }
  } else if (base == 16 && end - p >= 3 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    p += 2;
  }
  uint64_t value = 0;
  for (; p < end; ++p) {
    int digit;
    char c = *p;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'z')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'Z')
      digit = c - 'A' + 10;
    else
      break;
    if (digit >= base)
      break;
    value = value * uint64_t(base) + uint64_t(digit);
  }
  return negative ? int64_t(0 - value) : int64_t(value);
}

CCString& CCString::AppendNumber(int64_t value, int base, int minWidth, bool isSigned) {
  static const char kDigits[] = "0123456789ABCDEF";
  static const int kFlagBases[] = {10, 16, 2, 8};
  if (base == 0)
    base = kFlagBases[m_flags & kBaseMask];
  if (base < 2 || base > 16)
    base = 10;
  if (minWidth > 32)
    minWidth = 32;
  if (minWidth < 0)
    minWidth = 0;

  bool negative = isSigned && value < 0;
  uint64_t magnitude = uint64_t(value);
  char pad = '0';
  if (negative && base == 10) {
    magnitude = uint64_t(0) - magnitude;
  } else if (negative) {
    // A negative value in another base is written as its two's complement digits; the
    // padding continues the sign with the highest digit of the base.
    pad = kDigits[base - 1];
  }

  char digits[80];
  int n = 0;
  do {
    digits[n++] = kDigits[magnitude % uint64_t(base)];
    magnitude /= uint64_t(base);
  } while (magnitude != 0);
  while (n < minWidth)
    digits[n++] = pad;

  char text[82];
  int t = 0;
  if (negative && base == 10)
    text[t++] = '-';
  while (n > 0)
    text[t++] = digits[--n];
  return Append(text, size_t(t));
}

CCString CCString::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  char small[256];
  int n = std::vsnprintf(small, sizeof small, format, args);
  va_end(args);
  CCString result;
  if (n < 0) {
    va_end(copy);
    return result;
  }
  if (size_t(n) < sizeof small) {
    va_end(copy);
    return CCString(small, size_t(n));
  }
  char* data = result.Resize(uint32_t(n));
  std::vsnprintf(data, size_t(n) + 1, format, copy);
  va_end(copy);
  return result;
}
