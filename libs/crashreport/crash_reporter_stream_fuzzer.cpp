// Fuzz target: the crash report stream over a reporter whose answers come from the input:
// which optional parts are on, every collector's text, every list's length, pieces of free
// text, and texts far past the stream's buffer. Texts the stream escapes get any bytes; the
// ones it writes as they are (attributes, application XML, cookie, address, user) come with
// the markup characters replaced, as their collectors form them. Each rendering must be
// well-formed, no longer than Measure says, and the same again after a Rewind anywhere.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/crash_reporter_stream.h"
#include "libs/crashreport/scripted_crash_reporter.h"

namespace {

using Vorq::ScriptedCrashReporter;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
  // A length byte, then the text: up to 63 bytes, repeated past the stream's 4096-byte buffer
  // when the top bit is set. Without `markup`, "<>&\"'" and NUL become "_".
  std::string Text(bool markup, bool mayRepeat = true) {
    const uint8_t length = Byte();
    std::string text;
    for (int i = 0; i < (length & 0x3f); ++i)
      text += char(Byte());
    while (mayRepeat && (length & 0x80) && !text.empty() && text.size() < 5000)
      text += text;
    for (char& c : text) {
      if (!markup && (!c || std::strchr("<>&\"'", c)))
        c = '_';
    }
    return text;
  }
  // One attribute, short enough for every attribute slot (the access kind's is 64 bytes).
  std::string Attribute() { return "a=\"" + Text(false, false).substr(0, 31) + "\""; }
  ScriptedCrashReporter::Thread Thread() {
    ScriptedCrashReporter::Thread thread{Attribute(), (Byte() & 1) != 0, {}, {}};
    for (int i = Byte() % 4; i > 0; --i)
      thread.frames.push_back(Text(true));
    for (int i = Byte() % 4; i > 0; --i)
      thread.stackLines.push_back(Text(true));
    return thread;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_at = 0;
};

void Script(Input& in, ScriptedCrashReporter& r) {
  Vorq::CrashReporterFlags =
      in.Byte() & (Vorq::CrashFlag::IncludeComputer | Vorq::CrashFlag::IncludeUser |
                   Vorq::CrashFlag::IncludeEnvironment);
  r.versionCookie = in.Text(false);
  r.osInfo = in.Text(true);
  r.cpuDetails = in.Attribute();
  r.cpuInfo = in.Text(true);
  r.computer = in.Text(true);
  for (int i = in.Byte() % 4; i > 0; --i)
    r.adapters.push_back(in.Attribute());
  r.memoryInfo = in.Attribute();
  r.lastError = in.Byte() * 0x01010101u;
  r.exceptionType = in.Text(true);
  if (in.Byte() & 1)
    r.accessKind = in.Attribute();
  r.badAddress = in.Text(false);
  for (int i = in.Byte() % 3; i > 0; --i)
    r.processes.push_back({in.Attribute(), (i & 1) != 0});
  r.userPrivileges = in.Attribute();
  r.userName = in.Text(false);
  r.commandLine = in.Text(true);
  r.currentFolder = in.Text(true);
  for (int i = in.Byte() % 3; i > 0; --i) {
    r.groups.emplace_back();
    for (int j = in.Byte() % 3; j > 0; --j)
      r.groups.back().push_back(in.Thread());
  }
  for (int i = in.Byte() % 4; i > 0; --i)
    r.threads.push_back(in.Thread());
  for (int i = in.Byte() % 4; i > 0; --i)
    r.variables.push_back({in.Text(false), in.Text(true)});
  for (int i = in.Byte() % 4; i > 0; --i)
    r.modules.push_back({in.Text(true), in.Attribute()});
  r.processMemory = in.Attribute();
  for (int i = in.Byte() % 4; i > 0; --i)
    r.appXml.push_back(in.Text(false));
  for (int i = in.Byte() % 4; i > 0; --i)
    r.reproSteps.push_back(in.Text(true));
}

// The rendering with the timestamp's digits taken out: the clock may tick between two.
std::string Timeless(std::string xml) {
  const size_t at = xml.find("<timestamp>"), end = xml.find("</timestamp>");
  if (at != std::string::npos && end != std::string::npos && at < end)
    xml.erase(at, end - at);
  return xml;
}

void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  ScriptedCrashReporter reporter;
  Script(in, reporter);
  const uint8_t stop = in.Byte();
  Vorq::CrashReporterStream stream(reporter);
  const uint32_t measured = stream.Measure();
  const std::string first = Vorq::ReadReport(stream);
  if (first.size() > measured)
    Fail("longer than measured", std::to_string(first.size()) + " > " + std::to_string(measured));
  const std::string problem = Vorq::ReportProblem(first);
  if (!problem.empty())
    Fail(problem.c_str(), first);

  stream.Rewind();
  uint32_t length = 0;
  for (int i = 0; i < stop && stream.Read(length);)
    ++i;
  stream.Rewind();
  if (Timeless(Vorq::ReadReport(stream)) != Timeless(first))
    Fail("another rendering after a rewind", first);
  return 0;
}
