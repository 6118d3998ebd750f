// The reporter's common part on Windows: the process-wide unhandled-exception filter, the
// crash sequence and the delivery of the report to the standard output. The filter hands the
// crash to the crash handler's thread (crash_handler_thread_win32.cpp), which runs the
// sequence with the other threads frozen: no locks, no C++ exceptions, no memory beyond the
// crash reserve, texts formatted into fixed buffers.

#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

#include "libs/ccutility/binxml/binxml_streamable.h"
#include "libs/ccutility/win/system_function.h"
#include "libs/ccutility/win/win_handles.h"
#include "libs/crashreport/crash_reporter_basic.h"
#include "libs/crashreport/crash_reporter_stream.h"
#include "libs/crashreport/win32/crash_dialog.h"
#include "libs/crashreport/win32/crash_handler_thread.h"
#include "libs/crashreport/win32/debug_symbols.h"

namespace Vorq {

namespace {

constexpr LONG kContinueSearch = 0;  // EXCEPTION_CONTINUE_SEARCH
constexpr LONG kExecuteHandler = 1;  // EXCEPTION_EXECUTE_HANDLER
constexpr char kReportEnd[] = "</crash_report>\n";
constexpr uint32_t kReportEndLength = sizeof kReportEnd - 1;

// A developer's switch: set this variable, or create this file, and a crashing launcher waits
// in a message box until a debugger is attached.
constexpr char kDebugVariable[] = "SHOW_LCR_DIALOG";
constexpr char kDebugFile[] = "C:/show_debug_message_to_allow_debugger_attach";

CrashReporter* g_currentReporter = nullptr;

// Suspends or resumes every thread of the process but the calling one and the crashing one
// (which waits in the filter, watching the handling's time).
void ForEachOtherThread(DWORD(WINAPI* action)(HANDLE), DWORD crashing) {
  cc::win::ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot)
    return;
  const DWORD process = GetCurrentProcessId();
  const DWORD self = GetCurrentThreadId();
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot.Get(), &entry); more;
       more = Thread32Next(snapshot.Get(), &entry)) {
    if (entry.th32OwnerProcessID != process || entry.th32ThreadID == self ||
        entry.th32ThreadID == crashing)
      continue;
    cc::win::ScopedHandle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
    if (thread)
      action(thread.Get());
  }
}

// The message box, bound from user32 on first use: the launcher does not import user32.
constinit cc::win::SystemFunction<decltype(&::MessageBoxA)> g_messageBox{L"user32.dll",
                                                                         "MessageBoxA"};

