#pragma once

#include "launcher/text/cc_string.h"

// The one path utility that reads through cc::File, so it lives with the file library: cc::File's
// open recovery creates folders through PathUtil, and the dependency runs from files to paths only.
namespace PathUtil {

// The whole content, unconverted. Throws cc::File::Exception when the file cannot be opened.
CCString ReadWholeFile(const CCString& path);

}  // namespace PathUtil
