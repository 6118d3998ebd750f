// The upload of stored crash reports on Windows: the crash folder is searched for this
// program's files, through the wide calls.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "libs/ccutility/win/wide_text.h"
#include "libs/ccutility/win/win_handles.h"
#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/crash_reporter_tovik.h"
#include "libs/crashreport/win32/crash_file_stream.h"
#include "libs/crashreport/win32/crash_handler_thread.h"
#include "libs/tovik/tovik_socket_system.h"

namespace Vorq {

// The upload's sockets: the socket library is loaded, started and every call of it bound
// ahead of a crash (the launcher loads it on first use).
void CrashHandlerThread::BindNetworkFunctions() {
  TovikSystem::BindCalls();
}

namespace {

constexpr char kSource[] = "win32\\crash_reporter_tovik_win32";

bool EndsWith(const char* text, const char* ending) {
  size_t length = strlen(text), n = strlen(ending);
  return length >= n && _stricmp(text + length - n, ending) == 0;
}

// True for a regular file with at least one byte.
bool HasContent(const char* path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(CrashPath(path), GetFileExInfoStandard, &data))
    return false;
  return !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
         (data.nFileSizeLow != 0 || data.nFileSizeHigh != 0);
}

// The session identifier stored beside a report, 0 when there is none.
uint32_t ReadSessionMarker(const char* path) {
  cc::win::ScopedHandle file(CreateFileW(CrashPath(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  char text[16] = {};
  DWORD read = 0;
  unsigned session = 0;
  if (!file || !ReadFile(file.Get(), text, sizeof text - 1, &read, nullptr) ||
      sscanf(text, "%u", &session) != 1)
    return 0;
  return session;
}

// `path` with its last four characters (the extension) replaced by `extension`.
void SwapExtension(char* out, size_t capacity, const char* path, const char* extension) {
  size_t length = strlen(path);
  snprintf(out, capacity, "%.*s%s", int(length - 4), path, extension);
}

}  // namespace

bool CrashReporterTovik::HasLoggedFiles() {
  for (const char* kind : {"*.xml", "*.tmp"}) {
    char pattern[kPathSize];
    snprintf(pattern, sizeof pattern, "%s%s%s", CrashFolder(), FilePrefix(), kind);
    WIN32_FIND_DATAW entry;
    if (cc::win::ScopedFind(FindFirstFileW(CrashPath(pattern), &entry)))
      return true;
  }
  return false;
}

uint32_t CrashReporterTovik::UploadLoggedFiles() {
  const char* folder = CrashFolder();
  if (!folder[0])
    return 0;
  char pattern[kPathSize];
  snprintf(pattern, sizeof pattern, "%s%s*", folder, FilePrefix());
  WIN32_FIND_DATAW entry;
  cc::win::ScopedFind find(FindFirstFileW(CrashPath(pattern), &entry));
  if (!find)
    return 0;
  // Unless a caller set one, the whole upload has a limit: a service that keeps it waiting
  // holds up nothing beyond it, and what is not sent waits for the next start.
  const bool ownLimit = DeliveryTimeLeftMs() < 0;
  if (ownLimit)
    LimitDelivery(kKeptUploadLimitMs);
  uint32_t uploaded = 0;
  do {
    char name[MAX_PATH * 3];
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ||
        !cc::win::WideToUtf8(entry.cFileName, name, sizeof name))
      continue;
    char reportPath[kPathSize];
    int n = snprintf(reportPath, sizeof reportPath, "%s%s", folder, name);
    if (n <= 0 || size_t(n) >= sizeof reportPath)
      continue;
    if (EndsWith(name, ".tmp")) {
      // A report or dump whose writing never finished.
      RemoveCrashFile(reportPath);
      continue;
    }
    if (!EndsWith(name, ".xml") || DeliveryTimeLeftMs() == 0)
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
      RemoveCrashFile(reportPath);
      // An empty or unsent dump belongs to the report all the same.
      RemoveCrashFile(dumpPath);
      RemoveCrashFile(sessionPath);
      ++uploaded;
    }
  } while (FindNextFileW(find.Get(), &entry));
  if (ownLimit)
    EndDeliveryLimit();
  return uploaded;
}

}  // namespace Vorq
