// Feeds arbitrary bytes to ParseURL and EscapeURL and checks what must hold for any input:
// a parsed URL composes back to text that parses to the same record, and escaping leaves
// none of the escaped characters raw while keeping every other byte.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "libs/ccutility/http/url.h"

namespace {

void Check(bool condition) {
  if (!condition)
    __builtin_trap();
}

bool SameText(const CCString& a, const CCString& b) {
  return a.Length() == b.Length() && std::memcmp(a.c_str(), b.c_str(), a.Length()) == 0;
}

void CheckEscape(const CCString& text) {
  static const char kEscaped[] = "$&+,;@ \"<>#{}|^~[]`";
  static const char kHex[] = "0123456789ABCDEF";
  CCString escaped = cc::EscapeURL(text);
  const char* out = escaped.c_str();
  uint32_t o = 0;
  for (uint32_t i = 0; i < text.Length(); ++i) {
    char c = text.c_str()[i];
    unsigned char byte = static_cast<unsigned char>(c);
    if (c != '\0' && std::strchr(kEscaped, c) != nullptr) {
      Check(o + 3 <= escaped.Length() && out[o] == '%' && out[o + 1] == kHex[byte >> 4] &&
            out[o + 2] == kHex[byte & 0xF]);
      o += 3;
    } else {
      Check(o < escaped.Length() && out[o] == c);
      ++o;
    }
  }
  Check(o == escaped.Length());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CCString text(reinterpret_cast<const char*>(data), size);
  cc::URL url;
  if (cc::ParseURL(text, url)) {
    Check(url.scheme == &cc::HTTPScheme() || url.scheme == &cc::HTTPSScheme());
    Check(url.port != 0);
    Check(url.path.StartsWith("/"));
    Check(std::memchr(url.host.c_str(), ':', url.host.Length()) == nullptr);
    Check(std::memchr(url.host.c_str(), '/', url.host.Length()) == nullptr);
    CCString composed = cc::ComposeURL(url);
    bool defaultPort = url.port == (url.scheme == &cc::HTTPSScheme() ? 443 : 80);
    // Only an empty host on the default port composes to text without a host ("http:///").
    if (!url.host.IsEmpty() || !defaultPort) {
      cc::URL again;
      Check(cc::ParseURL(composed, again));
      Check(again.scheme == url.scheme && again.port == url.port);
      Check(SameText(again.host, url.host) && SameText(again.path, url.path));
      Check(SameText(cc::ComposeURL(again), composed));
    }
  } else {
    Check(url.scheme == nullptr && url.port == 0 && url.host.IsEmpty() && url.path.IsEmpty());
  }
  CheckEscape(text);
  return 0;
}
