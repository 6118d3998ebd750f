#include "plugin/trusted_source.h"

#include <algorithm>
#include <string>

#include "plugin/signed_blob.h"
#include "plugin/signed_download.h"
#include "plugin_build_config.h"

std::set<CCString, CCStringLess> g_trustedSuffixes;
cc::Mutex g_trustMutex;

namespace {

constexpr int32_t kCertRetries = 5;
constexpr int32_t kMaxPort = 65535;

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// Lower case, without one trailing dot: "Launcher.Galvorand.Example." names the same host as
// "launcher.galvorand.example".
std::string CanonicalHost(const char* text, size_t length) {
  std::string host(text, length);
  for (char& c : host)
    c = Lower(c);
  if (!host.empty() && host.back() == '.')
    host.pop_back();
  return host;
}

// Labels of letters, digits and "-" joined by single dots (an IPv4 address is one too).
bool IsHostName(const std::string& host) {
  if (host.empty() || host.size() > 253)
    return false;
  size_t labelLength = 0;
  for (char c : host) {
    if (c == '.') {
      if (labelLength == 0)
        return false;
      labelLength = 0;
    } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') {
      if (++labelLength > 63)
        return false;
    } else {
      return false;
    }
  }
  return labelLength > 0;
}

// 1 to 65535 written in digits alone, else 0.
int32_t ParsePort(const char* text, size_t length) {
  int32_t port = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9')
      return 0;
    port = port * 10 + (text[i] - '0');
    if (port > kMaxPort)
      return 0;
  }
  return port;
}

struct HostAndPort {
  std::string host;         // canonical
  int32_t port = 0;         // as written, else the scheme's default
  int32_t defaultPort = 0;  // the scheme's
};

// The host and port of an absolute http or https address whose host-and-port part is a host
// name and an optional port of digits alone; false for anything else (user names, a port
// with more after it, no scheme), which is then trusted by no suffix.
bool SplitAddress(const CCString& url, HostAndPort& out) {
  const char* text = url.c_str();
  const size_t length = url.Length();
  const char* end = text + length;
  static constexpr char kSchemeEnd[] = "://";
  const char* separator = std::search(text, end, kSchemeEnd, kSchemeEnd + 3);
  if (separator == end)
    return false;
  const std::string scheme = CanonicalHost(text, size_t(separator - text));
  if (scheme == "http")
    out.defaultPort = 80;
  else if (scheme == "https")
    out.defaultPort = 443;
  else
    return false;
  out.port = out.defaultPort;
  const char* authority = separator + 3;
  const char* authorityEnd = authority;
  while (authorityEnd != end && *authorityEnd != '/' && *authorityEnd != '?' &&
         *authorityEnd != '#')
    ++authorityEnd;
  const char* colon = std::find(authority, authorityEnd, ':');
  if (colon != authorityEnd) {
    out.port = ParsePort(colon + 1, size_t(authorityEnd - colon - 1));
    if (out.port == 0)
      return false;
  }
  // A second trailing dot, or a NUL inside, leaves something that is no host name.
  out.host = CanonicalHost(authority, size_t(colon - authority));
  return IsHostName(out.host);
}

// Whether `address` lies under `suffix` (".galvorand.example", or with ":7000" only that
// port): its host ends with the suffix's host, and its port is the suffix's port, or the
// scheme's default when the suffix names none.
bool MatchesSuffix(const HostAndPort& address, const CCString& suffix) {
  const char* text = suffix.c_str();
  const char* end = text + suffix.Length();
  const char* colon = std::find(text, end, ':');
  int32_t port = address.defaultPort;
  if (colon != end) {
    port = ParsePort(colon + 1, size_t(end - colon - 1));
    if (port == 0)
      return false;
  }
  std::string host = CanonicalHost(text, size_t(colon - text));
  if (host.empty() || port != address.port || address.host.size() < host.size())
    return false;
  if (address.host.compare(address.host.size() - host.size(), host.size(), host) != 0)
    return false;
  // A suffix written without its leading dot still stops at a label boundary.
  return host[0] == '.' || address.host.size() == host.size() ||
         address.host[address.host.size() - host.size() - 1] == '.';
}

bool IsTrustedAddress(const CCString& url) {
  HostAndPort address;
  if (url.IsEmpty() || !SplitAddress(url, address))
    return false;
  for (const CCString& suffix : g_trustedSuffixes) {
    if (MatchesSuffix(address, suffix))
      return true;
  }
  return false;
}

// Adds each trimmed, non-empty line (ended by CR, LF or CR LF) of `list`.
void AddSuffixLines(const CCString& list) {
  const char* text = list.c_str();
  const uint32_t length = list.Length();
  uint32_t start = 0;
  for (uint32_t i = 0; i <= length; ++i) {
    if (i < length && text[i] != '\r' && text[i] != '\n')
      continue;
    CCString line(text + start, i - start);
    line.Trim();
    if (!line.IsEmpty())
      g_trustedSuffixes.insert(line);
    if (i + 1 < length && text[i] == '\r' && text[i + 1] == '\n')
      ++i;
    start = i + 1;
  }
}

}  // namespace

bool IsTrustedSource(const CCString& url1, const CCString& url2) {
  if (g_trustedSuffixes.empty()) {
    for (const char* suffix : plugin_build_config::kTrustedSuffixes)
      g_trustedSuffixes.insert(CCString(suffix));
  }
  return IsTrustedAddress(url1) || IsTrustedAddress(url2);
}

int32_t CheckSourceTrusted(const CCString& folder,
                           const CCString& url1,
                           const CCString& url2,
                           CCString* errorText) {
  CCString localError;
  CCString& error = errorText ? *errorText : localError;
  error.Clear();
  cc::MutexLock lock(g_trustMutex);
  if (IsTrustedSource(url1, url2))
    return kSourceTrusted;

  CCString certUrl = folder + "url.cert";
  CCString list = FetchSigned(certUrl, &error, &g_certKey, kCertRetries);
  if (list.IsEmpty()) {
    if (error == "Signature check failed") {
      error = "Signature check failed on ";
      error.Append(certUrl).Append(". Download was probably corrupt");
      return kCertSignatureFailed;
    }
    return kCertUnavailable;
  }
  AddSuffixLines(list);
  if (IsTrustedSource(url1, url2))
    return kSourceTrusted;

  if (!url1.IsEmpty() && !url2.IsEmpty() && url1 != url2) {
    error = "Neither ";
    error.Append(url1).Append(" nor ").Append(url2).Append(" was found in ").Append(certUrl);
  } else {
    error = url1.IsEmpty() ? url2 : url1;
    error.Append(" was not found in ").Append(certUrl);
  }
  return kSourceNotTrusted;
}
