#pragma once

#include <cstddef>
#include <cstdint>

namespace Vorq::Assert {
class Logger;
}

// Process-wide settings of the crash-reporting library: its option word, its allocator and
// the logger it reports through. All start out zero; the telemetry log sink sets them.
namespace Vorq {

// Option bits of CrashReporterFlags, shared by every reporter of the process.
namespace CrashFlag {
constexpr uint32_t NoTerminate = 0x001;         // the filter returns execute-handler
constexpr uint32_t AskUser = 0x002;             // show the crash dialog before delivery
constexpr uint32_t IncludeEnvironment = 0x008;  // the report lists the environment
constexpr uint32_t NoMinidump = 0x010;          // no ".dmp" is written
constexpr uint32_t AllProcesses = 0x020;        // every process, not only our own
constexpr uint32_t IncludeComputer = 0x040;     // `computer` and `host_ip`
constexpr uint32_t IncludeUser = 0x080;         // `user`; `curdir` needs this and the above
constexpr uint32_t ContinueSearch = 0x100;      // the filter passes the crash on
constexpr uint32_t NoSymbols = 0x200;           // frames are bare addresses
constexpr uint32_t ReserveMemory = 0x400;       // a 4 MB block released first on a crash
constexpr uint32_t ThreadContexts = 0x800;      // registers of the other threads too
}  // namespace CrashFlag

// The option word; read on the crash path without a lock, written at start-up.
extern uint32_t CrashReporterFlags;

namespace Memory {

// Where the library takes its memory from (the reporter object, texts, the reserve block).
// The three extra arguments are reserved and passed as 0.
class Allocator {
 public:
  virtual ~Allocator() = default;
  virtual void* Allocate(size_t size, uint32_t a, uint32_t b, uint32_t c) = 0;
  virtual void Free(void* pointer, uint32_t a, uint32_t b, uint32_t c) = 0;
  virtual void* Reallocate(void* pointer, size_t size, uint32_t a, uint32_t b, uint32_t c) = 0;
};

// The library allocator; null until set. The Allocate/Free helpers fall back to the
// runtime heap when none is set, so the library also works on its own (tests).
void SetLibraryAllocator(Allocator* allocator);
Allocator* LibraryAllocator();
void* Allocate(size_t size);
void Free(void* pointer);

// The crash reserve: a block set aside ahead (by the crash handler's thread) from which the
// library takes its memory while a crash is handled, so that a corrupted or locked process
// heap cannot stop the report. While it is in use, Allocate takes from the block (null when
// it is used up) and Free returns only the latest block to it; pointers from elsewhere are
// left alone. Not owned; null: none.
void SetCrashReserve(void* block, size_t size);
// Switches to the crash reserve (true) and back; the reserve starts empty each time.
void UseCrashReserve(bool inUse);
bool UsingCrashReserve();

}  // namespace Memory

// The logger the library reports through (level 0x80, with a source name and line), or
// null: then nothing is logged. Not owned.
void SetCrashLogTarget(Assert::Logger* logger);
Assert::Logger* CrashLogTarget();
// One library message (printf format) at level 0x80 through the log target, if any.
// While a crash is handled the log target is passed over (it takes the run-time's stream
// locks, which a frozen thread may hold): messages go to `writer` instead (null: nowhere).
using CrashLogWriter = void (*)(const char* text, size_t length);
void SetCrashTimeLogWriter(CrashLogWriter writer);
void CrashLog(const char* source, int32_t line, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

}  // namespace Vorq
