#include "libs/ccutility/file/read_whole_file.h"

#include "libs/ccutility/file/cc_file.h"

namespace PathUtil {

CCString ReadWholeFile(const CCString& path) {
  cc::File file(path, cc::File::kRead);
  int64_t size = file.GetSize();
  CCString text;
  if (size > 0) {
    char* data = text.Resize(uint32_t(size));
    size_t got = file.Read(data, size_t(size));
    text.Resize(uint32_t(got));
  }
  file.Close();
  return text;
}

}  // namespace PathUtil
