#include <windows.h>

#include <shlobj.h>

#include <optional>
#include <string>

#include "launcher/pathutil/path_util.h"
#include "launcher/text/text_helpers.h"
#include "libs/ccutility/registry/registry_key.h"
#include "libs/ccutility/win/known_folder.h"
#include "plugin/action_dll_holder.h"
#include "plugin/per_user_folders.h"

namespace {

// FOLDERID_LocalAppDataLow, spelled out so no GUID library has to be linked for it.
const GUID kLocalAppDataLow = {0xA520A1A4,
                               0x1780,
                               0x4FF6,
                               {0xBD, 0x18, 0x16, 0x73, 0x43, 0xC5, 0xAF, 0x16}};
// KF_FLAG_CREATE: the folder is made when it does not exist yet.
constexpr unsigned long kCreateKnownFolder = 0x1000;

// Serves the Digests folder for the whole run; keeps shell32 loaded once it was needed.
KnownFolderFunction g_knownFolders;

}  // namespace

std::optional<int32_t> ProbePluginVersion(const CCString& path) {
  // A holder of its own, so that the plug-in holder's module and use count stay untouched.
  DLLHolder holder;
  DLLFunction<PluginVersionFunction> version{&holder, "PLG_Version"};
  try {
    if (!holder.Load(path))
      return std::nullopt;
    return version();
  } catch (const DLLHolder::exception&) {
    return std::nullopt;
  }
}

KnownFolderFunction::KnownFolderFunction() : isVistaOrLater(GetOSMajorVersion() >= 6) {}

long KnownFolderFunction::Call(const void* folderId, wchar_t** path) {
  if (!shell32.IsLoaded())
    shell32.Load("shell32.dll");
  return getKnownFolderPath(folderId, kCreateKnownFolder, nullptr, path);
}

void KnownFolderFunction::ReleaseShell32() {
  shell32.Unload();
  getKnownFolderPath.Forget();
}

CCString GetCompanyDataFolder(KnownFolderFunction& access) {
  CCString base;
  if (access.isVistaOrLater) {
    cc::win::ScopedShellText path;
    if (FAILED(access.Call(&kLocalAppDataLow, path.Receive())) || !path)
      throw PathUtil::PathError("Cannot find LocalAppDataLow", CCString());
    base = ToUTF8(path.Get());
  } else {
    std::optional<std::wstring> path = cc::win::ShellFolderPath(CSIDL_APPDATA);
    if (!path)
      throw PathUtil::PathError("Cannot find AppData", CCString());
    base = ToUTF8(path->c_str(), int(path->size()));
  }
  return PathUtil::JoinPath(base, kCompanyFolderName);
}

CCString GetDigestsFolder() {
  CCString folder = PathUtil::JoinPath(GetCompanyDataFolder(g_knownFolders), kDigestsFolderName);
  PathUtil::CreateFolders(folder, true);
  return folder;
}

CCString GetLocFilePath(const CCString& name) {
  return PathUtil::JoinPath(GetDigestsFolder(), name) + ".loc";
}

CCString GetRegisteredPluginFolder() {
  RegistryKey key;
  key.OpenKey(kRegisteredPluginIconKey, HKEY_CLASSES_ROOT);
  CCString icon = key.ReadString("");
  if (icon.IsEmpty())
    return CCString();
  return PathUtil::GetDirectoryPart(icon);
}

CCString FindPluginPath(void* module, bool forWriting) {
  KnownFolderFunction access;
  wchar_t modulePath[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(static_cast<HMODULE>(module), modulePath, MAX_PATH);
  if (length == 0)
    return CCString();

  CCString besideModule = PathUtil::JoinPath(
      PathUtil::GetDirectoryPart(ToUTF8(modulePath, int(length))), kPluginFileName);
  if (!PathUtil::FileExists(besideModule)) {
    CCString registered = GetRegisteredPluginFolder();
    if (!registered.IsEmpty())
      besideModule = PathUtil::JoinPath(registered, kPluginFileName);
  }

  CCString result;
  CCString company = GetCompanyDataFolder(access);
  if (!company.IsEmpty()) {
    if (forWriting) {
      PathUtil::CreateFolders(company, false);
      result = PathUtil::JoinPath(company, kPluginFileName);
    } else {
      CCString companyCopy = PathUtil::JoinPath(company, kPluginFileName);
      if (PathUtil::FileExists(companyCopy)) {
        result = companyCopy;
        if (PathUtil::FileExists(besideModule) &&
            !PreferCompanyCopy(ProbePluginVersion(besideModule), ProbePluginVersion(companyCopy)))
          result.Clear();
      }
    }
  }
  if (result.IsEmpty())
    result = besideModule;

  // Finish an install that could not replace a DLL that was in use at the time, but only with
  // a copy that works and is not older than the one it would replace; any other is dropped.
  CCString pending = result + kPendingInstallSuffix;
  if (PathUtil::FileExists(pending)) {
    std::optional<int32_t> pendingVersion = ProbePluginVersion(pending);
    std::optional<int32_t> currentVersion;
    if (PathUtil::FileExists(result))
      currentVersion = ProbePluginVersion(result);
    if (!pendingVersion || (currentVersion && *pendingVersion < *currentVersion))
      PathUtil::DeletePath(pending, true);
    else if (PathUtil::MoveReplacing(pending, result) != 0)
      result = pending;
  }
  access.ReleaseShell32();
  return result;
}
