#include "launcher/pathutil/path_util.h"
#include "libs/ccutility/file/cc_file.h"

// The one path utility that reads through cc::File, built with it: cc::File's open recovery
// creates folders through PathUtil, so the dependency runs from files to paths only.
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
