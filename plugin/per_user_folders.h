#pragma once

#include <cstdint>
#include <optional>

#include "launcher/dllholder/dll_holder.h"
#include "launcher/text/cc_string.h"

// Where the plug-in DLL is looked for and installed, and the per-user company folder with
// its "Digests" subfolder of short localized texts. Windows only; main thread only.

// The plug-in DLL's file name, in every folder it may lie in.
inline constexpr char kPluginFileName[] = "npwoxact.dll";
// A downloaded copy that could not replace a loaded one waits beside it under this suffix.
inline constexpr char kPendingInstallSuffix[] = ".2";
// The publisher's folder inside the per-user application data folder.
inline constexpr char kCompanyFolderName[] = "Oxtellion";
inline constexpr char kDigestsFolderName[] = "Digests";
// Registry key (under HKEY_CLASSES_ROOT) whose default value is the icon location of the
// browser plug-in installed on the machine; its folder holds that plug-in's DLL.
inline constexpr char kRegisteredPluginIconKey[] =
    "CLSID\\{5B0E7A93-2C61-4F8D-A3E4-9D17C6B2F058}\\DefaultIcon";

// SHGetKnownFolderPath as shell32 exports it: (folder id, KF_FLAG_*, token, out path).
using KnownFolderPathFunction = long(__stdcall*)(const void* folderId,
                                                 unsigned long flags,
                                                 void* token,
                                                 wchar_t** path);

// Access to the per-user base folder: SHGetKnownFolderPath, bound at run time from
// shell32.dll, on Windows 6.0 and later (earlier systems lack it), SHGetFolderPathW before.
// One process-wide object serves the Digests folder; FindPluginPath makes its own for one call.
class KnownFolderFunction {
 public:
  KnownFolderFunction();
  ~KnownFolderFunction() = default;
  KnownFolderFunction(const KnownFolderFunction&) = delete;
  KnownFolderFunction& operator=(const KnownFolderFunction&) = delete;

  // The known folder's path (UTF-16, to be freed with CoTaskMemFree) or the call's failure
  // code. Raises DLLHolder::exception "Cannot load function: SHGetKnownFolderPath" when
  // shell32 lacks the export.
  long Call(const void* folderId, wchar_t** path);
  // Frees shell32 again and forgets the bound address.
  void ReleaseShell32();

  bool isVistaOrLater;
  DLLHolder shell32;
  DLLFunction<KnownFolderPathFunction> getKnownFolderPath{&shell32, "SHGetKnownFolderPath"};
};

// The company data folder ("Oxtellion" in LocalAppDataLow, or in AppData before Windows 6.0).
// Raises PathUtil::PathError "Cannot find LocalAppDataLow" / "Cannot find AppData" when the
// system gives no base folder.
CCString GetCompanyDataFolder(KnownFolderFunction& access);
// The company folder's "Digests" subfolder, created when missing (PathUtil::PathError when it
// cannot be).
CCString GetDigestsFolder();
// The ".loc" text file of `name` in the Digests folder.
CCString GetLocFilePath(const CCString& name);
// The first line of a text file without a leading byte-order mark (UTF-8, or the two-byte
// UTF-16 marks, whose text is not converted), trimmed of white space; empty when the file is
// missing or cannot be read.
CCString ReadFirstLine(const CCString& path);
// The first line of the ".loc" file of `name`, or empty.
CCString ReadLocText(const CCString& name);
// The folder of the browser plug-in registered on the machine, or empty.
CCString GetRegisteredPluginFolder();

// The plug-in DLL to load (`forWriting` false) or to install to (true), or empty when the
// file name of `module` (an HMODULE; null: the executable) is not available. The copy beside
// the module (or in the registered folder) competes with the one in the company folder by
// version; a copy that does not load or lacks PLG_Version counts as unusable. A pending
// ".2" copy beside the answer is moved into its place first when it loads and reports a
// version of at least the copy it replaces; otherwise it is deleted. Must be called while the
// plug-in holder has no module. Raises PathUtil::PathError as GetCompanyDataFolder does, and
// when the company folder cannot be created.
CCString FindPluginPath(void* module, bool forWriting);

// The version the plug-in DLL at `path` reports, or none when it does not load or lacks
// PLG_Version. Loads and frees it through a holder of its own (the plug-in holder's module
// and use count stay untouched).
std::optional<int32_t> ProbePluginVersion(const CCString& path);

// The version comparison of FindPluginPath: whether the company-folder copy is preferred over
// the one beside the module, given each one's version (none: the copy is unusable). The
// module-side copy wins ties.
bool PreferCompanyCopy(std::optional<int32_t> moduleSideVersion,
                       std::optional<int32_t> companyVersion);
