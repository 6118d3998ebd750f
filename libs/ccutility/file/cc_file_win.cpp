#include <windows.h>

#include <errno.h>
#include <io.h>
#include <stdio.h>

#include "launcher/text/text_helpers.h"
#include "libs/ccutility/file/cc_file_platform.h"

namespace cc::FilePlatform {

FILE* OpenStream(const CCString& name, int mode) {
  static const wchar_t* const kModes[] = {L"rb", L"wb", L"ab+"};
  if (mode < 0 || mode > 2) {
    errno = EINVAL;
    return nullptr;
  }
  return _wfopen(ToWide(name).c_str(), kModes[mode]);
}

bool ClearReadOnly(const CCString& name) {
  CCWideString wide = ToWide(name);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
    return false;
  return SetFileAttributesW(wide.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)) != 0;
}

int SeekStream(FILE* stream, int64_t offset, int whence) {
  return _fseeki64(stream, offset, whence);
}

int64_t StreamSize(FILE* stream) {
  fflush(stream);
  return _filelengthi64(_fileno(stream));
}

}  // namespace cc::FilePlatform
