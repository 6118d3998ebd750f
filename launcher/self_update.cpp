#include "launcher/self_update.h"

int32_t ProgressPercent(int64_t done, int64_t total) {
  double fraction = total > 0 ? double(done) / double(total) : 1.0;
  double percent = fraction * 100.0;
  // The bar never falls back to empty once the plug-in has reported: 1 of 1000 shows 1 %.
  if (!(percent >= 1.0))
    return 1;
  if (percent > 100.0)
    return 100;
  return int32_t(percent);
}

CCString UpdateErrorText(const CCString& targetFolder,
                         CCString (*readLocText)(const CCString& name)) {
  bool absolute = targetFolder.StartsWith("/") || targetFolder.StartsWith("\\") ||
                  (targetFolder.Length() >= 2 && targetFolder[1] == ':');
  CCString text(kUpdateErrorPrefix);
  text += absolute ? targetFolder : readLocText(targetFolder);
  return text;
}
