#pragma once

#include "libs/ccutility/file/cc_file.h"
#include "logging/log_interface.h"

// The sink that appends the launcher's messages to its text log file. Each run appends; a
// banner marks the first start of each logger object. Lines carry an optional severity
// prefix and end in "\r\n"; no time stamp, no source location.
class FileLogger : public LogInterface {
 public:
  static constexpr uint32_t kBufferCapacity = 2 * 1024 * 1024;

  // Does not touch the file; the first accepted message opens it.
  FileLogger(const CCString& path, int level);
  ~FileLogger() override = default;

  // Opens the file for appending, clearing a read-only attribute and creating missing
  // folders; a file that cannot be opened makes the messages go nowhere.
  void Start() override;
  // Closes the file, writing out what is buffered.
  void Stop(int32_t code) override;
  void Write(int messageLevel, int line, const char* sourceFile, const char* text) override;
  void WriteFormatted(int messageLevel,
                      int line,
                      const char* sourceFile,
                      const char* format,
                      va_list args) override;
  // One line: prefix, then the text as it is (`isText`) or formatted with *args. The line
  // number and source file are not written.
  virtual void WriteLine(int messageLevel,
                         int line,
                         const char* sourceFile,
                         bool isText,
                         const char* text,
                         va_list* args);

  cc::BufferedFile file;
  CCString path;
  // Shown in the banner; the start-up sequence replaces it with the application's version.
  CCString version;
  bool bannerPending = true;
};
