#pragma once

// Shared by the host's platform sources of the path utilities and of cc::File only.

#include <sys/stat.h>

#include <string>

#include "launcher/text/cc_string.h"

namespace PathUtil {

// The host spelling of a path: "\" separators become "/".
inline std::string NativePath(const CCString& path) {
  std::string native(path.c_str(), path.Length());
  for (char& c : native) {
    if (c == '\\')
      c = '/';
  }
  return native;
}

// What stands in for the Windows read-only attribute: a regular file nobody may write.
inline bool IsReadOnly(const struct stat& st) {
  return S_ISREG(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace PathUtil
