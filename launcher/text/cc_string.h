#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// The one string type of the program: a byte string (UTF-8 by convention) whose characters
// live in a reference-counted buffer shared between copies and copied before any change.
// A null buffer is the empty text. A 16-bit flag word travels with each string.
class CCString {
 public:
  // Flag bits. The two lowest bits choose the number base AppendNumber uses with base 0.
  static constexpr uint16_t kBaseMask = 0x3;
  static constexpr uint16_t kBaseDecimal = 0;
  static constexpr uint16_t kBaseHex = 1;
  static constexpr uint16_t kBaseBinary = 2;
  static constexpr uint16_t kBaseOctal = 3;
  static constexpr uint16_t kIgnoreCase = 0x4;

  static constexpr int kNotFound = -1;
  static constexpr const char* kWhiteSpace = " \t\r\n";

  CCString() = default;
  CCString(const char* text);  // NOLINT: texts convert implicitly, as string literals do
  CCString(const char* text, size_t length);
  CCString(const CCString& other);
  CCString(CCString&& other) noexcept;
  virtual ~CCString();

  // Assigning text makes a new buffer and keeps the flags.
  CCString& operator=(const char* text);
  // Assigning a string shares its buffer and ors in its flags except the two base bits.
  CCString& operator=(const CCString& other);
  CCString& operator=(CCString&& other) noexcept;

  // Never null: the empty string gives "".
  const char* c_str() const { return m_buffer ? m_buffer->data : ""; }
  uint32_t Length() const { return m_buffer ? m_buffer->length : 0; }
  bool IsEmpty() const { return Length() == 0; }
  char operator[](uint32_t index) const { return c_str()[index]; }

  uint16_t Flags() const { return m_flags; }
  void SetFlags(uint16_t flags) { m_flags = flags; }
  bool IgnoresCase() const { return (m_flags & kIgnoreCase) != 0; }

  CCString& Append(const char* text);
  CCString& Append(const char* bytes, size_t length);
  CCString& Append(const CCString& other);
  CCString& Append(char c);
  CCString& operator+=(const char* text) { return Append(text); }
  CCString& operator+=(const CCString& other) { return Append(other); }
  CCString& operator+=(char c) { return Append(c); }
  CCString& Prepend(const char* text);

  // count -1 means to the end; counts beyond the end are cut; a start at or beyond the end
  // gives the empty text.
  CCString Substring(int start, int count = -1) const;

  // Byte-wise comparison (negative, 0, positive); ignores case when this string has kIgnoreCase.
  int Compare(const char* text) const;
  bool operator==(const CCString& other) const;
  bool operator==(const char* text) const { return Compare(text) == 0; }
  bool operator!=(const CCString& other) const { return !(*this == other); }
  bool operator!=(const char* text) const { return Compare(text) != 0; }
  // Map order: equal when one buffer is shared; ignores case when either side has
  // kIgnoreCase; otherwise byte-wise over the shorter length, then the shorter is less.
  bool operator<(const CCString& other) const;

  bool StartsWith(const char* text) const;
  bool EndsWith(const char* text) const;
  // Position of the first byte at or after `from` that is one of `chars`, or kNotFound.
  int FindFirstOf(const char* chars, int from = 0) const;
  // Position of the last such byte at or before `from` (-1 or beyond the end: the last byte).
  int FindLastOf(const char* chars, int from = -1) const;
  int Find(const char* substring, int from = 0, bool ignoreCase = false) const;
  int FindLast(const char* substring, bool ignoreCase = false) const;

  // Removes leading and trailing " \t\r\n".
  CCString& Trim();
  // Cuts off the text before the first delimiter and returns it; the string keeps the text
  // after it. Without a delimiter the whole string is returned and the string becomes empty;
  // *separator receives the delimiter found, or NUL.
  CCString SplitOff(const char* delimiters = kWhiteSpace, char* separator = nullptr);
  CCString& ReplaceAll(const char* find, const char* replacement);

  // Makes room for `capacity` bytes without changing the text (detaching when shared).
  void Reserve(uint32_t capacity);
  // Sets the length to `length` bytes, keeping the text before it; new bytes are
  // uninitialised. Returns the writable characters (detached). Used to receive straight
  // into the string and cut it back afterwards.
  char* Resize(uint32_t length);
  void Clear();

  // Reads a signed integer: length -1 reads up to the NUL; base 0 chooses the base from
  // the text ("101b" binary, "0x1F" hex, "017" octal, else decimal). Stops at the first
  // character that is no digit of the base; no overflow check (wraps in 64 bits).
  static int64_t ParseInteger(const char* text, int length = -1, int base = 0);

  // Appends `value` in `base` (0: the base of the flag bits; outside 2..16: 10), padded on
  // the left to `minWidth` (at most 32) with "0", or for a signed negative non-decimal value
  // with the highest digit of the base. Signed decimal negatives get a "-".
  CCString& AppendNumber(int64_t value, int base = 10, int minWidth = 0, bool isSigned = true);
  // printf-style text.
  static CCString Format(const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 1, 2)))
#endif
      ;

  // True when this string and `other` share one buffer (for tests of copy-on-write).
  bool SharesBufferWith(const CCString& other) const {
    return m_buffer && m_buffer == other.m_buffer;
  }

 private:
  struct Buffer {
    char* data;                        // always followed by a NUL byte
    std::atomic<uint32_t> references;  // strings sharing this buffer
    uint32_t length;                   // bytes, without the NUL
    uint32_t capacity;                 // bytes allocated for data, at least length + 1
  };

  static Buffer* NewBuffer(const char* bytes, uint32_t length, uint32_t capacity);
  void Attach(Buffer* buffer);
  void Detach();
  // Gives this string a buffer of its own with room for `capacity` bytes (text kept).
  void MakeUnique(uint32_t capacity);
  void ReplaceRange(uint32_t start, uint32_t count, const char* bytes, uint32_t length);

  Buffer* m_buffer = nullptr;
  uint16_t m_flags = 0;
};

// A new string: `head` (its flags kept) followed by `tail`.
inline CCString operator+(const CCString& head, const char* tail) {
  CCString text(head);
  text += tail;
  return text;
}

// Map order for keys that compare as CCString::operator< does.
struct CCStringLess {
  bool operator()(const CCString& a, const CCString& b) const { return a < b; }
};
