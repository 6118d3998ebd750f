#include <windows.h>

#include <objbase.h>
#include <shlguid.h>
#include <shlobj.h>

#include "launcher/self_update.h"
#include "launcher/text/text_helpers.h"
#include "libs/ccutility/http/cancel_group.h"
#include "libs/ccutility/win/system_function.h"
#include "libs/ccutility/win/win_handles.h"
#include "plugin/action_dll_holder.h"
#include "plugin/per_user_folders.h"

namespace {

// The shell's animation of files flying between folders, in shell32's resources.
constexpr UINT kCopyFilesAnimation = 161;

// COM and the message box, bound on first use: imported, ole32 and user32 would be loaded
// and started in every launch, while only an update needs them.
constexpr wchar_t kOle32[] = L"ole32.dll";
constinit cc::win::SystemFunction<decltype(&::CoInitialize)> g_coInitialize{kOle32, "CoInitialize"};
constinit cc::win::SystemFunction<decltype(&::CoUninitialize)> g_coUninitialize{kOle32,
                                                                                "CoUninitialize"};
constinit cc::win::SystemFunction<decltype(&::CoCreateInstance)> g_coCreateInstance{
    kOle32, "CoCreateInstance"};
constinit cc::win::SystemFunction<decltype(&::MessageBoxA)> g_messageBox{L"user32.dll",
                                                                         "MessageBoxA"};

// Forwards the plug-in's progress into the dialog (the context); answers kInstallCancel once
// the user pressed Cancel or the update step was cut. Without a dialog the work otherwise
// simply goes on.
// The cut of the running self-update, for the progress callback (main thread only).
const cc::CancelGroup* g_updateCut = nullptr;

int32_t __cdecl ReportInstallProgress(int64_t done,
                                      int64_t total,
                                      int32_t,
                                      int32_t,
                                      int32_t,
                                      int32_t,
                                      void* context) {
  if (g_updateCut && g_updateCut->IsCancelled())
    return kInstallCancel;
  auto* dialog = static_cast<IProgressDialog*>(context);
  if (!dialog)
    return kInstallGoOn;
  if (dialog->HasUserCancelled())
    return kInstallCancel;
  dialog->SetProgress(DWORD(ProgressPercent(done, total)), 100);
  return kInstallGoOn;
}

}  // namespace

int32_t RunSelfUpdate(const CCString& digestURL,
                      const CCString& targetFolder,
                      const cc::CancelGroup* cut) {
  g_updateCut = cut;
  if (g_coInitialize)
    g_coInitialize(nullptr);
  IProgressDialog* dialog = nullptr;
  cc::win::ScopedModule shell32;
  if (g_coCreateInstance &&
      SUCCEEDED(g_coCreateInstance(CLSID_ProgressDialog, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IProgressDialog, reinterpret_cast<void**>(&dialog))) &&
      dialog) {
    shell32.Reset(LoadLibraryW(L"Shell32.dll"));
    dialog->SetAnimation(shell32.Get(), kCopyFilesAnimation);
    dialog->SetTitle(ToWide(kUpdateProductName).c_str());
    dialog->SetLine(1, L"Updating files for Galvorand", FALSE, nullptr);
    CCString moreInformation("For more information, see ");
    moreInformation += kUpdateWebSite;
    dialog->SetLine(2, ToWide(moreInformation).c_str(), FALSE, nullptr);
    dialog->StartProgressDialog(nullptr, nullptr, PROGDLG_AUTOTIME, nullptr);
    dialog->SetProgress(0, 100);
  } else {
    dialog = nullptr;
  }

  int32_t result =
      g_actionHolder.PLG_Install2(digestURL.c_str(), targetFolder.c_str(), kUpdateProductName,
                                  &ReportInstallProgress, static_cast<void*>(dialog), 0);
  g_updateCut = nullptr;
  if (result < 0) {
    // The dialog stays as it is behind the message, its animation still drawn from shell32;
    // the start goes on once the message is dismissed.
    shell32.Release();
    if (g_messageBox) {
      g_messageBox(nullptr, UpdateErrorText(targetFolder, ReadLocText).c_str(), kUpdateErrorCaption,
                   MB_ICONERROR | MB_OK);
    }
    return kSelfUpdateFailed;
  }
  if (dialog) {
    dialog->HasUserCancelled();
    dialog->StopProgressDialog();
    dialog->Release();
    shell32.Reset();
  }
  if (g_coUninitialize)
    g_coUninitialize();
  return kSelfUpdateDone;
}
