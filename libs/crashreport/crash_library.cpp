#include "libs/crashreport/crash_library.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "logging/assert_logger.h"

namespace Vorq {

uint32_t CrashReporterFlags = 0;

namespace {
Memory::Allocator* g_libraryAllocator = nullptr;
Assert::Logger* g_logTarget = nullptr;
CrashLogWriter g_crashLogWriter = nullptr;

// The crash reserve: a bump allocator whose latest block can be given back (the collectors
// take one block at a time and return it before the next).
constexpr size_t kReserveAlignment = 16;
struct CrashReserve {
  char* block = nullptr;
  size_t size = 0;
  size_t used = 0;
  size_t latest = 0;  // where the latest block starts
  bool inUse = false;
} g_reserve;

bool InReserve(const void* pointer) {
  const char* at = static_cast<const char*>(pointer);
  return g_reserve.block && at >= g_reserve.block && at < g_reserve.block + g_reserve.size;
}

}  // namespace

namespace Memory {

void SetLibraryAllocator(Allocator* allocator) {
  g_libraryAllocator = allocator;
}

Allocator* LibraryAllocator() {
  return g_libraryAllocator;
}

void SetCrashReserve(void* block, size_t size) {
  g_reserve = CrashReserve();
  g_reserve.block = static_cast<char*>(block);
  g_reserve.size = block ? size : 0;
}

void UseCrashReserve(bool inUse) {
  g_reserve.used = g_reserve.latest = 0;
  g_reserve.inUse = inUse && g_reserve.block;
}

bool UsingCrashReserve() {
  return g_reserve.inUse;
}

void* Allocate(size_t size) {
  if (g_reserve.inUse) {
    const size_t rounded = (size + kReserveAlignment - 1) & ~(kReserveAlignment - 1);
    if (rounded < size || rounded > g_reserve.size - g_reserve.used)
      return nullptr;
    g_reserve.latest = g_reserve.used;
    g_reserve.used += rounded;
    return g_reserve.block + g_reserve.latest;
  }
  return g_libraryAllocator ? g_libraryAllocator->Allocate(size, 0, 0, 0) : std::malloc(size);
}

void Free(void* pointer) {
  if (!pointer)
    return;
  if (InReserve(pointer)) {
    if (pointer == g_reserve.block + g_reserve.latest && g_reserve.used > g_reserve.latest)
      g_reserve.used = g_reserve.latest;
    return;
  }
  // Memory of the heap stays where it is while a crash is handled: the heap may be the fault.
  if (g_reserve.inUse)
    return;
  if (g_libraryAllocator)
    g_libraryAllocator->Free(pointer, 0, 0, 0);
  else
    std::free(pointer);
}

}  // namespace Memory

void SetCrashLogTarget(Assert::Logger* logger) {
  g_logTarget = logger;
}

Assert::Logger* CrashLogTarget() {
  return g_logTarget;
}

void SetCrashTimeLogWriter(CrashLogWriter writer) {
  g_crashLogWriter = writer;
}

void CrashLog(const char* source, int32_t line, const char* format, ...) {
  Assert::Logger* target = g_logTarget;
  const bool crashing = g_reserve.inUse;
  if (!target || (crashing && !g_crashLogWriter))
    return;
  // Formatted here so the logger receives finished text: a path with "%" in it must not be
  // taken for a format a second time.
  char text[Assert::SimpleLogger::kBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (crashing) {
    g_crashLogWriter(text, std::strlen(text));
    return;
  }
  target->Log(0, Assert::kSeverityMessage, 0, Assert::kOptionFinishedText, source, line, text);
}

}  // namespace Vorq
