// The crash handler's thread and the faulting thread's side of the hand-over. Nothing here
// allocates, loads a library or takes a lock after a fault: the faulting thread may have a
// page of stack left, and a frozen thread may hold the heap, the loader or a stream.

#include "libs/crashreport/win32/crash_handler_thread.h"

#include <windows.h>

#include "libs/ccutility/win/system_function.h"
#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/crash_reporter.h"
#include "libs/crashreport/win32/debug_symbols.h"

namespace Vorq::CrashHandlerThread {

namespace {

constexpr LONG kContinueSearch = 0;  // EXCEPTION_CONTINUE_SEARCH
// Stack the main thread keeps for its own exception handling after a stack overflow.
constexpr ULONG kMainStackGuarantee = 32 * 1024;

// The crash being handed over. `claimed` admits one crash at a time.
struct Slot {
  volatile LONG claimed = 0;
  CrashReporter* reporter = nullptr;
  EXCEPTION_POINTERS* pointers = nullptr;
  DWORD threadId = 0;
  DWORD lastError = 0;
  DWORD code = 0;
  DWORD faultTick = 0;
  volatile LONG verdict = 0;
};
Slot g_slot;

// 0 before the start, 1 while a caller makes the thread, 2 once that is over (made or not).
volatile LONG g_started = 0;
volatile DWORD g_threadId = 0;
HANDLE g_crashEvent = nullptr;    // auto-reset: a crash waits for the thread
HANDLE g_doneEvent = nullptr;     // manual reset: the crash's handling is over
HANDLE g_prepareEvent = nullptr;  // manual reset: prepare now
volatile LONG g_hold = 0;         // HoldStart was called

// Systems before 6.0 lack it: bound from the loaded kernel32.
constinit cc::win::SystemFunction<BOOL(WINAPI*)(PULONG)> g_setStackGuarantee{
    L"kernel32.dll", "SetThreadStackGuarantee", cc::win::ModuleSearch::kLoadedOnly};

// Library messages while a crash is handled go straight to the standard output handle.
void WriteCrashLog(const char* text, size_t length) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  if (out && out != INVALID_HANDLE_VALUE)
    WriteFile(out, text, DWORD(length), &written, nullptr);
}

DWORD WINAPI HandlerMain(void*) {
  // A held start goes first; a crash before the preparation is handled right after it.
  bool crashWaiting = false;
  if (g_hold) {
    HANDLE first[] = {g_prepareEvent, g_crashEvent};
    crashWaiting = WaitForMultipleObjects(2, first, FALSE, kPrepareDelayMs) == WAIT_OBJECT_0 + 1;
  }
  // Everything the crash sequence calls is bound now, while the process is healthy: a crash
  // later loads nothing.
  BindReporterFunctions();
  BindCollectorFunctions();
  BindFileFunctions();
  BindNetworkFunctions();
  Debug::PrepareForCrash(!(CrashReporterFlags & CrashFlag::NoSymbols));
  if (void* reserve = VirtualAlloc(nullptr, kReserveSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE))
    Memory::SetCrashReserve(reserve, kReserveSize);
  SetCrashTimeLogWriter(WriteCrashLog);
  for (;;) {
    if (!crashWaiting)
      WaitForSingleObject(g_crashEvent, INFINITE);
    crashWaiting = false;
    Memory::UseCrashReserve(true);
    // Ends the process unless the options let it go on.
    const long verdict = g_slot.reporter->HandleException(g_slot.pointers);
    Memory::UseCrashReserve(false);
    InterlockedExchange(&g_slot.verdict, verdict);
    SetEvent(g_doneEvent);
  }
}

// The events the thread and the filter use; made once, before any thread uses them.
bool MakeEvents() {
  if (!g_crashEvent)
    g_crashEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!g_doneEvent)
    g_doneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!g_prepareEvent)
    g_prepareEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return g_crashEvent && g_doneEvent && g_prepareEvent;
}

// Makes the thread once; a caller that comes while another makes it waits for the outcome
// (a crash on one thread while the program starts the handler on another).
bool StartThread() {
  if (InterlockedCompareExchange(&g_started, 1, 0) != 0) {
    while (g_started == 1)
      Sleep(1);
    return g_threadId != 0;
  }
  if (MakeEvents()) {
    // The thread lives as long as the process; its handle is not needed.
    DWORD id = 0;
    if (HANDLE thread = CreateThread(nullptr, kStackSize, HandlerMain, nullptr,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, &id)) {
      CloseHandle(thread);
      g_threadId = id;
    }
  }
  InterlockedExchange(&g_started, 2);
  return g_threadId != 0;
}

}  // namespace

bool Start() {
  // The main thread installs the reporter: it keeps stack for the filter after an overflow.
  ULONG guarantee = kMainStackGuarantee;
  if (g_setStackGuarantee)
    g_setStackGuarantee(&guarantee);
  if (g_hold)
    return g_threadId != 0;
  return StartThread();
}

void HoldStart() {
  InterlockedExchange(&g_hold, 1);
  MakeEvents();
}

bool StartHeld() {
  return StartThread();
}

void PrepareNow() {
  if (g_prepareEvent)
    SetEvent(g_prepareEvent);
}

long HandOver(CrashReporter* reporter, EXCEPTION_POINTERS* exceptionPointers) {
  const DWORD lastError = GetLastError();
  const DWORD code = exceptionPointers && exceptionPointers->ExceptionRecord
                         ? exceptionPointers->ExceptionRecord->ExceptionCode
                         : 0;
  // A held start that has not come yet comes now: the handling needs the thread's
  // preparation and its watch over the time.
  if (!g_threadId && g_hold)
    StartThread();
  if (!g_threadId)
    return reporter->HandleException(exceptionPointers);
  if (GetCurrentThreadId() == g_threadId) {
    // The handling itself faulted: the report is lost, the process ends as the crash would.
    TerminateProcess(GetCurrentProcess(), g_slot.code ? g_slot.code : code);
    return kContinueSearch;
  }
  if (InterlockedCompareExchange(&g_slot.claimed, 1, 0) != 0) {
    // Another thread's crash is being handled; the process ends after its report, with its
    // code. Should it go on (NoTerminate), this crash is passed on.
    WaitForSingleObject(g_doneEvent, kHandlingLimitMs);
    return kContinueSearch;
  }
  g_slot.reporter = reporter;
  g_slot.pointers = exceptionPointers;
  g_slot.threadId = GetCurrentThreadId();
  g_slot.lastError = lastError;
  g_slot.code = code;
  g_slot.faultTick = GetTickCount();
  ResetEvent(g_doneEvent);
  SetEvent(g_crashEvent);
  if (WaitForSingleObject(g_doneEvent, kHandlingLimitMs) != WAIT_OBJECT_0) {
    // The handling overran its bound (a system call waiting on a lock a frozen thread holds,
    // a service that keeps the upload going): the process ends all the same.
    TerminateProcess(GetCurrentProcess(), code);
  }
  const long verdict = g_slot.verdict;
  g_slot.threadId = 0;
  g_slot.code = 0;
  InterlockedExchange(&g_slot.claimed, 0);
  return verdict;
}

bool HandedOverCrash(uint32_t* threadId, uint32_t* lastError, uint32_t* faultTick) {
  if (!g_threadId || GetCurrentThreadId() != g_threadId || !g_slot.threadId)
    return false;
  *threadId = g_slot.threadId;
  *lastError = g_slot.lastError;
  *faultTick = g_slot.faultTick;
  return true;
}

}  // namespace Vorq::CrashHandlerThread
