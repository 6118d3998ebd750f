#include "launcher/build_number.h"

int32_t ParseBuildNumber(const CCString& version) {
  CCString rest(version.c_str(), version.Length());
  CCString field;
  for (int i = 0; i < 4; ++i)
    field = rest.SplitOff(".");
  return int32_t(CCString::ParseInteger(field.c_str(), int(field.Length()), 10));
}

bool IsBuildTooOld(int32_t build) {
  return build != 0 && build < kMinimumDllBuild;
}
