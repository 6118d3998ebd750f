#pragma once

#include <cstdint>

#include "launcher/text/cc_string.h"
#include "plugin/big_number_1056.h"

// Downloads of signed files over HTTP with retries. Report by return values and an optional
// error text; never throw. Share no state: any thread may call them.

// The User-Agent of every request of the plug-in manager.
extern const char* const kPluginUserAgent;  // "Orvandle Player/1.0.3.158"

// GETs `url` (escaped here) in up to retries + 1 attempts, each on a new client, and returns
// the content verified with `key` (the body unverified when key is null), or an empty string
// when every attempt failed. A 3xx or 4xx answer stops at once; a 5xx is asked again after
// attempt x 1 s; another unhandled status and a failed signature are asked again with a
// cache-busting query ("cb=" and one more letter "A".."P" each time); a cut connection (the
// client was killed, see cc::CancelGroup) stops at once; any other failure is asked again at
// once. *errorText (when given) keeps the last failure, cleared on success.
CCString FetchSigned(const CCString& url,
                     CCString* errorText,
                     const BigNumber1056* key,
                     int32_t retries);

// FetchSigned with g_pluginKey, then writes the content to `path` (when throughTemporary,
// under a name of UniqueTemporaryPath renamed over `path` in one step, so that `path` holds
// either its old file or the whole new one). True when the verified content is at `path`;
// on false no temporary file is left. *errorText says what failed: the download's text,
// "Unable to write <file>" or "Unable to move <temporary> to <path>".
bool DownloadSignedToFile(const CCString& path,
                          const CCString& url,
                          bool throughTemporary,
                          int32_t retries,
                          CCString* errorText);

// `path` followed by "." and 16 hex digits of its own and ".tmp": a name beside `path` that no
// other launcher running at the same time picks.
CCString UniqueTemporaryPath(const CCString& path);

// Writes `content` as the whole of the file at `path` (its folders made when missing), checks
// every write and reads the file back. True only when all of `content` is on disk; on false
// nothing is left at `path`.
bool WriteCompleteFile(const CCString& path, const CCString& content);

// Every wait between the attempts of FetchSigned goes through here, and every wait of the
// HTTP client it uses (which asks a 5xx answer again itself) through the second: waits that
// end early when the calling thread's cc::CancelGroup is cancelled, unless a test put its own
// recorders in.
extern void (*g_fetchSignedWait)(uint32_t ms);
extern void (*g_fetchSignedClientWait)(uint32_t ms);
