#include "libs/crashreport/crash_reporter_file.h"

#include <cstdio>

#include "libs/ccutility/binxml/binxml_streamable.h"
#include "libs/crashreport/crash_library.h"

namespace Vorq {

namespace {
constexpr char kSource[] = "crash_reporter_file";
}  // namespace

void CrashReporterFile::SetMinidumpEnabled(bool enabled) {
  if (enabled)
    CrashReporterFlags &= ~CrashFlag::NoMinidump;
  else
    CrashReporterFlags |= CrashFlag::NoMinidump;
}

bool CrashReporterFile::IsMinidumpEnabled() {
  return !(CrashReporterFlags & CrashFlag::NoMinidump);
}

bool CrashReporterFile::Save(BinXML::Streamable& report,
                             const char* dumpPath,
                             char* savedPath,
                             uint32_t capacity) {
  if (report.GetSize() == 0)
    return false;
  BaseName();
  char reportPath[kPathSize];
  char temporaryPath[kPathSize];
  int n = snprintf(reportPath, sizeof reportPath, "%s%s%s%s", CrashFolder(), FilePrefix(),
                   m_baseName, ".xml");
  if (n <= 0 || size_t(n) + 4 >= sizeof reportPath)
    return false;
  snprintf(temporaryPath, sizeof temporaryPath, "%s.tmp", reportPath);
  if (!WriteReportFile(report, temporaryPath, reportPath))
    return false;
  CrashLog(kSource, __LINE__, "Saved crash report as '%s'\n", reportPath);
  if (savedPath && capacity)
    snprintf(savedPath, capacity, "%s", reportPath);
  return true;
}

}  // namespace Vorq