bool DebugSwitchIsSet() {
  char value[2];
  SetLastError(ERROR_SUCCESS);
  // A variable set to the empty text answers 0 without an error: it exists all the same.
  if (GetEnvironmentVariableA(kDebugVariable, value, sizeof value) != 0 ||
      GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
    return true;
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  return GetFileAttributesExA(kDebugFile, GetFileExInfoStandard, &data) != 0;
}

// The switch as the handler thread found it at start (both look-ups allocate from the heap
// on some systems); -1 before that, and the crash looks itself.
volatile LONG g_debugSwitch = -1;

// The symbol step of the crash sequence may fault inside the system's debug-help library. A
// vectored handler, live only for that step and only for the crashing thread, turns such a
// fault into a jump back to the step's end, so the report is still written (with bare
// addresses). Only error-class codes count: debug output and other informational exceptions
// are the library's own business.
struct SymbolStepGuard {
  void* resume[5];  // __builtin_setjmp's buffer
  volatile DWORD thread;
  volatile LONG active;
};
SymbolStepGuard g_symbolGuard;

LONG WINAPI SymbolStepHandler(EXCEPTION_POINTERS* exceptionPointers) {
  const DWORD code = exceptionPointers->ExceptionRecord->ExceptionCode;
  if (g_symbolGuard.active && g_symbolGuard.thread == GetCurrentThreadId() &&
      (code & 0xC0000000u) == 0xC0000000u) {
    g_symbolGuard.active = 0;
    __builtin_longjmp(g_symbolGuard.resume, 1);
  }
  return kContinueSearch;
}

__attribute__((noinline)) void AcquireSymbolsGuarded(const char* searchPath) {
  void* handler = AddVectoredExceptionHandler(1, SymbolStepHandler);
  g_symbolGuard.thread = GetCurrentThreadId();
  if (__builtin_setjmp(g_symbolGuard.resume) == 0) {
    g_symbolGuard.active = 1;
    Debug::AcquireSymbolEngine(searchPath);
  }
  g_symbolGuard.active = 0;
  if (handler)
    RemoveVectoredExceptionHandler(handler);
}

// The filter every unhandled exception of the process reaches once a reporter is installed.
// The C++ run-time's unwinder on 64-bit builds raises an exception of its own for every
// throw ("GCC" in the low bytes of its code); one that reaches this filter is a throw that
// nothing catches. Like the run-time's own filter, let it continue: the unwinder then gives
// up and the run-time calls the terminate handler, which logs the C++ exception and raises
// it again as a crash (the same road a 32-bit build takes).
constexpr DWORD kUnwinderCodeMask = 0x20FFFFFF;
constexpr DWORD kUnwinderCode = 0x20474343;

bool IsUnwinderException(const EXCEPTION_RECORD* record) {
  return (record->ExceptionCode & kUnwinderCodeMask) == kUnwinderCode &&
         !(record->ExceptionFlags & EXCEPTION_NONCONTINUABLE);
}

LONG WINAPI ProcessWideFilter(EXCEPTION_POINTERS* exceptionPointers) {
  if (IsUnwinderException(exceptionPointers->ExceptionRecord))
    return EXCEPTION_CONTINUE_EXECUTION;
  if (CrashReporter* reporter = g_currentReporter)
    return CrashHandlerThread::HandOver(reporter, exceptionPointers);
  return (CrashReporterFlags & CrashFlag::ContinueSearch) ? kContinueSearch : kExecuteHandler;
}

// Hands out the next piece of a text whose read position is `*offset`; once the last piece is
// out the position goes back to the start, so the next rendering reads the text again.
bool ReadTextPiece(const char* text,
                   uint32_t* offset,
                   uint32_t* length,
                   char* buffer,
                   uint32_t capacity,
                   bool* finished) {
  const uint32_t total = text ? uint32_t(strlen(text)) : 0;
  uint32_t start = *offset < total ? *offset : total;
  uint32_t count = total - start;
  if (count > capacity)
    count = capacity;
  if (count)
    memcpy(buffer, text + start, count);
  *length = count;
  *offset = start + count;
  *finished = *offset >= total;
  if (*finished)
    *offset = 0;
  return count > 0;
}

}  // namespace

void CrashHandlerThread::BindReporterFunctions() {
  InterlockedExchange(&g_debugSwitch, DebugSwitchIsSet() ? 1 : 0);
}

CrashReporter* CurrentCrashReporter() {
  return g_currentReporter;
}

CrashReporterBasic::CrashReporterBasic() {
  if (!g_currentReporter)
    g_currentReporter = this;
  FilePrefix();  // computed once, from the executable's name
  if ((CrashReporterFlags & CrashFlag::ReserveMemory) && !m_reserveBlock)
    m_reserveBlock = Memory::Allocate(kReserveSize);
  SetFolder(nullptr);
}

CrashReporterBasic::~CrashReporterBasic() {
  Uninstall();
  RewindCollectors();  // a rendering left half-read may hold the adapter list
  if (g_currentReporter == this)
    g_currentReporter = nullptr;
  Memory::Free(m_versionCookie);
  m_versionCookie = nullptr;
  Memory::Free(m_reserveBlock);
  m_reserveBlock = nullptr;
}

