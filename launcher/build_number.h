#pragma once

#include <cstdint>

#include "launcher/text/cc_string.h"

// The build number of an application DLL and the check that refuses an old one.

// Application DLLs whose build number (fourth version field) is below this are refused;
// 0, which an empty or unreadable version gives, counts as new enough.
inline constexpr int32_t kMinimumDllBuild = 152;

// The fourth "."-separated field of an application DLL version, read as a decimal integer
// (an optional "-", then digits; missing or unreadable fields read as 0; the low 32 bits of
// a longer number).
int32_t ParseBuildNumber(const CCString& version);
// True when the build number is known (not 0) and below kMinimumDllBuild.
bool IsBuildTooOld(int32_t build);
