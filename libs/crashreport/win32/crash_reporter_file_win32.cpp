// Crash files on Windows: the per-user crash folder, the executable's file-name prefix, the
// minidump, the report file's write-then-move, and the pruning of old files. Names are UTF-8
// text and every file call is a wide one (a player's folder may lie outside the ANSI code
// page), converted into buffers on the stack. The shell, COM and debug-help functions are
// bound at run time: the launcher imports none of their DLLs.

#include <windows.h>

#include <dbghelp.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "libs/ccutility/binxml/binxml_streamable.h"
#include "libs/ccutility/win/known_folder.h"
#include "libs/ccutility/win/system_function.h"
#include "libs/ccutility/win/wide_text.h"
#include "libs/ccutility/win/win_handles.h"
#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/crash_reporter_file.h"
#include "libs/crashreport/win32/crash_file_stream.h"
#include "libs/crashreport/win32/crash_handler_thread.h"

namespace Vorq {

namespace {

constexpr char kSource[] = "win32\\crash_reporter_file_win32";
// The crash folder: up to 260 characters, of up to three UTF-8 bytes each.
constexpr uint32_t kFolderCharacters = 260;
constexpr uint32_t kFolderSize = kFolderCharacters * 3;
constexpr int kLocalAppDataFolder = 28;       // CSIDL_LOCAL_APPDATA
constexpr DWORD kKnownFolderCreate = 0x8000;  // KF_FLAG_CREATE
// FOLDERID_LocalAppData, spelled out here so nothing links the GUID library.
constexpr GUID kLocalAppDataId = {0xF1B32785,
                                  0x6FBA,
                                  0x4FCF,
                                  {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};

constinit cc::win::SystemFunction<decltype(&::MiniDumpWriteDump)> g_writeDump{L"dbghelp.dll",
                                                                              "MiniDumpWriteDump"};

// The crash folder (UTF-8, always ending in a separator) and the file-name prefix, for the
// whole process. The default folder is found on first use (the crash handler's preparation
// uses it), not by the reporter's constructor on the thread that starts the program.
char g_crashFolder[kFolderSize] = ".\\";
char g_filePrefix[MAX_PATH * 3 + 2] = "";
constexpr LONG kFolderWanted = 0;   // the default folder, not found yet
constexpr LONG kFolderFinding = 1;  // a thread is finding it
constexpr LONG kFolderSet = 2;
volatile LONG g_folderState = kFolderWanted;
bool g_folderGiven = false;  // SetFolder named one

// The local application data folder in UTF-8, or false. Read from the user's shell-folder
// entries first: the shell's own call loads a dozen DLLs, which would hold up the start of
// every run by far more than the rest of the crash reporter's installation. Before Windows 6.0
// there is no known-folder call; the older one names the same folder.
bool LocalApplicationData(char* folder, uint32_t capacity) {
  std::optional<std::wstring> path = cc::win::UserShellFolderPath(L"Local AppData");
  if (!path)
    path = cc::win::FolderPath(kLocalAppDataId, kKnownFolderCreate, kLocalAppDataFolder);
  return path && cc::win::WideToUtf8(path->c_str(), folder, capacity) > 0;
}

// Appends `part` to the folder text and creates that folder when it does not exist.
bool AppendAndCreate(char* folder, const char* part) {
  size_t used = strlen(folder);
  size_t more = strlen(part);
  if (used + more + 2 > kFolderSize)  // room for the closing separator
    return false;
  memcpy(folder + used, part, more + 1);
  CrashPath wide(folder);
  DWORD attributes = GetFileAttributesW(wide);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
    return true;
  return CreateDirectoryW(wide, nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool EndsWith(const char* text, size_t length, const char* ending) {
  size_t n = strlen(ending);
  return length >= n && _stricmp(text + length - n, ending) == 0;
}

// The kinds of crash files the pruning counts.
constexpr const char* kKindEndings[] = {".xml", ".dmp", ".gid"};
constexpr int kKinds = 3;

int KindOf(const char* name, const char* prefix) {
  size_t length = strlen(name);
  if (_strnicmp(name, prefix, strlen(prefix)) != 0)
    return -1;
  for (int kind = 0; kind < kKinds; ++kind) {
    if (EndsWith(name, length, kKindEndings[kind]))
      return kind;
  }
  return -1;
}

uint64_t TimeOf(const FILETIME& time) {
  return (uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Calls `visit(entry, name, kind)` for each of this program's crash files that `pattern`
// finds, with the file's UTF-8 name.
template <class Visit>
void ForEachCrashFile(const char* pattern, const char* prefix, Visit visit) {
  WIN32_FIND_DATAW entry;
  cc::win::ScopedFind find(FindFirstFileW(CrashPath(pattern), &entry));
  if (!find)
    return;
  do {
    char name[MAX_PATH * 3];
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ||
        !cc::win::WideToUtf8(entry.cFileName, name, sizeof name))
      continue;
    int kind = KindOf(name, prefix);
    if (kind >= 0)
      visit(entry, name, kind);
  } while (FindNextFileW(find.Get(), &entry));
}

}  // namespace

const char* CrashReporterBasic::CrashFolder() {
  if (g_folderState == kFolderSet)
    return g_crashFolder;
  if (InterlockedCompareExchange(&g_folderState, kFolderFinding, kFolderWanted) == kFolderWanted) {
    // The default folder is found (and made) once a process; later reporters take it over.
    char folder[kFolderSize * 2] = "";
    if (LocalApplicationData(folder, sizeof folder) && strlen(folder) < kFolderSize &&
        AppendAndCreate(folder, "\\Zum") && AppendAndCreate(folder, "\\CrashReport")) {
      strcat(folder, "\\");
      memcpy(g_crashFolder, folder, strlen(folder) + 1);
    } else {
      strcpy(g_crashFolder, ".\\");
    }
    InterlockedExchange(&g_folderState, kFolderSet);
  }
  while (g_folderState != kFolderSet)
    Sleep(1);
  return g_crashFolder;
}

void CrashHandlerThread::BindFileFunctions() {
  g_writeDump.Get();
  CrashReporterBasic::CrashFolder();
}

const char* CrashReporterBasic::FilePrefix() {
  if (!g_filePrefix[0]) {
    wchar_t wide[MAX_PATH];
    char path[MAX_PATH * 3];
    DWORD n = GetModuleFileNameW(nullptr, wide, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || !cc::win::WideToUtf8((wide[n] = L'\0', wide), path, sizeof path))
      path[0] = '\0';
    const char* name = path;
    for (const char* c = path; *c; ++c) {
      if (*c == '\\' || *c == '/' || *c == ':')
        name = c + 1;
    }
    char stem[MAX_PATH * 3];
    snprintf(stem, sizeof stem, "%s", name);
    if (char* dot = strrchr(stem, '.'))
      *dot = '\0';
    snprintf(g_filePrefix, sizeof g_filePrefix, "%s_", stem);
  }
  return g_filePrefix;
}

void CrashReporterBasic::SetFolder(const char* path) {
  if (path && path[0] && strlen(path) < kFolderCharacters - 1) {
    size_t length = strlen(path);
    memcpy(g_crashFolder, path, length + 1);
    if (length == 0 || (path[length - 1] != '\\' && path[length - 1] != '/'))
      memcpy(g_crashFolder + length, "\\", 2);
    g_folderGiven = true;
    InterlockedExchange(&g_folderState, kFolderSet);
    return;
  }
  // The default, found on first use (once: a later reporter takes over the one found).
  if (g_folderGiven) {
    g_folderGiven = false;
    InterlockedCompareExchange(&g_folderState, kFolderWanted, kFolderSet);
  }
}

bool CrashReporterBasic::WriteMinidump(_EXCEPTION_POINTERS* exceptionPointers, const char* path) {
  if (!g_writeDump || !path)
    return false;
  // Written under a ".tmp" name and given its own only when whole: a dump cut short (a failed
  // write, a process ended by the watchdog) is never taken for a dump, and the next upload of
  // kept reports clears it away.
  char partial[kFolderSize * 3];
  if (snprintf(partial, sizeof partial, "%s.tmp", path) >= int(sizeof partial))
    return false;
  CrashPath partialPath(partial);
  cc::win::ScopedHandle file(CreateFileW(partialPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file)
    return false;
  MINIDUMP_EXCEPTION_INFORMATION exception;
  exception.ThreadId = m_crashThreadId ? m_crashThreadId : GetCurrentThreadId();
  exception.ExceptionPointers = exceptionPointers;
  exception.ClientPointers = TRUE;
  BOOL written = g_writeDump(GetCurrentProcess(), GetCurrentProcessId(), file.Get(), MiniDumpNormal,
                             exceptionPointers ? &exception : nullptr, nullptr, nullptr);
  // Closed here: a dump whose file does not close is not a dump.
  BOOL closed = CloseHandle(file.Release());
  if (written && closed && MoveFileExW(partialPath, CrashPath(path), MOVEFILE_REPLACE_EXISTING))
    return true;
  DeleteFileW(partialPath);
  return false;
}

void CrashReporterFile::RemoveCrashFile(const char* path) {
  if (path)
    DeleteFileW(CrashPath(path));
}

bool CrashReporterFile::WriteCrashFile(const char* path, const char* bytes, uint32_t length) {
  cc::win::ScopedHandle file(CreateFileW(CrashPath(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.Get(), bytes, length, &written, nullptr) && written == length;
}

bool CrashReporterFile::WriteReportFile(BinXML::Streamable& report,
                                        const char* temporaryPath,
                                        const char* reportPath) {
  CrashPath temporary(temporaryPath);
  cc::win::ScopedHandle file(CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file)
    return false;
  report.Rewind();
  const uint32_t size = report.GetSize();
  const uint32_t written = CopyReport(report, file.Get());
  report.Rewind();
  // A copy that stopped short of the closing tag is a failed write (the size holds a margin).
  bool complete = written > 0 && written <= size;
  complete = CloseHandle(file.Release()) && complete;
  if (complete && MoveFileExW(temporary, CrashPath(reportPath), MOVEFILE_REPLACE_EXISTING))
    return true;
  DeleteFileW(temporary);
  return false;
}

void CrashReporterFile::DeleteOldLoggedFiles() {
  const char* folder = CrashFolder();
  const char* prefix = FilePrefix();
  if (!folder[0])
    return;
  char pattern[kFolderSize + 4];
  snprintf(pattern, sizeof pattern, "%s*", folder);

  // The five latest last-write times of each kind, newest first.
  uint64_t latest[kKinds][kKeptFiles] = {};
  uint32_t counted[kKinds] = {};
  ForEachCrashFile(pattern, prefix, [&](const WIN32_FIND_DATAW& entry, const char*, int kind) {
    uint64_t time = TimeOf(entry.ftLastWriteTime);
    uint32_t& n = counted[kind];
    uint32_t at = 0;
    while (at < n && latest[kind][at] >= time)
      ++at;
    if (at >= kKeptFiles)
      return;
    uint32_t last = n < kKeptFiles ? n : kKeptFiles - 1;
    for (uint32_t i = last; i > at; --i)
      latest[kind][i] = latest[kind][i - 1];
    latest[kind][at] = time;
    if (n < kKeptFiles)
      ++n;
  });
  if (!counted[0] && !counted[1] && !counted[2])
    return;

  ForEachCrashFile(pattern, prefix, [&](const WIN32_FIND_DATAW& entry, const char* name, int kind) {
    // With five of a kind, the fifth newest and everything older goes: four stay, and the
    // crash about to happen makes five.
    if (counted[kind] < kKeptFiles || TimeOf(entry.ftLastWriteTime) > latest[kind][kKeptFiles - 1])
      return;
    char path[kFolderSize + MAX_PATH * 3];
    snprintf(path, sizeof path, "%s%s", folder, name);
    CrashLog(kSource, __LINE__, "CrashReporterFile::DeleteOldLoggedFiles Deleting '%s'\n", path);
    DeleteFileW(CrashPath(path));
  });
}

}  // namespace Vorq
