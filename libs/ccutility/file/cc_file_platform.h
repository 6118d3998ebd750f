#pragma once

// The few stream calls that differ between Windows and the host; used by cc_file.cpp only.

#include <cstdint>
#include <cstdio>

#include "launcher/text/cc_string.h"

namespace cc::FilePlatform {

// Opens by wide path on Windows; mode is File::kRead, kWrite or kAppend. Null with errno set
// on failure.
FILE* OpenStream(const CCString& name, int mode);
// Clears a read-only attribute; false when the file does not exist or that failed.
bool ClearReadOnly(const CCString& name);
// 64-bit fseek; 0 on success.
int SeekStream(FILE* stream, int64_t offset, int whence);
// Size of the open file as the file system sees it (after flushing the stream); -1 on failure.
int64_t StreamSize(FILE* stream);

}  // namespace cc::FilePlatform
