#pragma once

#include <cstdint>

#include "launcher/text/cc_shared_ptr.h"
#include "launcher/text/cc_string.h"

// UTF-16 code unit of the Windows calls; the host build uses the same 16-bit text.
#if defined(_WIN32)
using CCWideChar = wchar_t;
#else
using CCWideChar = char16_t;
#endif

// A NUL-terminated UTF-16 text in a reference-counted buffer: what ToWide returns and the
// Windows calls take. Copies share the buffer.
class CCWideString {
 public:
  CCWideString() = default;
  CCWideString(const CCWideChar* text, uint32_t length);
  // Never null: the empty text gives an empty NUL-terminated string.
  const CCWideChar* c_str() const;
  uint32_t Length() const;
  bool IsEmpty() const { return Length() == 0; }

 private:
  struct Buffer : CCSharedPtr_Base {
    explicit Buffer(uint32_t n) : length(n), data(new CCWideChar[n + 1]) { data[n] = 0; }
    ~Buffer() override { delete[] data; }
    uint32_t length;
    CCWideChar* data;
  };
  CCSharedPtr<Buffer> m_buffer;
};

// UTF-8 <-> UTF-16 with the UTF-8 code page; an empty input gives an empty result.
// Invalid sequences become U+FFFD.
CCString ToUTF8(const CCWideChar* text, int length = -1);
CCString ToUTF8(const CCWideString& text);
CCWideString ToWide(const CCString& text);

// True only for at least 2 bytes of valid UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF) holding at least one multi-byte sequence. Chooses between the wide and the
// narrow Windows calls.
bool IsNonAsciiUTF8(const CCString& text);

uint64_t ByteSwap64(uint64_t value);

// The operating system's major version number, asked once and kept for the run.
int GetOSMajorVersion();
