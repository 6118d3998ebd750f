#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "launcher/pathutil/native_path_posix.h"
#include "libs/ccutility/file/cc_file_platform.h"

namespace cc::FilePlatform {

FILE* OpenStream(const CCString& name, int mode) {
  static const char* const kModes[] = {"rbe", "wbe", "ab+e"};
  if (mode < 0 || mode > 2) {
    errno = EINVAL;
    return nullptr;
  }
  std::string native = PathUtil::NativePath(name);
  struct stat st;
  if (mode != 0 && stat(native.c_str(), &st) == 0 && PathUtil::IsReadOnly(st)) {
    // A read-only file stays unwritable for root too, as it does on Windows.
    errno = EACCES;
    return nullptr;
  }
  return std::fopen(native.c_str(), kModes[mode]);
}

bool ClearReadOnly(const CCString& name) {
  std::string native = PathUtil::NativePath(name);
  struct stat st;
  if (stat(native.c_str(), &st) != 0 || !PathUtil::IsReadOnly(st))
    return false;
  return chmod(native.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

int SeekStream(FILE* stream, int64_t offset, int whence) {
  return fseeko(stream, off_t(offset), whence);
}

int64_t StreamSize(FILE* stream) {
  std::fflush(stream);
  struct stat st;
  if (fstat(fileno(stream), &st) != 0)
    return -1;
  return int64_t(st.st_size);
}

}  // namespace cc::FilePlatform
