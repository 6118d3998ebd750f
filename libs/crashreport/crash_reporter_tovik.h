#pragma once

#include <cstdint>

#include "libs/crashreport/crash_reporter_file.h"

namespace BinXML {
class Streamable;
}

namespace Vorq {

class Tovik;

// Delivers crash reports to the telemetry collection service through the telemetry client,
// confirmed by the service's receipt, and uploads reports stored by an earlier failed
// delivery. Every step is logged through the library's log target.
class CrashReporterTovik : public CrashReporterFile {
 public:
  // How long a report waits for its receipt.
  static constexpr int32_t kReceiptWaitMs = 5000;
  // How long a fresh upload client waits for an old session to end (it has none).
  static constexpr int32_t kResetWaitMs = 1000;
  // How long UploadLoggedFiles may take in all, unless its caller limits the delivery.
  static constexpr uint32_t kKeptUploadLimitMs = 12000;

  // Uploads every stored report of this program in the crash folder (each through its own
  // short-lived client, attributed to the session of the run that crashed) and deletes its
  // files once the service confirmed it; a failed one stays for a later attempt, as do the
  // reports left when its time is up. Stale ".tmp" files are deleted. Answers the number of
  // reports uploaded.
  virtual uint32_t UploadLoggedFiles();
  // True when the crash folder holds a report of this program to upload, or a file left
  // half-written.
  bool HasLoggedFiles();
  // Sends `report` with the minidump at `dumpPath` (null: none) as one message and waits for
  // its receipt: kind 8, or kind 10 for an empty report with a dump. True when it was sent
  // and confirmed, and also when there is nothing to send (an empty report whose dump is
  // switched off). False without a connected client.
  virtual bool SendReport(BinXML::Streamable& report, const char* dumpPath, Tovik* client);
  // Uploads one stored report file (and its dump, null: none) for session `sessionId`.
  virtual bool SendFile(const char* reportPath, const char* dumpPath, uint32_t sessionId);
  // Writes the telemetry session identifier to prefix + base name + ".gid" in the crash
  // folder, so a later upload can name the session of the crash. Nothing without a session.
  virtual void WriteSessionMarker();

 protected:
  // The telemetry client reports go through; null when there is none.
  virtual Tovik* TelemetryClient() { return nullptr; }
};

}  // namespace Vorq
