#include "plugin/trusted_source.h"

#include "plugin/signed_blob.h"
#include "plugin/signed_download.h"
#include "plugin_build_config.h"

std::set<CCString, CCStringLess> g_trustedSuffixes;
cc::Mutex g_trustMutex;

namespace {

// The host part is searched for from here: the length of "https://".
constexpr int kHostSearchStart = 8;
constexpr int32_t kCertRetries = 5;

bool MatchesSuffix(const CCString& url, const CCString& suffix) {
  if (url.IsEmpty())
    return false;
  const int at = url.Find(suffix.c_str(), 0, url.IgnoresCase());
  if (at == CCString::kNotFound)
    return false;
  int hostEnd = int(url.Length());
  if (url.Length() > uint32_t(kHostSearchStart)) {
    const int slash = url.Find("/", kHostSearchStart);
    if (slash != CCString::kNotFound)
      hostEnd = slash;
  }
  // The (first) occurrence must reach the end of the host-and-port part.
  return at < hostEnd && at + int(suffix.Length()) >= hostEnd;
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
  for (const CCString& suffix : g_trustedSuffixes) {
    if (MatchesSuffix(url1, suffix) || MatchesSuffix(url2, suffix))
      return true;
  }
  return false;
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
