#include "logging/file_logger.h"

#include "logging/log_time.h"

namespace {

const char* PrefixFor(int level) {
  if (level == 5)
    return "*Warning: ";
  if (level == 4)
    return "*TraceWarning: ";
  if (level >= 7)
    return "*Error: ";
  return "";
}

}  // namespace

FileLogger::FileLogger(const CCString& logPath, int startLevel)
    : LogInterface(startLevel), file(kBufferCapacity), path(logPath), version("4.0.0.320") {}

void FileLogger::Start() {
  if (file.IsOpen())
    return;
  file.Open(path, cc::File::kAppend, true, true);
  if (bannerPending) {
    CCString when = CurrentLocalTimeText();
    when.Trim();
    file.Printf("**** Starting at %s with version %s ****\r\n", when.c_str(), version.c_str());
    bannerPending = false;
  }
}

void FileLogger::Stop(int32_t code) {
  file.Close();
}

void FileLogger::Write(int messageLevel, int line, const char* sourceFile, const char* text) {
  WriteLine(messageLevel, line, sourceFile, true, text, nullptr);
}

void FileLogger::WriteFormatted(int messageLevel,
                                int line,
                                const char* sourceFile,
                                const char* format,
                                va_list args) {
  va_list copy;
  va_copy(copy, args);
  WriteLine(messageLevel, line, sourceFile, false, format, &copy);
  va_end(copy);
}

void FileLogger::WriteLine(int messageLevel,
                           int line,
                           const char* sourceFile,
                           bool isText,
                           const char* text,
                           va_list* args) {
  file.Write(PrefixFor(messageLevel));
  if (isText || !args)
    file.Write(text);
  else
    file.VPrintf(text, *args);
  file.Write("\r\n", 2);
}
