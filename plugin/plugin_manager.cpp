#include "plugin/action_dll_holder.h"

#include <ctime>
#include <exception>
#include <optional>

#include "launcher/pathutil/path_util.h"
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

// The verified plug-in DLL: the signed ".zs" package decompressed, or else the signed
// uncompressed ".sig" file beside it. Empty when neither came through; *error then says why.
CCString FetchPlugin(CCString packageURL, CCString* error) {
  CCString package = FetchSigned(packageURL, error, &g_pluginKey, kDownloadRetries);
  if (!package.IsEmpty()) {
    CCLZMA lzma;
    CCString dll = CCCompression::Run(lzma, package);
    if (!dll.IsEmpty())
      return dll;
  }
  packageURL.ReplaceAll(".zs?", ".sig?");
  return FetchSigned(packageURL, error, &g_pluginKey, kDownloadRetries);
}

// The loaded module's version, or none when it lacks PLG_Version (a stray DLL of that name).
std::optional<int32_t> LoadedVersion(ActionDLLHolder& holder) {
  try {
    return holder.PLG_Version();
  } catch (const DLLHolder::exception&) {
    return std::nullopt;
  }
}

CCString VersionText(std::optional<int32_t> version) {
  return version ? CCString::Format("%d", int(*version)) : CCString("none");
}

// Puts the verified file `temporary` in the place of `installPath`, after the holder let go of
// the module it may have loaded from there. A file still in use by another process keeps its
// place; the new one then waits beside it as the pending copy that the next start completes.
// Returns the path now holding the new file, or empty (the temporary file is then gone).
CCString MoveIntoPlace(ActionDLLHolder& holder,
                       const CCString& temporary,
                       const CCString& installPath) {
  if (holder.IsLoaded())
    holder.Unload();
  if (PathUtil::MoveReplacing(temporary, installPath) == 0)
    return installPath;
  const CCString pending = installPath + kPendingInstallSuffix;
  if (PathUtil::MoveReplacing(temporary, pending) == 0)
    return pending;
  PathUtil::DeletePath(temporary, true);
  return CCString();
}

bool UpdateAndLoadOrThrow(ActionDLLHolder& holder,
                          CCString source,
                          void* module,
                          CCString& failure) {
  if (source.IsEmpty())
    source = kDefaultVersionFileURL;
  if (ParseOfferVersion(source) == 0) {
    CCString body = FetchVersionFile(source);
    source = SourceFromVersionFile(body, source);
  }
  PluginOffer offer = ParsePluginOffer(source);
  source = offer.packageURL;

  CCString existing = FindPluginPath(module, false);
  if (existing.IsEmpty()) {
    failure = "The launcher's own file name is not available";
    return false;
  }
  // A copy that loads and reports a version stays loaded (and counted) even when it is too
  // old: it is used when the update fails. One without PLG_Version is no plug-in at all.
  std::optional<int32_t> current;
  if (PathUtil::FileExists(existing) && holder.LoadFrom(existing)) {
    current = LoadedVersion(holder);
    if (current && *current >= offer.version)
      return true;
    if (!current) {
      failure = CCString("No PLG_Version in ").Append(existing);
      holder.Unload();
    }
  }

  int lastSlash = source.FindLastOf("/");
  if (lastSlash == CCString::kNotFound) {
    failure = CCString("No folder in the package address ").Append(source);
    return holder.IsLoaded();
  }
  CCString folder = source.Substring(0, lastSlash + 1);
  CCString installPath = FindPluginPath(module, true);
  source += "?v=";
  source.AppendNumber(offer.version);

  if (CheckSourceTrusted(folder, folder, CCString(), &failure) != kSourceTrusted)
    return holder.IsLoaded();
  CCString dll = FetchPlugin(source, &failure);
  if (dll.IsEmpty())
    return holder.IsLoaded();

  const CCString temporary = UniqueTemporaryPath(installPath);
  if (!WriteCompleteFile(temporary, dll)) {
    failure = CCString("Cannot write ").Append(temporary);
    return holder.IsLoaded();
  }
  // The signature says who made the file, not that it is the one announced: an older signed
  // release served in its place must not take over (nor one older than the copy in use).
  std::optional<int32_t> downloaded = ProbePluginVersion(temporary);
  if (!downloaded || *downloaded < offer.version || (current && *downloaded < *current)) {
    PathUtil::DeletePath(temporary, true);
    failure = CCString::Format("The plug-in from %s reports version %s, below the announced %d",
                               source.c_str(), VersionText(downloaded).c_str(), int(offer.version));
    if (current)
      failure.Append(" or the installed ").Append(VersionText(current));
    return holder.IsLoaded();
  }

  CCString target = MoveIntoPlace(holder, temporary, installPath);
  if (target.IsEmpty()) {
    failure = CCString("Cannot move the new plug-in to ").Append(installPath);
    return current && holder.LoadFrom(existing);
  }
  if (!holder.LoadFrom(target)) {
    failure = CCString("Cannot load ").Append(target);
    return false;
  }
  return true;
}

}  // namespace

bool ActionDLLHolder::UpdateAndLoad(ActionDLLHolder& holder,
                                    CCString source,
                                    void* module,
                                    CCString* failure) {
  if (holder.IsLoaded()) {
    ++g_pluginLoadCount;
    return true;
  }
  CCString localFailure;
  CCString& text = failure ? *failure : localFailure;
  text.Clear();
  try {
    return UpdateAndLoadOrThrow(holder, source, module, text);
  } catch (const std::exception& e) {
    // No per-user folder (PathUtil::PathError), shell32 without the known-folder call: the
    // start goes on without the plug-in rather than without the game.
    text = e.what();
  } catch (...) {
    text = "Unknown exception";
  }
  // An older copy loaded before the failure stays in use.
  return holder.IsLoaded();
}

bool LoadActionPlugin(CCString source, CCString* failure) {
  return ActionDLLHolder::UpdateAndLoad(g_actionHolder, source, nullptr, failure);
}
