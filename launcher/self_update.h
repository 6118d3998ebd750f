#pragma once

#include <cstdint>

#include "launcher/text/cc_string.h"

// Brings the launcher's own folder up to date before the application DLL is loaded. The work
// is the plug-in's (PLG_Install2 of the loaded plug-in DLL); the launcher shows the shell's
// progress dialog meanwhile and reports a failure in a message box.

// The product name given to the plug-in and shown as the dialog's title.
inline constexpr char kUpdateProductName[] = "Galvorand";
inline constexpr char kUpdateWebSite[] = "http://www.galvorand.example/";
// The message box of a failed update.
inline constexpr char kUpdateErrorCaption[] = "Update Error";
inline constexpr char kUpdateErrorPrefix[] =
    "ERROR within update.  Check for write permissions for ";

inline constexpr int32_t kSelfUpdateDone = 0;
inline constexpr int32_t kSelfUpdateFailed = 1;

namespace cc {
class CancelGroup;
}

// Runs PLG_Install2 for `digestURL` and `targetFolder` under a progress dialog (none when the
// dialog cannot be created). kSelfUpdateFailed when the plug-in answered a failure, after the
// user dismissed the "Update Error" message box; else kSelfUpdateDone. The progress callback
// asks the plug-in to stop when the user pressed Cancel or once `cut` (when given) is
// cancelled. The plug-in must be loaded; a plug-in without PLG_Install2 raises
// DLLHolder::exception. Main thread; initialises COM for the thread.
int32_t RunSelfUpdate(const CCString& digestURL,
                      const CCString& targetFolder,
                      const cc::CancelGroup* cut = nullptr);

// The bar position for `done` of `total`: the truncated percentage, at least 1 once any
// progress was reported, at most 100.
int32_t ProgressPercent(int64_t done, int64_t total);

// The message of a failed update for `targetFolder`: an absolute folder is named as it is;
// anything else is the name of a localized text in the Digests folder, which `readLocText`
// (ReadLocText of the per-user folders) gives.
CCString UpdateErrorText(const CCString& targetFolder,
                         CCString (*readLocText)(const CCString& name));
