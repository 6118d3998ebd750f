#pragma once

#include <cstdint>

#include "launcher/dllholder/dll_holder.h"
#include "launcher/text/cc_string.h"

// The publisher's browser plug-in DLL as the launcher uses it: a library whose version it
// asks and which performs the launcher's self-update. Every export is plain C with the caller
// cleaning the stack, under its undecorated name, in both builds.

// The plug-in's version number; higher is newer.
using PluginVersionFunction = int32_t(__cdecl*)();
// Progress of PLG_Install2's work: amount done and total amount, four values of the
// plug-in's own that the launcher ignores, and the context given to PLG_Install2. Answers
// kInstallGoOn, or kInstallCancel to ask the plug-in to stop.
using InstallProgressFunction = int32_t(
    __cdecl*)(int64_t done, int64_t total, int32_t, int32_t, int32_t, int32_t, void* context);
inline constexpr int32_t kInstallGoOn = 0;
inline constexpr int32_t kInstallCancel = 2;
// Brings `targetFolder` up to date from the digest at `digestURL` (both UTF-8) for
// `productName`, reporting through `progress` with `context`; `reserved` is 0. A negative
// answer is a failure.
using Install2Function = int32_t(__cdecl*)(const char* digestURL,
                                           const char* targetFolder,
                                           const char* productName,
                                           InstallProgressFunction progress,
                                           void* context,
                                           int32_t reserved);
// The exports the launcher never calls; their signatures are the plug-in's own affair.
using PluginExportFunction = void(__cdecl*)();

// Holder of the plug-in DLL. Unlike the application DLL's holder it counts its users
// (g_pluginLoadCount): every successful LoadFrom or UpdateAndLoad on a loaded holder is one
// user, every Unload one less, and the module goes only when the last user unloads. Asking
// for an export with nothing loaded first tries to update and load the plug-in. Main thread
// only; nothing is locked.
class ActionDLLHolder : public DLLHolder {
 public:
  constexpr ActionDLLHolder() = default;
  ~ActionDLLHolder() override;

  // One user less; at none left (or none to begin with) frees the module (if any) and forgets
  // all bound exports.
  void Unload() override;
  // With nothing loaded, first runs UpdateAndLoad (default source, the executable's folder);
  // then as DLLHolder::GetFunction, which raises "DLL not loaded for <name>" when that failed.
  void* GetFunction(const char* name) override;

  // Loads the plug-in at `path` as one more user (after unloading it when it had exactly one
  // user, so that a new file replaces the old module). False changes nothing.
  bool LoadFrom(const CCString& path);

  // Makes sure a plug-in at least as new as the publisher announces is loaded: finds the
  // local copy, compares its version, downloads, verifies and installs a new one when needed.
  // `source` is the address of a version file, a "<version>:<address>" line, or empty for
  // the default version file; `module` (an HMODULE, null: the executable) anchors the search
  // for local copies. True when a plug-in module is loaded on return (an older copy stays
  // in use when the update fails). A download is installed only when it reports a version
  // of at least the announced one and of the copy it replaces, through a temporary file
  // renamed into place whole. Never throws: a copy without PLG_Version counts as none, and a
  // per-user folder that cannot be found or made ends the update. *failure (when given) is
  // cleared, then says why no new copy was installed when one was needed, even when an
  // older copy is in use.
  static bool UpdateAndLoad(ActionDLLHolder& holder,
                            CCString source,
                            void* module,
                            CCString* failure = nullptr);

  // The file loaded last.
  CCString path;

  // Every export, bound on first call and forgotten when the last user unloads.
  DLLFunction<PluginExportFunction> PLG_CreatePlugin{this, "PLG_CreatePlugin"};
  DLLFunction<PluginExportFunction> PLG_Delete{this, "PLG_Delete"};
  DLLFunction<PluginExportFunction> PLG_GetParamNames{this, "PLG_GetParamNames"};
  DLLFunction<PluginExportFunction> PLG_AddParam{this, "PLG_AddParam"};
  DLLFunction<PluginExportFunction> PLG_ProcessParams{this, "PLG_ProcessParams"};
  DLLFunction<PluginExportFunction> PLG_NewWindow{this, "PLG_NewWindow"};
  DLLFunction<PluginExportFunction> PLG_GetStream{this, "PLG_GetStream"};
  DLLFunction<PluginExportFunction> PLG_NewStream{this, "PLG_NewStream"};
  DLLFunction<PluginExportFunction> PLG_Write{this, "PLG_Write"};
  DLLFunction<PluginExportFunction> PLG_DestroyStream{this, "PLG_DestroyStream"};
  DLLFunction<PluginExportFunction> PLG_GetLoadState{this, "PLG_GetLoadState"};
  DLLFunction<PluginExportFunction> PLG_InitLoadState{this, "PLG_InitLoadState"};
  DLLFunction<PluginExportFunction> PLG_HasError{this, "PLG_HasError"};
  DLLFunction<PluginExportFunction> PLG_GetURL{this, "PLG_GetURL"};
  DLLFunction<PluginExportFunction> PLG_set_error{this, "PLG_set_error"};
  DLLFunction<PluginExportFunction> PLG_Do{this, "PLG_Do"};
  DLLFunction<PluginExportFunction> PLG_ProcessNotifications{this, "PLG_ProcessNotifications"};
  DLLFunction<PluginVersionFunction> PLG_Version{this, "PLG_Version"};
  DLLFunction<PluginExportFunction> PLG_SpeedLauncher{this, "PLG_SpeedLauncher"};
  DLLFunction<PluginExportFunction> PLG_DirectInstaller{this, "PLG_DirectInstaller"};
  DLLFunction<PluginExportFunction> PLG_CheckUpdateNeeded{this, "PLG_CheckUpdateNeeded"};
  DLLFunction<PluginExportFunction> PLG_Install{this, "PLG_Install"};
  DLLFunction<Install2Function> PLG_Install2{this, "PLG_Install2"};
  DLLFunction<PluginExportFunction> PLG_Uninstall{this, "PLG_Uninstall"};
  DLLFunction<PluginExportFunction> PLG_Uninstall2{this, "PLG_Uninstall2"};
  DLLFunction<PluginExportFunction> PLG_InstalledSize{this, "PLG_InstalledSize"};
  DLLFunction<PluginExportFunction> PLG_Update{this, "PLG_Update"};
  DLLFunction<PluginExportFunction> PLG_Update2{this, "PLG_Update2"};
  DLLFunction<PluginExportFunction> PLG_UpdateAndLaunch{this, "PLG_UpdateAndLaunch"};
  DLLFunction<PluginExportFunction> PLG_UpdateAndLaunch2{this, "PLG_UpdateAndLaunch2"};
  DLLFunction<PluginExportFunction> PLG_GetProductName{this, "PLG_GetProductName"};
  DLLFunction<PluginExportFunction> PLG_SetTovikSessionGID{this, "PLG_SetTovikSessionGID"};
  DLLFunction<PluginExportFunction> PLG_SetGamesBaseParent{this, "PLG_SetGamesBaseParent"};

 private:
  void ForgetExports();
};

// The one plug-in holder of the process.
extern ActionDLLHolder g_actionHolder;
// Users of the loaded plug-in module; never below 0.
extern int32_t g_pluginLoadCount;

// UpdateAndLoad on g_actionHolder for the executable's folder. The caller unloads once when
// it answered true.
bool LoadActionPlugin(CCString source, CCString* failure = nullptr);
