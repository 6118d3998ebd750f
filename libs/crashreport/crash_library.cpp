#include "libs/crashreport/crash_library.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "logging/assert_logger.h"

namespace Vorq {

uint32_t CrashReporterFlags = 0;

namespace {
Memory::Allocator* g_libraryAllocator = nullptr;
Assert::Logger* g_logTarget = nullptr;
}  // namespace

namespace Memory {

void SetLibraryAllocator(Allocator* allocator) {
  g_libraryAllocator = allocator;
}

Allocator* LibraryAllocator() {
  return g_libraryAllocator;
}

void* Allocate(size_t size) {
  return g_libraryAllocator ? g_libraryAllocator->Allocate(size, 0, 0, 0) : std::malloc(size);
}

void Free(void* pointer) {
  if (!pointer)
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

void CrashLog(const char* source, int32_t line, const char* format, ...) {
  Assert::Logger* target = g_logTarget;
  if (!target)
    return;
  // Formatted here so the logger receives finished text: a path with "%" in it must not be
  // taken for a format a second time.
  char text[Assert::SimpleLogger::kBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  target->Log(0, Assert::kSeverityMessage, 0, Assert::kOptionFinishedText, source, line, text);
}

}  // namespace Vorq
