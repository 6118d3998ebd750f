#pragma once

#include <cstdint>

#include "libs/crashreport/crash_reporter_basic.h"

namespace BinXML {
class Streamable;
}

namespace Vorq {

// Keeps crash reports on disk in the per-user crash folder: the report saved as a file when
// it could not be delivered, and the pruning that keeps the folder from growing without bound.
// Files of one crash are named prefix + base name + ".dmp" / ".xml" / ".gid" (".tmp" while
// the report is being written). Every file operation is best effort.
class CrashReporterFile : public CrashReporterBasic {
 public:
  // Files of each kind (".xml", ".dmp", ".gid") kept by the pruning, plus the one a new crash
  // is about to add.
  static constexpr uint32_t kKeptFiles = 5;

  // Deletes the oldest crash files of this program so that at most four of each kind remain
  // (a kind with fewer than five files is left alone). Other programs' files and ".tmp"
  // files are never touched.
  virtual void DeleteOldLoggedFiles();
  // True clears NoMinidump, false sets it (the option word is process-wide).
  virtual void SetMinidumpEnabled(bool enabled);
  virtual bool IsMinidumpEnabled();

  // Writes the rendered report to prefix + base name + ".xml" in the crash folder, through a
  // ".tmp" file that replaces any old report only once it is complete. `dumpPath` names the
  // crash's minidump (unused: the two files already share their base name). False when the
  // report is empty or could not be written; nothing is left behind then.
  // `savedPath` (when given) receives the report file's path.
  bool Save(BinXML::Streamable& report,
            const char* dumpPath,
            char* savedPath = nullptr,
            uint32_t capacity = 0);

  // Room for the crash folder, the prefix, the base name and the extensions.
  static constexpr uint32_t kPathSize = 1024 * 3;

 protected:
  // Best-effort file calls for UTF-8 paths of the crash folder (wide calls underneath,
  // nothing allocated): delete a file, write a small one whole.
  static void RemoveCrashFile(const char* path);
  static bool WriteCrashFile(const char* path, const char* bytes, uint32_t length);
  // The file part of Save: the report copied into `temporaryPath`, then moved to `reportPath`.
  bool WriteReportFile(BinXML::Streamable& report,
                       const char* temporaryPath,
                       const char* reportPath);
};

}  // namespace Vorq
