#pragma once

// Test support for the crash report stream: a reporter whose collectors answer what a test or
// fuzz input chose, and a check that a rendered report is well-formed.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "libs/crashreport/crash_reporter.h"
#include "libs/crashreport/crash_reporter_stream.h"

namespace Vorq {

// A reporter whose collectors answer the texts and lists in its members. A text longer than
// the caller's buffer fills it and answers its whole length, as a collector that reports the
// room it would have needed; texts that end with a NUL get it only where it fits. Every list
// behaves like the real ones: Begin and End rewind it, free texts rewind once finished.
class ScriptedCrashReporter : public CrashReporter {
 public:
  struct Thread {
    std::string attributes;
    bool hasContext = false;
    std::vector<std::string> frames, stackLines;
  };
  struct Named {
    std::string name, value;  // variable name and value; module path and version attributes
  };

  std::string versionCookie, osInfo, cpuInfo, cpuDetails, computer, memoryInfo, exceptionType,
      accessKind, badAddress, userPrivileges, userName, commandLine, currentFolder, processMemory;
  uint32_t lastError = 0;
  std::vector<std::string> adapters;
  std::vector<std::pair<std::string, bool>> processes;  // attributes, own process
  std::vector<std::vector<Thread>> groups;              // announced before the other threads
  std::vector<Thread> threads;                          // the same in every process
  std::vector<Named> variables, modules;
  std::vector<std::string> appXml, reproSteps;  // one piece per read
  uint32_t openLists = 0;                       // lists begun and not ended, one bit each

