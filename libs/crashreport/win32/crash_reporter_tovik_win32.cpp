// The upload of stored crash reports on Windows: the crash folder is searched for this
// program's files.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "libs/ccutility/win/win_handles.h"
#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/crash_reporter_tovik.h"

namespace Vorq {

namespace {

constexpr char kSource[] = "win32\\crash_reporter_tovik_win32";
constexpr size_t kPathSize = 640;

bool EndsWith(const char* text, const char* ending) {
  size_t length = strlen(text), n = strlen(ending);
  return length >= n && _stricmp(text + length - n, ending) == 0;
}

// True for a regular file with at least one byte.
bool HasContent(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
    return false;
  return !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
         (data.nFileSizeLow != 0 || data.nFileSizeHigh != 0);
}

// The session identifier stored beside a report, 0 when there is none.
uint32_t ReadSessionMarker(const char* path) {
  unsigned session = 0;
  if (FILE* file = fopen(path, "r")) {
    if (fscanf(file, "%u", &session) != 1)
      session = 0;
    fclose(file);
  }
  return session;
}

// `path` with its last four characters (the extension) replaced by `extension`.
void SwapExtension(char* out, size_t capacity, const char* path, const char* extension) {
  size_t length = strlen(path);
  snprintf(out, capacity, "%.*s%s", int(length - 4), path, extension);
}

}  // namespace

uint32_t CrashReporterTovik::UploadLoggedFiles() {
  const char* folder = CrashFolder();
  if (!folder[0])
    return 0;
  char pattern[kPathSize];
  snprintf(pattern, sizeof pattern, "%s%s*", folder, FilePrefix());
  WIN32_FIND_DATAA entry;
  cc::win::ScopedFind find(FindFirstFileA(pattern, &entry));
  if (!find)
    return 0;
  uint32_t uploaded = 0;
  do {
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      continue;
    char reportPath[kPathSize];
    int n = snprintf(reportPath, sizeof reportPath, "%s%s", folder, entry.cFileName);
    if (n <= 0 || size_t(n) >= sizeof reportPath)
      continue;
    if (EndsWith(entry.cFileName, ".tmp")) {
      // A report whose saving never finished.
      DeleteFileA(reportPath);
      continue;
    }
    if (!EndsWith(entry.cFileName, ".xml"))
      continue;

    char dumpPath[kPathSize];
    char sessionPath[kPathSize];
    SwapExtension(dumpPath, sizeof dumpPath, reportPath, ".dmp");
    SwapExtension(sessionPath, sizeof sessionPath, reportPath, ".gid");
    const bool hasDump = HasContent(dumpPath);
    const uint32_t session = ReadSessionMarker(sessionPath);
    CrashLog(kSource, __LINE__, "CrashReporterTovik::UploadLoggedFiles Sending '%s' %s minidump\n",
             reportPath, hasDump ? "with" : "w/o");
    const bool withDump = hasDump && !(CrashReporterFlags & CrashFlag::NoMinidump);
    if (SendFile(reportPath, withDump ? dumpPath : nullptr, session)) {
      DeleteFileA(reportPath);
      // An empty or unsent dump belongs to the report all the same.
      DeleteFileA(dumpPath);
      DeleteFileA(sessionPath);
      ++uploaded;
    }
  } while (FindNextFileA(find.Get(), &entry));
  return uploaded;
}

}  // namespace Vorq