int CrashReporterBasic::Install() {
  if (!m_installed) {
    BeforeInstall();
    m_previousFilter = reinterpret_cast<void*>(SetUnhandledExceptionFilter(ProcessWideFilter));
    m_installed = true;
    CrashHandlerThread::Start();
    AfterInstall();
  }
  return 0;
}

int CrashReporterBasic::Uninstall() {
  if (m_installed) {
    BeforeUninstall();
    SetUnhandledExceptionFilter(reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER>(m_previousFilter));
    m_previousFilter = nullptr;
    Debug::ReleaseSymbolEngine();
    m_installed = false;
    AfterUninstall();
  }
  return 0;
}

long CrashReporterBasic::HandleException(_EXCEPTION_POINTERS* exceptionPointers) {
  // The crashing thread's last error at the moment of the crash, read before any call below
  // changes it; stored only once this crash is known to be the one handled. Handed over by
  // the filter, the crash is another thread's; run directly, it is this thread's.
  uint32_t crashing = 0, lastError = 0, faultTick = 0;
  if (!CrashHandlerThread::HandedOverCrash(&crashing, &lastError, &faultTick)) {
    lastError = GetLastError();
    crashing = GetCurrentThreadId();
    faultTick = GetTickCount();
  }

  if (InterlockedIncrement(&m_crashCount) != 1) {
    // A crash inside the handler, or on another thread while one is handled: pass it on and
    // touch nothing (the first one's report is still being made). The count goes back, so a
    // process that survives its crash (NoTerminate, ContinueSearch) reports the next one.
    InterlockedDecrement(&m_crashCount);
    return kContinueSearch;
  }
  m_lastError = lastError;
  m_crashThreadId = crashing;
  m_deliveryEndTick = faultTick + CrashHandlerThread::kUploadLimitMs;
  m_deliveryLimited = true;

  ForEachOtherThread(SuspendThread, crashing);

  // The reserve goes back first, so an out-of-memory crash leaves room for what follows.
  if (m_reserveBlock && (CrashReporterFlags & CrashFlag::ReserveMemory)) {
    Memory::Free(m_reserveBlock);
    m_reserveBlock = nullptr;
  }

  OnCrashBegin();

  const LONG debugSwitch = g_debugSwitch;
  if ((debugSwitch < 0 ? DebugSwitchIsSet() : debugSwitch != 0) && g_messageBox)
    g_messageBox(nullptr, "Attach debugger now", "Debug", MB_OK);

  // Without symbols the engine is not started at all: stacks are walked from the unwind data
  // and frame pointers alone.
  char* searchPath = nullptr;
  bool symbols = false;
  if (!(CrashReporterFlags & CrashFlag::NoSymbols)) {
    if (!Debug::IsDebugHelpRecentEnough())
      CrashReporterFlags |= CrashFlag::NoSymbols;
    if (!(CrashReporterFlags & CrashFlag::NoSymbols)) {
      searchPath = Debug::BuildSymbolSearchPath();
      AcquireSymbolsGuarded(searchPath);
      symbols = true;
    }
  }

  BaseName();

  char dumpPath[1024 * 3];
  bool dumpWritten = false;
  if (!(CrashReporterFlags & CrashFlag::NoMinidump)) {
    int n =
        snprintf(dumpPath, sizeof dumpPath, "%s%s%s.dmp", CrashFolder(), FilePrefix(), m_baseName);
    if (n > 0 && size_t(n) < sizeof dumpPath)
      dumpWritten = WriteMinidump(exceptionPointers, dumpPath);
  }

  {
    CrashReporterStream stream(*this);
    m_exceptionPointers = exceptionPointers;
    m_reproSteps[0] = '\0';
    m_reproStepsRead = 0;

    if (CrashReporterFlags & CrashFlag::AskUser)
      AskReproSteps(m_reproSteps);

    ProcessReport(stream, dumpWritten ? dumpPath : nullptr);
  }

  if (symbols)
    Debug::ReleaseSymbolEngine();
  Memory::Free(searchPath);

  OnCrashEnd();

  m_baseName[0] = '\0';
  m_exceptionPointers = nullptr;
  m_deliveryLimited = false;
  InterlockedDecrement(&m_crashCount);

  ForEachOtherThread(ResumeThread, crashing);
  m_crashThreadId = 0;

  if (CrashReporterFlags & CrashFlag::ContinueSearch)
    return kContinueSearch;
  if (!(CrashReporterFlags & CrashFlag::NoTerminate)) {
    const UINT code = exceptionPointers && exceptionPointers->ExceptionRecord
                          ? UINT(exceptionPointers->ExceptionRecord->ExceptionCode)
                          : 0;
    if (TerminateProcess(GetCurrentProcess(), code))
      ExitProcess(code);
  }
  return kExecuteHandler;
}