  int Install() override { return 0; }
  int Uninstall() override { return 0; }
  bool IsInstalled() override { return false; }
  long HandleException(_EXCEPTION_POINTERS*) override { return 0; }
  bool ProcessReport(CrashReporterStream&, const char*) override { return false; }
  void SetFolder(const char*) override {}
  void BeginAdapters() override { m_adapter = 0; }
  bool ReadApplicationXml(uint32_t* length,
                          char* buffer,
                          uint32_t capacity,
                          bool* finished) override {
    return Piece(appXml, &m_appXml, length, buffer, capacity, finished);
  }
  bool WriteMinidump(_EXCEPTION_POINTERS*, const char*) override { return false; }
  void GetVersionCookie(uint32_t* length, char* buffer, uint32_t capacity) override {
    *length = Put(versionCookie, buffer, capacity);
  }
  uint32_t GetOsInfo(char* b, uint32_t c) override { return Put(osInfo, b, c); }
  uint32_t GetCpuInfo(char* b, uint32_t c) override { return Put(cpuInfo, b, c); }
  uint32_t GetCpuDetails(char* b, uint32_t c) override { return Put(cpuDetails, b, c); }
  uint32_t GetComputerNameText(char* b, uint32_t c) override { return Put(computer, b, c); }
  bool NextAdapter(char* b, uint32_t c) override { return Next(adapters, &m_adapter, b, c); }
  uint32_t GetMemoryInfo(char* b, uint32_t c) override { return Put(memoryInfo, b, c); }
  void Placeholder1() override {}
  void Placeholder2() override {}
  uint32_t GetExceptionType(char* b, uint32_t c) override { return Put(exceptionType, b, c); }
  uint32_t GetAccessKind(char* b, uint32_t c) override { return Put(accessKind, b, c); }
  uint32_t GetBadAddress(char* b, uint32_t c) override { return Put(badAddress, b, c); }
  void BeginProcesses() override { Open(kProcesses, &m_process); }
  void EndProcesses() override { Close(kProcesses, &m_process); }
  bool NextProcess(char* b, uint32_t c, bool* self) override {
    *self = m_process < processes.size() && processes[m_process].second;
    return m_process < processes.size() && (Put(processes[m_process++].first, b, c), true);
  }
  uint32_t GetUserPrivileges(char* b, uint32_t c) override { return Put(userPrivileges, b, c); }
  uint32_t GetUserNameText(char* b, uint32_t c) override { return Put(userName, b, c); }
  void TrimAfterLast(char*, char) override {}
  uint32_t GetCommandLineText(char* b, uint32_t c) override { return Put(commandLine, b, c); }
  uint32_t GetCurrentFolder(char* b, uint32_t c) override { return Put(currentFolder, b, c); }
  void BeginThreads() override {
    Open(kThreads, &m_thread);
    m_group = 0;
  }
  void EndThreads() override { Close(kThreads, &m_thread); }
  bool NextThread(char* b, uint32_t c, bool* hasContext) override {
    return NextOf(threads, &m_thread, b, c, hasContext);
  }
  bool BeginThreadGroup() override {
    if (m_group >= groups.size())
      return false;
    ++m_group;
    m_groupThread = 0;
    return true;
  }
  void BeginFrames() override { m_frame = 0; }
  bool HasMoreFrames() override { return m_current && m_frame < m_current->frames.size(); }
  uint32_t NextFrame(char* b, uint32_t c) override {
    return HasMoreFrames() ? Put(m_current->frames[m_frame++], b, c) : 0;
  }
  bool NextStackLine(char* b, uint32_t c, uint32_t* length) override {
    *length = 0;
    if (!m_current || m_stackLine >= m_current->stackLines.size())
      return false;
    *length = Put(m_current->stackLines[m_stackLine++], b, c);
    return true;
  }
  bool Reserved38() override { return true; }
  bool Reserved39() override { return true; }
  bool NextGroupThread(char* b, uint32_t c, bool* hasContext) override {
    return m_group && NextOf(groups[m_group - 1], &m_groupThread, b, c, hasContext);
  }
  void BeginEnvironment() override { Open(kEnvironment, &m_variable); }
  void EndEnvironment() override { Close(kEnvironment, &m_variable); }
  bool NextVariableName(char* b, uint32_t c) override {
    return m_variable < variables.size() && (Put(variables[m_variable++].name, b, c), true);
  }
  uint32_t GetVariableValue(char* b, uint32_t c) override {
    return m_variable ? Put(variables[m_variable - 1].value, b, c) : 0;
  }
  uint32_t GetProcessMemory(char* b, uint32_t c) override { return Put(processMemory, b, c); }
  bool ProcessMemoryDone() override { return true; }
  void BeginModules() override { Open(kModules, &m_module); }
  void EndModules() override { Close(kModules, &m_module); }
  bool NextModule(char* b, uint32_t c) override {
    return m_module < modules.size() && (Put(modules[m_module++].name, b, c), true);
  }
  uint32_t GetModuleVersion(char* b, uint32_t c) override {
    return m_module ? Put(modules[m_module - 1].value, b, c) : 0;
  }
  bool ReadReproSteps(uint32_t* length, char* buffer, uint32_t capacity, bool* finished) override {
    return Piece(reproSteps, &m_repro, length, buffer, capacity, finished);
  }
  void OnCrashBegin() override {}
  void OnCrashEnd() override {}
  void BeforeInstall() override {}
  void AfterInstall() override {}
  void BeforeUninstall() override {}
  void AfterUninstall() override {}
  uint32_t GetLastErrorValue() override { return lastError; }

  // Fills `buffer` with as much of `text` as fits (and a NUL where there is room); answers the
  // whole length.
  static uint32_t Put(const std::string& text, char* buffer, uint32_t capacity) {
    size_t n = std::min<size_t>(text.size(), capacity);
    std::memcpy(buffer, text.data(), n);
    if (n < capacity)
      buffer[n] = '\0';
    return uint32_t(text.size());
  }

 private:
  enum : uint32_t { kProcesses = 1, kThreads = 2, kEnvironment = 4, kModules = 8 };
  void Open(uint32_t list, size_t* cursor) {
    openLists |= list;
    *cursor = 0;
  }
  void Close(uint32_t list, size_t* cursor) {
    openLists &= ~list;
    *cursor = 0;
  }
  static bool Next(const std::vector<std::string>& list, size_t* at, char* b, uint32_t c) {
    return *at < list.size() && (Put(list[(*at)++], b, c), true);
  }
  bool NextOf(const std::vector<Thread>& list, size_t* at, char* b, uint32_t c, bool* context) {
    m_current = *at < list.size() ? &list[*at] : nullptr;
    *context = m_current && m_current->hasContext;
    m_stackLine = 0;
    return m_current && (Put(list[(*at)++].attributes, b, c), true);
  }
  static bool Piece(const std::vector<std::string>& pieces,
                    size_t* at,
                    uint32_t* length,
                    char* buffer,
                    uint32_t capacity,
                    bool* finished) {
    *length = *at < pieces.size() ? Put(pieces[(*at)++], buffer, capacity) : 0;
    *finished = *at >= pieces.size();
    if (*finished || !*length)
      *at = 0;
    return *length != 0;
  }

