#include "plugin/action_dll_holder.h"

constinit ActionDLLHolder g_actionHolder;
constinit int32_t g_pluginLoadCount = 0;

// The base destructor frees a module still loaded at process exit.
ActionDLLHolder::~ActionDLLHolder() = default;

void ActionDLLHolder::Unload() {
  // An Unload without a user changes nothing: a count driven below 0 would leave the next
  // load uncounted, and its module loaded for good.
  if (g_pluginLoadCount > 0 && --g_pluginLoadCount != 0)
    return;
  g_pluginLoadCount = 0;
  DLLHolder::Unload();
  ForgetExports();
}

void* ActionDLLHolder::GetFunction(const char* name) {
  if (!IsLoaded())
    UpdateAndLoad(*this, CCString(), nullptr);
  return DLLHolder::GetFunction(name);
}

bool ActionDLLHolder::LoadFrom(const CCString& newPath) {
  // The only user lets go first, so that a new file really replaces the loaded module.
  if (g_pluginLoadCount == 1)
    Unload();
  if (!Load(newPath))
    return false;
  ++g_pluginLoadCount;
  path = newPath;
  return true;
}

void ActionDLLHolder::ForgetExports() {
  PLG_CreatePlugin.Forget();
  PLG_Delete.Forget();
  PLG_GetParamNames.Forget();
  PLG_AddParam.Forget();
  PLG_ProcessParams.Forget();
  PLG_NewWindow.Forget();
  PLG_GetStream.Forget();
  PLG_NewStream.Forget();
  PLG_Write.Forget();
  PLG_DestroyStream.Forget();
  PLG_GetLoadState.Forget();
  PLG_InitLoadState.Forget();
  PLG_HasError.Forget();
  PLG_GetURL.Forget();
  PLG_set_error.Forget();
  PLG_Do.Forget();
  PLG_ProcessNotifications.Forget();
  PLG_Version.Forget();
  PLG_SpeedLauncher.Forget();
  PLG_DirectInstaller.Forget();
  PLG_CheckUpdateNeeded.Forget();
  PLG_Install.Forget();
  PLG_Install2.Forget();
  PLG_Uninstall.Forget();
  PLG_Uninstall2.Forget();
  PLG_InstalledSize.Forget();
  PLG_Update.Forget();
  PLG_Update2.Forget();
  PLG_UpdateAndLaunch.Forget();
  PLG_UpdateAndLaunch2.Forget();
  PLG_GetProductName.Forget();
  PLG_SetTovikSessionGID.Forget();
  PLG_SetGamesBaseParent.Forget();
}
