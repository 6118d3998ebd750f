#pragma once

#include <cstdint>

struct _EXCEPTION_POINTERS;

namespace Vorq {

class CrashReporter;

// The thread that handles crashes, one per process: started when the first reporter is
// installed, with a stack of its own, it binds every system function the crash sequence
// needs, sets the crash reserve aside and then waits. The filter, on the faulting thread,
// only records the crash, wakes it and waits; the faulting thread's own stack may be all
// but used up (a stack overflow) and its heap or locks may be the fault. Should the handling
// overrun kHandlingLimitMs from the fault, the waiting faulting thread ends the process with
// the exception code.
namespace CrashHandlerThread {

// The handler's stack (reserved; committed as used) and its crash reserve.
constexpr uint32_t kStackSize = 512 * 1024;
constexpr uint32_t kReserveSize = 256 * 1024;
// From the fault: the upload must be over by then (the report is kept otherwise), and the
// process is ended by then whatever the handling still waits for.
constexpr uint32_t kUploadLimitMs = 6500;
constexpr uint32_t kHandlingLimitMs = 9000;

// Starts the thread once per process; later calls do nothing. False when it could not be
// started: crashes are then handled on the faulting thread itself. Also keeps stack for the
// filter on the calling thread (the one that installs), for a crash by stack overflow.
bool Start();

// A program whose start must stay short (the launcher) calls HoldStart before the first
// install. Start then leaves the thread to StartHeld, which the program calls from a thread
// of its own (making a thread costs the maker a millisecond or more); until it runs, a crash
// is handled on the faulting thread. The thread prepares when PrepareNow is called, at the
// first crash, or kPrepareDelayMs after it started, whichever comes first, so the libraries
// it loads do not hold the loader lock against that start. A crash always waits for the
// preparation.
constexpr uint32_t kPrepareDelayMs = 1000;
void HoldStart();
bool StartHeld();
void PrepareNow();

// The filter's part, on the faulting thread: hands the crash to the thread and waits for
// its verdict (it does not come when the handling ends the process). A second crash while
// one is handled waits for that one's end and is then passed on. Without the thread,
// `reporter` handles the crash here.
long HandOver(CrashReporter* reporter, _EXCEPTION_POINTERS* exceptionPointers);

// On the handler thread while it handles a crash: the faulting thread, its last-error value
// and the tick count of the fault. False on any other thread (a crash sequence run directly:
// the current thread is the crashing one).
bool HandedOverCrash(uint32_t* threadId, uint32_t* lastError, uint32_t* faultTick);

// The calls the crash sequence makes, bound ahead by the handler thread. Each file of the
// reporter binds its own.
void BindReporterFunctions();
void BindCollectorFunctions();
void BindFileFunctions();
void BindNetworkFunctions();

}  // namespace CrashHandlerThread

}  // namespace Vorq
