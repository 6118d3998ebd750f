#include "launcher/text/text_helpers.h"

#include <cstring>

CCWideString::CCWideString(const CCWideChar* text, uint32_t length) {
  if (length == 0)
    return;
  m_buffer = new Buffer(length);
  std::memcpy(m_buffer->data, text, length * sizeof(CCWideChar));
}

const CCWideChar* CCWideString::c_str() const {
  static const CCWideChar kEmpty[1] = {0};
  return m_buffer ? m_buffer->data : kEmpty;
}

uint32_t CCWideString::Length() const {
  return m_buffer ? m_buffer->length : 0;
}

CCString ToUTF8(const CCWideString& text) {
  return ToUTF8(text.c_str(), int(text.Length()));
}

bool IsNonAsciiUTF8(const CCString& text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
  const auto* end = p + text.Length();
  if (text.Length() < 2)
    return false;
  bool multiByte = false;
  while (p < end) {
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the first continuation byte
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      if (c == 0xE0)
        low = 0xA0;  // overlong three-byte forms
      if (c == 0xED)
        high = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      if (c == 0xF0)
        low = 0x90;  // overlong four-byte forms
      if (c == 0xF4)
        high = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    if (end - p <= extra)
      return false;
    if (p[1] < low || p[1] > high)
      return false;
    for (int i = 2; i <= extra; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF)
        return false;
    }
    p += extra + 1;
    multiByte = true;
  }
  return multiByte;
}

uint64_t ByteSwap64(uint64_t value) {
  uint64_t result = 0;
  for (int i = 0; i < 8; ++i) {
    result = (result << 8) | (value & 0xFF);
    value >>= 8;
  }
  return result;
}
