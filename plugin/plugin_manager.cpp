#include "plugin/action_dll_holder.h"

#include <ctime>

#include "launcher/pathutil/path_util.h"
#include "libs/ccutility/file/cc_file.h"
#include "libs/ccutility/http/http_client.h"
#include "plugin/cc_lzma.h"
#include "plugin/per_user_folders.h"
#include "plugin/plugin_offer.h"
#include "plugin/signed_blob.h"
#include "plugin/signed_download.h"
#include "plugin/trusted_source.h"

namespace {

// Attempts after the first for every plug-in download.
constexpr int32_t kDownloadRetries = 5;

// The version file's text, or empty when it cannot be fetched. A time query keeps caches on
// the way from answering with an old file, unless the address has a query of its own.
CCString FetchVersionFile(CCString& address) {
  if (address.Find("?") == CCString::kNotFound) {
    address += "?t=";
    address.AppendNumber(int64_t(std::time(nullptr)));
  }
  cc::HTTPClient client;
  client.userAgent = kPluginUserAgent;
  return client.FetchIfModified(address, nullptr, kDownloadRetries, nullptr);
}

// The verified, decompressed package written to `target`; false when any of that failed.
bool InstallPackage(const CCString& packageURL, const CCString& target) {
  CCString package = FetchSigned(packageURL, nullptr, &g_pluginKey, kDownloadRetries);
  if (package.IsEmpty())
    return false;
  CCLZMA lzma;
  CCString dll = CCCompression::Run(lzma, package);
  if (dll.IsEmpty())
    return false;
  cc::File file;
  if (!file.Open(target, cc::File::kWrite, true, true))
    return false;
  file.Write(dll);
  file.Close();
  return true;
}

}  // namespace

bool ActionDLLHolder::UpdateAndLoad(ActionDLLHolder& holder, CCString source, void* module) {
  if (holder.IsLoaded()) {
    ++g_pluginLoadCount;
    return true;
  }
  if (source.IsEmpty())
    source = kDefaultVersionFileURL;
  if (ParseOfferVersion(source) == 0) {
    CCString body = FetchVersionFile(source);
    source = SourceFromVersionFile(body, source);
  }
  PluginOffer offer = ParsePluginOffer(source);
  source = offer.packageURL;

  CCString existing = FindPluginPath(module, false);
  if (existing.IsEmpty())
    return false;
  // A copy that loads stays loaded (and counted) even when it is too old: it is used when
  // the update fails.
  if (PathUtil::FileExists(existing) && holder.LoadFrom(existing) &&
      holder.PLG_Version() >= offer.version)
    return true;

  int lastSlash = source.FindLastOf("/");
  if (lastSlash == CCString::kNotFound)
    return holder.IsLoaded();
  CCString folder = source.Substring(0, lastSlash + 1);

  CCString installPath = FindPluginPath(module, true);
  // The old file may be in use: the new one waits beside it until it can take its place.
  CCString target = existing == installPath ? installPath + kPendingInstallSuffix : installPath;
  source += "?v=";
  source.AppendNumber(offer.version);

  CCString trustError;
  if (CheckSourceTrusted(folder, folder, CCString(), &trustError) != 0)
    return holder.IsLoaded();

  if (!InstallPackage(source, target)) {
    // The uncompressed, signed DLL beside the package is the fallback.
    source.ReplaceAll(".zs?", ".sig?");
    if (!DownloadSignedToFile(target, source, true, kDownloadRetries, nullptr))
      return holder.IsLoaded();
  }

  holder.Unload();
  if (installPath != target && PathUtil::ReplaceFile(target, installPath) == 0)
    target = installPath;
  return holder.LoadFrom(target);
}

bool LoadActionPlugin(CCString source) {
  return ActionDLLHolder::UpdateAndLoad(g_actionHolder, source, nullptr);
}
