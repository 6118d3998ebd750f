#pragma once

#include <cstdint>
#include <set>

#include "launcher/text/cc_string.h"
#include "libs/ccutility/thread/cc_mutex.h"

// The hosts the plug-in manager downloads from: a built-in list of host suffixes (build
// configuration), extended by the signed "url.cert" list served beside the download.

// Results of CheckSourceTrusted.
enum TrustResult : int32_t {
  kSourceTrusted = 0,
  kCertUnavailable = 1,      // "url.cert" could not be fetched
  kCertSignatureFailed = 2,  // "url.cert" failed its signature check
  kSourceNotTrusted = 3,     // not trusted even with "url.cert"
};

// Host suffixes such as ".galvorand.example" or ".galvorand.example:7000": the built-in
// nine, inserted by the first check, then every line of each "url.cert" fetched. Only grows.
extern std::set<CCString, CCStringLess> g_trustedSuffixes;
// Held for the whole of CheckSourceTrusted, download of "url.cert" included.
extern cc::Mutex g_trustMutex;

// True when url1 or url2 is an http(s) address whose host-and-port part is a host name and an
// optional port of digits alone, and whose host ends with a suffix of the set, compared
// without regard to case or one trailing dot; a suffix without a port stands for the scheme's
// default port (so ":80" written out is the same address), one with a port for that port
// only. Anything else in the host-and-port part (a user name, a port followed by more text)
// is trusted by no suffix. Takes no lock.
bool IsTrustedSource(const CCString& url1, const CCString& url2);

// Whether url1 or url2 is trusted, fetching folder + "url.cert" (signed with g_certKey) when
// the set does not already trust them. Returns a TrustResult; *errorText (when given) is
// cleared, then says what failed. Holds g_trustMutex throughout.
int32_t CheckSourceTrusted(const CCString& folder,
                           const CCString& url1,
                           const CCString& url2,
                           CCString* errorText);
