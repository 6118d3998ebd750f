#include "plugin/signed_download.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>

#include "launcher/pathutil/path_util.h"
#include "libs/ccutility/file/cc_file.h"
#include "libs/ccutility/file/read_whole_file.h"
#include "libs/ccutility/http/cancel_group.h"
#include "libs/ccutility/http/http_client.h"
#include "libs/ccutility/http/url.h"
#include "libs/ccutility/thread/cc_thread.h"
#include "plugin/signed_blob.h"

const char* const kPluginUserAgent = "Orvandle Player/1.0.3.158";

void (*g_fetchSignedWait)(uint32_t ms) = cc::CancelGroup::WaitOnCurrent;
void (*g_fetchSignedClientWait)(uint32_t ms) = cc::CancelGroup::WaitOnCurrent;

namespace {

// The HTTP client of the signed downloads: the program's client, whose own waits (between
// the attempts it makes on a 5xx answer) go through g_fetchSignedClientWait.
class SignedDownloadClient : public cc::HTTPClient {
 protected:
  void Pause(uint32_t ms) override { g_fetchSignedClientWait(ms); }
};

using Unhandled = cc::HTTP::Exception::UnhandledResponse;

constexpr uint32_t kServerErrorWaitMs = 1000;  // times the attempt number

const char kSignatureFailed[] = "Signature check failed";

// Asks caches between us and the server for an address they have not seen: "?cb=" (or
// "&cb=") the first time, then one more letter "A".."P" each time, from the runtime's
// generator, which is not seeded here.
void BustCache(CCString& url, bool& busted) {
  if (!busted)
    url.Append(url.Find("?") == CCString::kNotFound ? "?cb=" : "&cb=");
  busted = true;
  url.Append(char('A' + std::rand() % 16));
}

CCString FailureText(const char* description, const CCString& url) {
  CCString text(description);
  text.Append(" - ").Append(url);
  return text;
}

}  // namespace

CCString FetchSigned(const CCString& url,
                     CCString* errorText,
                     const BigNumber1056* key,
                     int32_t retries) {
  CCString address = cc::EscapeURL(url);
  CCString localError;
  CCString& error = errorText ? *errorText : localError;
  bool busted = false;
  for (int32_t attempt = 0; attempt <= retries; ++attempt) {
    try {
      CCString body;
      {
        SignedDownloadClient client;
        client.userAgent = kPluginUserAgent;
        client.SendRequest("GET", address);
        body = client.Body();
      }
      if (!key)
        return body;
      CCString content = VerifySignedBlob(*key, body);
      if (!content.IsEmpty()) {
        error.Clear();
        return content;
      }
      error = kSignatureFailed;
      BustCache(address, busted);
    } catch (const cc::HTTP::Exception::ConnectionKilled& e) {
      // The work was cut from outside: no attempt would get further.
      error = FailureText(e.what(), address);
      return CCString();
    } catch (const Unhandled::Redirection& e) {
      error = FailureText(e.what(), address);
      return CCString();
    } catch (const Unhandled::ServerError& e) {
      error = FailureText(e.what(), address);
      g_fetchSignedWait(uint32_t(attempt) * kServerErrorWaitMs);
    } catch (const Unhandled::ClientError& e) {
      error = FailureText(e.what(), address);
      return CCString();
    } catch (const Unhandled& e) {
      error = FailureText(e.what(), address);
      BustCache(address, busted);
    } catch (const std::exception& e) {
      error = FailureText(e.what(), address);
    } catch (...) {
      error = FailureText("Unknown exception", address);
    }
  }
  return CCString();
}

CCString UniqueTemporaryPath(const CCString& path) {
  static std::atomic<uint32_t> counter{0};
  std::random_device device;
  uint64_t bits = (uint64_t(device()) << 32) ^ device();
  bits ^= uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
  bits += uint64_t(++counter) << 48;
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(bits));
  CCString temporary = path;
  temporary.Append(suffix).Append(".tmp");
  return temporary;
}

bool WriteCompleteFile(const CCString& path, const CCString& content) {
  {
    cc::File file;
    if (!file.Open(path, cc::File::kWrite, true, true))
      return false;
    const bool written = file.Write(content) == content.Length();
    file.Close();
    if (!written) {
      PathUtil::DeletePath(path, true);
      return false;
    }
  }
  // A full disk may only show when the runtime hands its buffer to the system: what counts is
  // what reads back.
  CCString back;
  try {
    back = PathUtil::ReadWholeFile(path);
  } catch (const cc::File::Exception&) {
  }
  if (back == content)
    return true;
  PathUtil::DeletePath(path, true);
  return false;
}

bool DownloadSignedToFile(const CCString& path,
                          const CCString& url,
                          bool throughTemporary,
                          int32_t retries,
                          CCString* errorText) {
  CCString content = FetchSigned(url, errorText, &g_pluginKey, retries);
  if (content.IsEmpty())
    return false;
  const CCString target = throughTemporary ? UniqueTemporaryPath(path) : path;
  if (!WriteCompleteFile(target, content)) {
    if (errorText) {
      *errorText = "Unable to write ";
      errorText->Append(target);
    }
    return false;
  }
  if (throughTemporary && PathUtil::MoveReplacing(target, path) != 0) {
    PathUtil::DeletePath(target, true);
    if (errorText) {
      *errorText = "Unable to move ";
      errorText->Append(target).Append(" to ").Append(path);
    }
    return false;
  }
  return true;
}
