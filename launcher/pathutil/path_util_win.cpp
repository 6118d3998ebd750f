#include <windows.h>

#include <direct.h>
#include <stdio.h>

#include "launcher/pathutil/path_util.h"
#include "launcher/text/text_helpers.h"

namespace PathUtil {

namespace {

constexpr DWORD kProtectiveAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

}  // namespace

bool FileExists(const CCString& path) {
  DWORD attributes = GetFileAttributesW(ToWide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeWritable(const CCString& path) {
  CCWideString wide = ToWide(path);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return false;
  if (!(attributes & kProtectiveAttributes))
    return true;
  return SetFileAttributesW(wide.c_str(), attributes & ~kProtectiveAttributes) != 0;
}

int DeletePath(const CCString& path, bool force) {
  if (force)
    MakeWritable(path);
  return _wremove(ToWide(path).c_str());
}

int CreateFolder(const CCString& path) {
  return _wmkdir(ToWide(path).c_str());
}

int RenamePath(const CCString& from, const CCString& to) {
  return _wrename(ToWide(from).c_str(), ToWide(to).c_str());
}

int MoveReplacing(const CCString& from, const CCString& to) {
  return MoveFileExW(ToWide(from).c_str(), ToWide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? 0
             : 1;
}

bool CopyPath(const CCString& from, const CCString& to) {
  return CopyFileW(ToWide(from).c_str(), ToWide(to).c_str(), FALSE) != 0;
}

}  // namespace PathUtil
