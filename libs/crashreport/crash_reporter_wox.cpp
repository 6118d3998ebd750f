#include "libs/crashreport/crash_reporter_wox.h"

#include <cstring>

#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/crash_reporter_stream.h"

namespace Vorq {

CrashReporterWox::CrashReporterWox(Tovik* client) : m_client(client) {}

CrashReporterWox::~CrashReporterWox() {
  Memory::Free(m_buffer);
  m_buffer = nullptr;
  m_applicationXml = nullptr;
}

void* CrashReporterWox::operator new(size_t size) noexcept {
  return Memory::Allocate(size);
}

void CrashReporterWox::operator delete(void* pointer) noexcept {
  Memory::Free(pointer);
}

bool CrashReporterWox::ProcessReport(CrashReporterStream& stream, const char* dumpPath) {
  CrashReporterTovik::ProcessReport(stream, dumpPath);
  // The report is kept before the upload starts and given up only once the service has it:
  // a process ended while the upload still waits leaves report and dump behind.
  char reportPath[kPathSize];
  const bool saved = Save(stream, dumpPath, reportPath, sizeof reportPath);
  if (SendReport(stream, dumpPath, m_client)) {
    // The service has the dump now.
    RemoveCrashFile(dumpPath);
    if (saved)
      RemoveCrashFile(reportPath);
    return true;
  }
  WriteSessionMarker();
  return false;
}

bool CrashReporterWox::ReadApplicationXml(uint32_t* length,
                                          char* buffer,
                                          uint32_t capacity,
                                          bool* finished) {
  *length = 0;
  *finished = true;
  if (!m_buffer)
    return false;
  if (!m_applicationXml)
    m_applicationXml = m_buffer;
  uint32_t count = uint32_t(strlen(m_applicationXml));
  if (count > capacity)
    count = capacity;
  memcpy(buffer, m_applicationXml, count);
  m_applicationXml += count;
  *length = count;
  *finished = *m_applicationXml == '\0';
  // The next rendering of the report reads the text from its start again.
  if (*finished)
    m_applicationXml = m_buffer;
  return count > 0;
}

void CrashReporterWox::OnCrashBegin() {
  if (m_callback)
    m_callback->OnCrashBegin();
}

void CrashReporterWox::OnCrashEnd() {
  if (m_callback)
    m_callback->OnCrashEnd();
}

bool CrashReporterWox::SetApplicationXml(const char* xml) {
  Memory::Free(m_buffer);
  m_buffer = nullptr;
  m_applicationXml = nullptr;
  if (!xml)
    return true;
  size_t size = strlen(xml) + 1;
  m_buffer = static_cast<char*>(Memory::Allocate(size));
  if (!m_buffer)
    return false;
  memcpy(m_buffer, xml, size);
  m_applicationXml = m_buffer;
  return true;
}

}  // namespace Vorq
