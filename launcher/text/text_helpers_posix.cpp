#include <sys/utsname.h>

#include <cstdlib>
#include <vector>

#include "launcher/text/text_helpers.h"

// The host build converts by hand what Windows converts with the UTF-8 code page.

CCString ToUTF8(const CCWideChar* text, int length) {
  if (!text || length == 0)
    return CCString();
  if (length < 0) {
    length = 0;
    while (text[length])
      ++length;
  }
  CCString out;
  out.Reserve(uint32_t(length) * 3);
  for (int i = 0; i < length; ++i) {
    uint32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (uint32_t(text[i + 1]) - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    char b[4];
    int n;
    if (cp < 0x80) {
      b[0] = char(cp);
      n = 1;
    } else if (cp < 0x800) {
      b[0] = char(0xC0 | (cp >> 6));
      b[1] = char(0x80 | (cp & 0x3F));
      n = 2;
    } else if (cp < 0x10000) {
      b[0] = char(0xE0 | (cp >> 12));
      b[1] = char(0x80 | ((cp >> 6) & 0x3F));
      b[2] = char(0x80 | (cp & 0x3F));
      n = 3;
    } else {
      b[0] = char(0xF0 | (cp >> 18));
      b[1] = char(0x80 | ((cp >> 12) & 0x3F));
      b[2] = char(0x80 | ((cp >> 6) & 0x3F));
      b[3] = char(0x80 | (cp & 0x3F));
      n = 4;
    }
    out.Append(b, size_t(n));
  }
  return out;
}

CCWideString ToWide(const CCString& text) {
  if (text.IsEmpty())
    return CCWideString();
  std::vector<CCWideChar> out;
  out.reserve(text.Length());
  const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
  const auto* end = p + text.Length();
  while (p < end) {
    uint32_t cp;
    int extra;
    unsigned char c = *p;
    if (c < 0x80) {
      cp = c;
      extra = 0;
    } else if (c >= 0xC2 && c <= 0xDF) {
      cp = c & 0x1F;
      extra = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      cp = c & 0x0F;
      extra = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
      cp = c & 0x07;
      extra = 3;
    } else {
      out.push_back(0xFFFD);
      ++p;
      continue;
    }
    int i = 1;
    for (; i <= extra && p + i < end && (p[i] & 0xC0) == 0x80; ++i)
      cp = (cp << 6) | (p[i] & 0x3F);
    bool overlong = (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000);
    if (i <= extra || overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);
      p += i;
      continue;
    }
    p += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(CCWideChar(0xD800 + (cp >> 10)));
      out.push_back(CCWideChar(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(CCWideChar(cp));
    }
  }
  return CCWideString(out.data(), uint32_t(out.size()));
}

int GetOSMajorVersion() {
  static int s_major = -1;
  if (s_major < 0) {
    struct utsname name;
    s_major = uname(&name) == 0 ? std::atoi(name.release) : 0;
  }
  return s_major;
}