  size_t m_adapter = 0, m_process = 0, m_thread = 0, m_group = 0, m_groupThread = 0, m_frame = 0,
         m_stackLine = 0, m_variable = 0, m_module = 0, m_appXml = 0, m_repro = 0;
  const Thread* m_current = nullptr;  // the thread last listed
};

// The whole rendering of `stream` from where it stands.
inline std::string ReadReport(CrashReporterStream& stream) {
  std::string text;
  uint32_t length = 0;
  while (const char* piece = stream.Read(length))
    text.append(piece, length);
  return text;
}

// What is wrong with a rendered report, or "" when it is well-formed: the declaration and one
// root element; tags closed in order; attributes name="value" with no "<" in a value; text
// with no raw "<" or ">" and only the five entities the stream writes; CDATA only inside an
// element.
inline std::string ReportProblem(const std::string& xml) {
  static const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n";
  auto nameEnd = [&](size_t from) {
    while (from < xml.size() && (std::isalnum(uint8_t(xml[from])) || xml[from] == '_'))
      ++from;
    return from;
  };
  if (xml.compare(0, kDeclaration.size(), kDeclaration) != 0)
    return "no declaration";
  std::vector<std::string> open;
  bool rootSeen = false;
  size_t at = kDeclaration.size();
  auto problem = [&](const std::string& what) { return what + " at byte " + std::to_string(at); };
  while (at < xml.size()) {
    const char c = xml[at];
    if (c != '<') {
      if (open.empty() && c != '\n')
        return problem("text outside the root");
      if (c == '>')
        return problem("raw >");
      size_t entity = 1;
      if (c == '&') {
        entity = 0;
        for (const char* known : {"&quot;", "&apos;", "&amp;", "&lt;", "&gt;"})
          if (xml.compare(at, std::strlen(known), known) == 0)
            entity = std::strlen(known);
        if (!entity)
          return problem("raw &");
      }
      at += entity;
      continue;
    }
    if (xml.compare(at, 9, "<![CDATA[") == 0) {
      const size_t end = xml.find("]]>", at);
      if (open.empty() || end == std::string::npos)
        return problem("stray CDATA");
      at = end + 3;
      continue;
    }
    const bool closing = xml.compare(at, 2, "</") == 0;
    const size_t start = at + 1 + closing;
    at = nameEnd(start);
    const std::string name = xml.substr(start, at - start);
    if (name.empty())
      return problem("no tag name");
    if (closing) {
      if (xml.compare(at, 1, ">") != 0 || open.empty() || open.back() != name)
        return problem("unexpected </" + name + ">");
      open.pop_back();
      ++at;
      continue;
    }
    if (open.empty() && rootSeen)
      return problem("second root");
    rootSeen = true;
    for (;;) {
      const size_t before = at;
      at = xml.find_first_not_of(" \n", at);
      if (at == std::string::npos)
        return problem("unterminated <" + name);
      if (xml.compare(at, 2, "/>") == 0 || xml[at] == '>') {
        if (xml[at] == '>')
          open.push_back(name);
        at += xml[at] == '>' ? 1 : 2;
        break;
      }
      const size_t value = nameEnd(at);
      const size_t quote = xml.find('"', value + 2);
      if (at == before || value == at || xml.compare(value, 2, "=\"") != 0 ||
          quote == std::string::npos || xml.find('<', value) < quote)
        return problem("bad attribute in <" + name);
      at = quote + 1;
    }
  }
  return !rootSeen ? "no root" : open.empty() ? "" : "unclosed <" + open.back() + ">";
}

}  // namespace Vorq