int32_t CrashReporterBasic::DeliveryTimeLeftMs() const {
  if (!m_deliveryLimited)
    return -1;
  const int32_t left = int32_t(m_deliveryEndTick - GetTickCount());
  return left > 0 ? left : 0;
}

void CrashReporterBasic::LimitDelivery(uint32_t limitMs) {
  m_deliveryEndTick = GetTickCount() + limitMs;
  m_deliveryLimited = true;
}

bool CrashReporterBasic::ProcessReport(CrashReporterStream& stream, const char* dumpPath) {
  // Straight to the handle: the run-time's stream lock may be held by a frozen thread.
  CopyReport(stream, GetStdHandle(STD_OUTPUT_HANDLE));
  return true;
}

uint32_t CrashReporterBasic::CopyReport(BinXML::Streamable& report, void* file) {
  if (!file || file == INVALID_HANDLE_VALUE)
    return 0;
  const uint32_t size = report.GetSize();
  report.Rewind();
  uint32_t written = 0;
  while (written < size) {
    uint32_t length = 0;
    const char* piece = report.Read(length);
    if (!piece || length == 0)
      break;
    if (length > size - written)
      length = size - written;
    DWORD done = 0;
    if (!WriteFile(file, piece, length, &done, nullptr) || done != length)
      break;
    written += done;
    // The rendered document reserves room beyond its end for values that grow between two
    // renderings; the chunk that closes the document ends the copy.
    if (length >= kReportEndLength &&
        memcmp(piece + length - kReportEndLength, kReportEnd, kReportEndLength) == 0) {
      break;
    }
  }
  return written;
}

const char* CrashReporterBasic::BaseName() {
  if (!m_baseName[0]) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char suffix[16];
    snprintf(suffix, sizeof suffix, "_%x", unsigned(GetCurrentProcessId()));
    snprintf(m_baseName, sizeof m_baseName, "%04u%02u%02u_%02u%02u%02u%s", unsigned(now.wYear),
             unsigned(now.wMonth), unsigned(now.wDay), unsigned(now.wHour), unsigned(now.wMinute),
             unsigned(now.wSecond), suffix);
  }
  return m_baseName;
}

bool CrashReporterBasic::ReadApplicationXml(uint32_t* length,
                                            char* buffer,
                                            uint32_t capacity,
                                            bool* finished) {
  *length = 0;
  *finished = true;
  return false;
}

void CrashReporterBasic::GetVersionCookie(uint32_t* length, char* buffer, uint32_t capacity) {
  *length = 0;
  if (!m_versionCookie || capacity == 0)
    return;
  uint32_t count = uint32_t(strlen(m_versionCookie));
  if (count >= capacity)
    count = capacity - 1;
  memcpy(buffer, m_versionCookie, count);
  buffer[count] = '\0';
  *length = count;
}

bool CrashReporterBasic::ReadReproSteps(uint32_t* length,
                                        char* buffer,
                                        uint32_t capacity,
                                        bool* finished) {
  return ReadTextPiece(m_reproSteps, &m_reproStepsRead, length, buffer, capacity, finished);
}

}  // namespace Vorq
