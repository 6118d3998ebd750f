#include "plugin/per_user_folders.h"

#include <cstring>

#include "launcher/pathutil/path_util.h"
#include "libs/ccutility/file/cc_file.h"
#include "libs/ccutility/file/read_whole_file.h"

CCString ReadFirstLine(const CCString& path) {
  if (!PathUtil::FileExists(path))
    return CCString();
  CCString text;
  try {
    text = PathUtil::ReadWholeFile(path);
  } catch (const cc::File::Exception&) {
    // Vanished or locked between the test and the read: as good as missing.
    return CCString();
  }
  // Byte-order marks are only looked for in texts longer than one; the bytes after a UTF-16
  // mark stay as they are (the files are written as UTF-8 or plain ASCII).
  if (text.Length() > 3) {
    const char* bytes = text.c_str();
    if (std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0)
      text = text.Substring(3);
    else if (std::memcmp(bytes, "\xFF\xFE", 2) == 0 || std::memcmp(bytes, "\xFE\xFF", 2) == 0)
      text = text.Substring(2);
  }
  int lineEnd = text.FindFirstOf("\r\n");
  if (lineEnd != CCString::kNotFound)
    text = text.Substring(0, lineEnd);
  text.Trim();
  return text;
}

CCString ReadLocText(const CCString& name) {
  return ReadFirstLine(GetLocFilePath(name));
}

bool PreferCompanyCopy(std::optional<int32_t> moduleSideVersion,
                       std::optional<int32_t> companyVersion) {
  if (!moduleSideVersion)
    return true;  // nothing usable beside the module: the company copy is all there is
  if (!companyVersion)
    return false;
  return *companyVersion > *moduleSideVersion;
}
