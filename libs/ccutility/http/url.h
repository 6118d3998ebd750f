#pragma once

#include <cstdint>

#include "launcher/text/cc_string.h"

namespace cc {

// The two scheme texts a URL can carry. A parsed URL points at one of these objects, so
// callers compare the pointer (`url.scheme == &cc::HTTPScheme()`), never the characters.
const CCString& HTTPScheme();   // "http", default port 80
const CCString& HTTPSScheme();  // "https", default port 443

// An absolute URL split into the parts the HTTP client needs.
struct URL {
  const CCString* scheme = nullptr;  // HTTPScheme() or HTTPSScheme(); null before parsing
  CCString host;                     // as written, without the port
  CCString path;                     // always begins with "/"; query left as it is
  int32_t port = 0;                  // 0 before parsing and after a failed parse
};

// Splits `text` ("scheme://host:port/path", scheme and port optional) into `out`.
// False, with `out` cleared, for a scheme other than http/https (any case), an empty host
// before the first "/", a port that is not 1 to 65535 in decimal digits alone (":", ":0",
// ":x", ":80.other.example") or a NUL byte anywhere in the text.
bool ParseURL(const CCString& text, URL& out);

// scheme "://" host [":" port] path; the port only when it is not the scheme's default.
// Empty for a record that holds no parsed URL (port 0 or no scheme).
CCString ComposeURL(const URL& url);

// Replaces each of the characters that may not appear raw in a request line
// ($ & + , ; @ blank " < > # { } | ^ ~ [ ] `) by "%" and its two upper-case hex digits.
// Everything else, "%" included, is copied as it is.
CCString EscapeURL(const CCString& text);

}  // namespace cc
