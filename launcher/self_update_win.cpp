#include <windows.h>

#include <objbase.h>
#include <shlguid.h>
#include <shlobj.h>

#include "launcher/self_update.h"
#include "launcher/text/text_helpers.h"
#include "plugin/action_dll_holder.h"
#include "plugin/per_user_folders.h"
#include "plugin/shell_calls_win.h"

namespace {

// The shell's animation of files flying between folders, in shell32's resources.
constexpr UINT kCopyFilesAnimation = 161;

// Forwards the plug-in's progress into the dialog (the context); answers kInstallCancel once
// the user pressed Cancel. Without a dialog the work simply goes on.
int32_t __cdecl ReportInstallProgress(int64_t done,
                                      int64_t total,
                                      int32_t,
                                      int32_t,
                                      int32_t,
                                      int32_t,
                                      void* context) {
  auto* dialog = static_cast<IProgressDialog*>(context);
  if (!dialog)
    return kInstallGoOn;
  if (dialog->HasUserCancelled())
    return kInstallCancel;
  dialog->SetProgress(DWORD(ProgressPercent(done, total)), 100);
  return kInstallGoOn;
}

}  // namespace

int32_t RunSelfUpdate(const CCString& digestURL, const CCString& targetFolder) {
  ShellCalls::CoInitialize(nullptr);
  IProgressDialog* dialog = nullptr;
  HMODULE shell32 = nullptr;
  if (SUCCEEDED(ShellCalls::CoCreateInstance(CLSID_ProgressDialog, nullptr, CLSCTX_INPROC_SERVER,
                                             IID_IProgressDialog, reinterpret_cast<void**>(&dialog))) &&
      dialog) {
    shell32 = LoadLibraryW(L"Shell32.dll");
    dialog->SetAnimation(shell32, kCopyFilesAnimation);
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
  if (result < 0) {
    // The dialog stays as it is behind the message; the start goes on once it is dismissed.
    ShellCalls::MessageBoxA(nullptr, UpdateErrorText(targetFolder, ReadLocText).c_str(),
                            kUpdateErrorCaption, MB_ICONERROR | MB_OK);
    return kSelfUpdateFailed;
  }
  if (dialog) {
    dialog->HasUserCancelled();
    dialog->StopProgressDialog();
    dialog->Release();
    FreeLibrary(shell32);
  }
  ShellCalls::CoUninitialize();
  return kSelfUpdateDone;
}
