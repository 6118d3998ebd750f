#include "libs/ccutility/http/url.h"

#include <cstring>

namespace cc {

namespace {

// Characters escaped in request lines, in the order the table has always been kept.
constexpr char kEscapedCharacters[] = "$&+,;@ \"<>#{}|^~[]`";

// One flag per byte value, built once from kEscapedCharacters.
struct EscapeTable {
  bool escaped[256] = {};
  EscapeTable() {
    for (const char* c = kEscapedCharacters; *c; ++c)
      escaped[static_cast<unsigned char>(*c)] = true;
  }
};

constexpr int32_t kMaxPort = 65535;

int32_t DefaultPort(const CCString* scheme) {
  return scheme == &HTTPSScheme() ? 443 : 80;
}

}  // namespace

// Function-local objects: usable from other static initialisers, and each has one address
// for the life of the process.
const CCString& HTTPScheme() {
  static const CCString scheme("http");
  return scheme;
}

const CCString& HTTPSScheme() {
  static const CCString scheme("https");
  return scheme;
}

bool ParseURL(const CCString& text, URL& out) {
  out.scheme = nullptr;
  out.host.Clear();
  out.path.Clear();
  out.port = 0;

  // A NUL would cut the host or path short wherever they are used as C strings, so that
  // what was checked is not what gets connected to.
  if (std::memchr(text.c_str(), '\0', text.Length()) != nullptr)
    return false;

  const CCString* scheme = &HTTPScheme();
  CCString rest = text;
  int separator = text.Find("://", 0, true);
  if (separator != CCString::kNotFound) {
    CCString word = text.Substring(0, separator);
    word.SetFlags(CCString::kIgnoreCase);
    if (word == "https")
      scheme = &HTTPSScheme();
    else if (word != "http")
      return false;
    rest = text.Substring(separator + 3);
  }
  int32_t port = DefaultPort(scheme);

  CCString host;
  CCString path;
  int slash = rest.FindFirstOf("/");
  if (slash == 0)
    return false;
  if (slash == CCString::kNotFound) {
    host = rest;
    path = "/";
  } else {
    host = rest.Substring(0, slash);
    path = rest.Substring(slash);
  }

  int colon = host.FindFirstOf(":");
  if (colon != CCString::kNotFound) {
    // Digits only, 1 to 65535: "h.example:80.other.example" is no port 80 on h.example but
    // an address that means something else to every other reader.
    const char* digits = host.c_str() + colon + 1;
    const uint32_t count = host.Length() - uint32_t(colon) - 1;
    int32_t number = 0;
    for (uint32_t i = 0; i < count; ++i) {
      if (digits[i] < '0' || digits[i] > '9')
        return false;
      number = number * 10 + (digits[i] - '0');
      if (number > kMaxPort)
        return false;
    }
    if (number == 0)
      return false;
    port = number;
    host = host.Substring(0, colon);
  }

  out.scheme = scheme;
  out.host = host;
  out.path = path;
  out.port = port;
  return true;
}

CCString ComposeURL(const URL& url) {
  CCString text;
  if (url.port == 0 || url.scheme == nullptr)
    return text;
  text.Append(*url.scheme).Append("://").Append(url.host);
  if (url.port != DefaultPort(url.scheme))
    text.Append(':').AppendNumber(url.port);
  text.Append(url.path);
  return text;
}

CCString EscapeURL(const CCString& text) {
  static const EscapeTable table;
  static const char kHex[] = "0123456789ABCDEF";
  const char* data = text.c_str();
  uint32_t length = text.Length();
  CCString result;
  uint32_t copiedUpTo = 0;
  for (uint32_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (!table.escaped[c])
      continue;
    if (result.IsEmpty())
      result.Reserve(length + length / 2 + 2);
    result.Append(data + copiedUpTo, i - copiedUpTo);
    const char escape[3] = {'%', kHex[c >> 4], kHex[c & 0xF]};
    result.Append(escape, 3);
    copiedUpTo = i + 1;
  }
  if (copiedUpTo == 0)
    return text;  // nothing to escape: share the buffer
  result.Append(data + copiedUpTo, length - copiedUpTo);
  return result;
}

}  // namespace cc
