#include "libs/crashreport/crash_reporter_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/crash_reporter.h"

namespace Vorq {

namespace {

// One state per opening line, element or closing line of the document, loop states for the
// lists, and the finished state. The numbers are stable; 49-52, 54 and 55 are free.
enum State : uint32_t {
  kHeader = 0,
  kVersionCookie = 1,
  kPlatform = 2,
  kOsInfo = 3,
  kCpuInfo = 4,
  kComputer = 5,
  kHostIpOpen = 6,
  kAdapter = 7,
  kHostIpClose = 8,
  kMemoryInfo = 9,
  kTimestamp = 10,
  kLastError = 11,
  kType = 12,
  kBadAddress = 13,
  kProcessesOpen = 14,
  kProcess = 15,
  kUser = 16,
  kCmdLine = 17,
  kCurDir = 18,
  kThreadsOpen = 19,
  kThread = 20,
  kCallstackOpen = 21,
  kFrame = 22,
  kCallstackClose = 23,
  kStackOpen = 24,
  kCdataOpen = 25,
  kStackLine = 26,
  kCdataClose = 27,
  kStackClose = 28,
  kThreadClose = 29,
  kGroupThread = 30,
  kGroupClose = 31,
  kThreadsClose = 32,
  kEnvironmentOpen = 33,
  kVariable = 34,
  kEnvironmentClose = 35,
  kModulesOpen = 36,
  kModule = 37,
  kModulesClose = 38,
  kProcessMemory = 39,
  kProcessClose = 40,
  kProcessesClose = 41,
  kAppXmlOpen = 42,
  kAppXml = 43,
  kAppXmlClose = 44,
  kReproOpen = 45,
  kRepro = 46,
  kReproClose = 47,
  kCrashReportClose = 48,
  kFinished = CrashReporterStream::kFinishedState,
};

constexpr const char kHeaderText[] =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<crash_report>\n";

bool FlagSet(uint32_t flag) {
  return (CrashReporterFlags & flag) != 0;
}

}  // namespace

CrashReporterStream::CrashReporterStream(CrashReporter& reporter) : m_reporter(reporter) {
  m_work[0] = '\0';
}

CrashReporterStream::~CrashReporterStream() {
  // A rendering stopped half-way still holds the collectors' snapshots.
  m_reporter.EndThreads();
  m_reporter.EndModules();
  m_reporter.EndEnvironment();
  m_reporter.EndProcesses();
}

uint32_t CrashReporterStream::Measure() {
  if (m_size)
    return m_size;
  m_measuring = true;
  Rewind();
  uint32_t total = 0;
  uint32_t length = 0;
  while (Read(length) && length)
    total += length;
  m_size = total + kMeasureMargin;
  Rewind();
  m_measuring = false;
  return m_size;
}

void CrashReporterStream::Rewind() {
  // The free-text readers start over only once they have finished: read out the one a
  // rendering stopped in.
  if (m_state == kAppXml || m_state == kRepro) {
    uint32_t length = 0;
    bool finished = false;
    do {
      if (m_state == kAppXml)
        m_reporter.ReadApplicationXml(&length, m_work, kCollectorCapacity, &finished);
      else
        m_reporter.ReadReproSteps(&length, m_work, kCollectorCapacity, &finished);
    } while (length && !finished);
  }
  m_state = kHeader;
  m_produced = 0;
  m_indent = 0;
  m_pendingContent = nullptr;
  m_pendingContentLength = 0;
  m_pendingTail = nullptr;
  m_pendingTailLength = 0;
  m_piece = nullptr;
  m_pieceLength = 0;
  m_processIsSelf = false;
  m_threadHasContext = false;
  m_inGroup = false;
  m_dumpBrackets = 0;
  // Every list collector drops its snapshot and cursor at its End operation, so the next
  // rendering starts each list from its first item.
  m_reporter.EndThreads();
  m_reporter.EndModules();
  m_reporter.EndEnvironment();
  m_reporter.EndProcesses();
}

const char* CrashReporterStream::Read(uint32_t& length) {
  for (;;) {
    if (m_pendingContentLength) {
      uint32_t written = 0;
      uint32_t consumed =
          Escape(m_pendingContent, m_pendingContentLength, m_escaped, sizeof m_escaped, &written);
      m_pendingContent += consumed;
      m_pendingContentLength -= consumed;
      if (written) {
        length = written;
        m_produced += written;
        return m_escaped;
      }
    }
    if (m_pendingTailLength) {
      const char* tail = m_pendingTail;
      length = m_pendingTailLength;
      m_pendingTail = nullptr;
      m_pendingTailLength = 0;
      m_produced += length;
      return tail;
    }
    if (m_state == kFinished) {
      length = 0;
      return nullptr;
    }
    m_piece = nullptr;
    m_pieceLength = 0;
    Produce();
    if (m_pieceLength) {
      length = m_pieceLength;
      m_produced += length;
      return m_piece;
    }
  }
}

uint32_t CrashReporterStream::Escape(const char* text,
                                     uint32_t length,
                                     char* out,
                                     uint32_t capacity,
                                     uint32_t* written) {
  uint32_t used = 0;
  uint32_t consumed = 0;
  while (consumed < length) {
    const char* entity = nullptr;
    switch (text[consumed]) {
      case '"':
        entity = "&quot;";
        break;
      case '\'':
        entity = "&apos;";
        break;
      case '&':
        entity = "&amp;";
        break;
      case '<':
        entity = "&lt;";
        break;
      case '>':
        entity = "&gt;";
        break;
      default:
        break;
    }
    uint32_t size = entity ? uint32_t(std::strlen(entity)) : 1;
    if (used + size > capacity)
      break;
    if (entity)
      std::memcpy(out + used, entity, size);
    else
      out[used] = text[consumed];
    used += size;
    ++consumed;
  }
  *written = used;
  return consumed;
}

void CrashReporterStream::ReplaceNuls(char* text, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    if (text[i] == '\0')
      text[i] = '~';
  }
}

uint32_t CrashReporterStream::Written(const char* text, uint32_t capacity) {
  const void* end = std::memchr(text, '\0', capacity);
  return end ? uint32_t(static_cast<const char*>(end) - text) : capacity;
}

void CrashReporterStream::Indent(int delta) {
  m_indent += delta;
  if (m_indent < 0)
    m_indent = 0;
}

void CrashReporterStream::SetPiece(const char* piece, uint32_t length) {
  m_piece = piece;
  m_pieceLength = length;
}

void CrashReporterStream::SetTail(const char* name) {
  int n = std::snprintf(m_tail, sizeof m_tail, "</%s>\n", name);
  m_pendingTail = m_tail;
  m_pendingTailLength = n < 0 ? 0 : std::min<uint32_t>(uint32_t(n), sizeof m_tail - 1);
}

char* CrashReporterStream::HeadInFront(const char* name, bool withAttributes) {
  uint32_t nameLength = uint32_t(std::strlen(name));
  uint32_t fixed = 1 + nameLength + 1;  // "<" name, then " " or ">"
  uint32_t spaces = uint32_t(m_indent);
  // The room in front of the collector area bounds the indentation, never the tag.
  if (fixed + spaces > kCollectorOffset)
    spaces = fixed > kCollectorOffset ? 0 : kCollectorOffset - fixed;
  char* head = m_work + kCollectorOffset - fixed - spaces;
  std::memset(head, ' ', spaces);
  head[spaces] = '<';
  std::memcpy(head + spaces + 1, name, nameLength);
  head[spaces + 1 + nameLength] = withAttributes ? ' ' : '>';
  return head;
}

void CrashReporterStream::WriteElement(const char* name,
                                       uint32_t attributesLength,
                                       const char* text,
                                       uint32_t length,
                                       bool escaped) {
  char* slot = TextSlot(attributesLength);
  if (length > TextCapacity(attributesLength))
    length = TextCapacity(attributesLength);
  if (length && text != slot)
    std::memmove(slot, text, length);
  if (!length) {
    if (attributesLength)
      WriteEmptyAttributes(name, attributesLength);
    else
      WriteEmpty(name);
    return;
  }
  char* head = HeadInFront(name, attributesLength != 0);
  if (attributesLength)
    Attributes()[attributesLength] = '>';
  if (escaped) {
    SetPiece(head, uint32_t(slot - head));
    m_pendingContent = slot;
    m_pendingContentLength = length;
  } else {
    SetPiece(head, uint32_t(slot + length - head));
  }
  SetTail(name);
}

void CrashReporterStream::WriteLine(const char* text, int delta) {
  if (delta < 0)
    Indent(delta);
  int n = std::snprintf(m_work, sizeof m_work, "%*s%s", m_indent, "", text);
  SetPiece(m_work, n < 0 ? 0 : std::min<uint32_t>(uint32_t(n), sizeof m_work - 1));
  if (delta > 0)
    Indent(delta);
}

void CrashReporterStream::WriteEmpty(const char* name) {
  int n = std::snprintf(m_work, kCollectorOffset + 32, "%*s<%s />\n", m_indent, "", name);
  SetPiece(m_work, n < 0 ? 0 : uint32_t(n));
}

void CrashReporterStream::WriteOpen(const char* name) {
  int n = std::snprintf(m_work, kCollectorOffset + 32, "%*s<%s>\n", m_indent, "", name);
  SetPiece(m_work, n < 0 ? 0 : uint32_t(n));
}

void CrashReporterStream::WriteOpenAttributes(const char* name, uint32_t attributesLength) {
  char* head = HeadInFront(name, true);
  std::memcpy(Attributes() + attributesLength, ">\n", 2);
  SetPiece(head, uint32_t(Attributes() + attributesLength + 2 - head));
}

void CrashReporterStream::WriteOpenMixed(const char* name, uint32_t attributesLength) {
  char* head = HeadInFront(name, true);
  Attributes()[attributesLength] = '>';
  SetPiece(head, uint32_t(Attributes() + attributesLength + 1 - head));
  SetTail(name);
}

void CrashReporterStream::WriteEmptyAttributes(const char* name, uint32_t attributesLength) {
  char* head = HeadInFront(name, true);
  std::memcpy(Attributes() + attributesLength, " />\n", 4);
  SetPiece(head, uint32_t(Attributes() + attributesLength + 4 - head));
}

void CrashReporterStream::WriteText(const char* name, const char* text, uint32_t length) {
  WriteElement(name, 0, text, length, false);
}

void CrashReporterStream::WriteAttributesText(const char* name,
                                              uint32_t attributesLength,
                                              const char* text,
                                              uint32_t length) {
  WriteElement(name, attributesLength, text, length, false);
}

void CrashReporterStream::WriteEscapedText(const char* name, const char* text, uint32_t length) {
  WriteElement(name, 0, text, length, true);
}

void CrashReporterStream::WriteAttributesEscapedText(const char* name,
                                                     uint32_t attributesLength,
                                                     const char* text,
                                                     uint32_t length) {
  WriteElement(name, attributesLength, text, length, true);
}

void CrashReporterStream::ProduceProcess() {
  bool self = false;
  char* attributes = Attributes();
  if (!m_reporter.NextProcess(attributes, kCollectorCapacity, &self)) {
    Go(kProcessesClose);
    return;
  }
  m_processIsSelf = self;
  WriteOpenAttributes("process", Written(attributes, kCollectorCapacity));
  Indent(2);
  Go(kUser);
}

void CrashReporterStream::ProduceThread(bool inGroup) {
  if (!inGroup && m_reporter.BeginThreadGroup()) {
    m_inGroup = true;
    WriteLine("<group>\n", 2);
    Go(kGroupThread);
    return;
  }
  bool hasContext = false;
  char* attributes = Attributes();
  bool more = inGroup ? m_reporter.NextGroupThread(attributes, kCollectorCapacity, &hasContext)
                      : m_reporter.NextThread(attributes, kCollectorCapacity, &hasContext);
  if (!more) {
    Go(inGroup ? kGroupClose : kThreadsClose);
    return;
  }
  m_threadHasContext = hasContext;
  WriteOpenAttributes("thread", Written(attributes, kCollectorCapacity));
  Indent(2);
  Go(kCallstackOpen);
}

void CrashReporterStream::Produce() {
  CrashReporter& r = m_reporter;
  switch (m_state) {
    case kHeader:
      WriteLine(kHeaderText, 2);
      Go(kVersionCookie);
      break;
    case kVersionCookie: {
      uint32_t length = 0;
      char* text = TextSlot(0);
      r.GetVersionCookie(&length, text, kCollectorCapacity);
      length = std::min(length, kCollectorCapacity);
      ReplaceNuls(text, length);
      WriteText("version_cookie", text, length);
      Go(kPlatform);
      break;
    }
    case kPlatform:
      WriteText("platform", "win32", 5);
      Go(kOsInfo);
      break;
    case kOsInfo: {
      uint32_t length = r.GetOsInfo(TextSlot(0), kCollectorCapacity);
      WriteEscapedText("os_info", TextSlot(0), length);
      Go(kCpuInfo);
      break;
    }
    case kCpuInfo: {
      uint32_t attributes =
          std::min(r.GetCpuDetails(Attributes(), kCollectorCapacity / 2), kCollectorCapacity / 2);
      uint32_t length = r.GetCpuInfo(TextSlot(attributes), TextCapacity(attributes));
      WriteAttributesEscapedText("cpu_info", attributes, TextSlot(attributes), length);
      Go(FlagSet(CrashFlag::IncludeComputer) ? kComputer : kMemoryInfo);
      break;
    }
    case kComputer: {
      uint32_t length = r.GetComputerNameText(TextSlot(0), kCollectorCapacity);
      WriteEscapedText("computer", TextSlot(0), length);
      Go(kHostIpOpen);
      break;
    }
    case kHostIpOpen:
      WriteLine("<host_ip>\n", 2);
      r.BeginAdapters();
      Go(kAdapter);
      break;
    case kAdapter:
      if (r.NextAdapter(Attributes(), kCollectorCapacity))
        WriteEmptyAttributes("adapter", Written(Attributes(), kCollectorCapacity));
      else
        Go(kHostIpClose);
      break;
    case kHostIpClose:
      WriteLine("</host_ip>\n", -2);
      Go(kMemoryInfo);
      break;
    case kMemoryInfo: {
      uint32_t attributes =
          std::min(r.GetMemoryInfo(Attributes(), kCollectorCapacity), kCollectorCapacity);
      WriteAttributesText("memory_info", attributes, nullptr, 0);
      Go(kTimestamp);
      break;
    }
    case kTimestamp: {
      char* text = TextSlot(0);
      int n = std::snprintf(text, 32, "%lu", static_cast<unsigned long>(std::time(nullptr)));
      WriteText("timestamp", text, n < 0 ? 0 : uint32_t(n));
      Go(kLastError);
      break;
    }
    case kLastError: {
      char* text = TextSlot(0);
      int n = std::snprintf(text, 32, "0x%02x", static_cast<unsigned>(r.GetLastErrorValue()));
      WriteText("lasterror", text, n < 0 ? 0 : uint32_t(n));
      Go(kType);
      break;
    }
    case kType: {
      uint32_t length = r.GetExceptionType(TextSlot(0), kCollectorCapacity);
      WriteEscapedText("type", TextSlot(0), length);
      Go(kBadAddress);
      break;
    }
    case kBadAddress: {
      // Only an access violation names an access kind; anything else has no bad address.
      uint32_t attributes = std::min(r.GetAccessKind(Attributes(), 64), 64u);
      if (attributes) {
        uint32_t length = r.GetBadAddress(TextSlot(attributes), TextCapacity(attributes));
        WriteAttributesText("bad_address", attributes, TextSlot(attributes), length);
      }
      Go(kProcessesOpen);
      break;
    }
    case kProcessesOpen:
      WriteLine("<processes>\n", 2);
      r.BeginProcesses();
      Go(kProcess);
      break;
    case kProcess:
      ProduceProcess();
      break;
    case kUser: {
      if (FlagSet(CrashFlag::IncludeUser)) {
        uint32_t attributes = std::min(r.GetUserPrivileges(Attributes(), kCollectorCapacity / 2),
                                       kCollectorCapacity / 2);
        uint32_t length = r.GetUserNameText(TextSlot(attributes), TextCapacity(attributes));
        WriteAttributesText("user", attributes, TextSlot(attributes), length);
      }
      Go(kCmdLine);
      break;
    }
    case kCmdLine: {
      uint32_t length = r.GetCommandLineText(TextSlot(0), kCollectorCapacity);
      WriteEscapedText("cmdline", TextSlot(0), length);
      Go(kCurDir);
      break;
    }
    case kCurDir:
      if (FlagSet(CrashFlag::IncludeComputer) && FlagSet(CrashFlag::IncludeUser)) {
        uint32_t length = r.GetCurrentFolder(TextSlot(0), kCollectorCapacity);
        WriteEscapedText("curdir", TextSlot(0), length);
      }
      Go(kThreadsOpen);
      break;
    case kThreadsOpen:
      WriteLine("<threads>\n", 2);
      r.BeginThreads();
      m_inGroup = false;
      Go(kThread);
      break;
    case kThread:
      ProduceThread(false);
      break;
    case kCallstackOpen:
      WriteLine("<callstack>\n", 2);
      if (m_threadHasContext) {
        r.BeginFrames();
        Go(kFrame);
      } else {
        Go(kCallstackClose);
      }
      break;
    case kFrame:
      if (r.HasMoreFrames()) {
        uint32_t length = r.NextFrame(TextSlot(0), kCollectorCapacity);
        WriteEscapedText("frame", TextSlot(0), length);
      } else {
        Go(kCallstackClose);
      }
      break;
    case kCallstackClose:
      WriteLine("</callstack>\n", -2);
      Go(m_threadHasContext ? kStackOpen : kThreadClose);
      break;
    case kStackOpen:
      WriteLine("<stack>\n", 2);
      Go(kCdataOpen);
      break;
    case kCdataOpen:
      WriteLine("<![CDATA[\n", 2);
      Go(kStackLine);
      break;
    case kStackLine: {
      // Dump lines carry their own layout: no indentation in front.
      uint32_t length = 0;
      char* text = TextSlot(0);
      if (r.NextStackLine(text, kCollectorCapacity, &length) && length) {
        length = std::min(length, kCollectorCapacity);
        ReplaceNuls(text, length);
        // "]]>" would end the CDATA section the dump stands in, also when split over two lines.
        for (uint32_t i = 0; i < length; ++i) {
          if (text[i] == '>' && m_dumpBrackets == 2)
            text[i] = '.';
          m_dumpBrackets = text[i] == ']' ? std::min(m_dumpBrackets + 1, 2) : 0;
        }
        SetPiece(text, length);
      } else {
        m_dumpBrackets = 0;
        Go(kCdataClose);
      }
      break;
    }
    case kCdataClose:
      WriteLine("]]>\n", -2);
      Go(kStackClose);
      break;
    case kStackClose:
      WriteLine("</stack>\n", -2);
      Go(kThreadClose);
      break;
    case kThreadClose:
      WriteLine("</thread>\n", -2);
      Go(m_inGroup ? kGroupThread : kThread);
      break;
    case kGroupThread:
      ProduceThread(true);
      break;
    case kGroupClose:
      WriteLine("</group>\n", -2);
      m_inGroup = false;
      Go(kThread);
      break;
    case kThreadsClose:
      r.EndThreads();
      WriteLine("</threads>\n", -2);
      Go(FlagSet(CrashFlag::IncludeEnvironment) ? kEnvironmentOpen : kModulesOpen);
      break;
    case kEnvironmentOpen:
      WriteLine("<environment>\n", 2);
      r.BeginEnvironment();
      Go(kVariable);
      break;
    case kVariable: {
      // name="NAME": the collector writes the name right after the opening quote.
      static constexpr char kPrefix[] = "name=\"";
      constexpr uint32_t kPrefixLength = sizeof kPrefix - 1;
      constexpr uint32_t kNameCapacity = kCollectorCapacity / 2 - kPrefixLength - 2;
      char* attributes = Attributes();
      if (!r.NextVariableName(attributes + kPrefixLength, kNameCapacity)) {
        Go(kEnvironmentClose);
        break;
      }
      std::memcpy(attributes, kPrefix, kPrefixLength);
      uint32_t nameLength = Written(attributes + kPrefixLength, kNameCapacity);
      uint32_t length = kPrefixLength + nameLength;
      attributes[length++] = '"';
      uint32_t value = r.GetVariableValue(TextSlot(length), TextCapacity(length));
      WriteAttributesEscapedText("variable", length, TextSlot(length), value);
      break;
    }
    case kEnvironmentClose:
      r.EndEnvironment();
      WriteLine("</environment>\n", -2);
      Go(kModulesOpen);
      break;
    case kModulesOpen:
      WriteLine("<modules>\n", 2);
      r.BeginModules();
      Go(kModule);
      break;
    case kModule: {
      // The path comes first but is written after the attributes: park it in the upper half.
      constexpr uint32_t kHalf = kWorkBufferSize / 2;
      char* path = m_work + kHalf;
      if (!r.NextModule(path, kHalf - kTailReserve)) {
        Go(kModulesClose);
        break;
      }
      uint32_t pathLength = Written(path, kHalf - kTailReserve);
      uint32_t attributes = std::min(r.GetModuleVersion(Attributes(), kHalf - kCollectorOffset - 1),
                                     kHalf - kCollectorOffset - 1);
      WriteAttributesEscapedText("module", attributes, path, pathLength);
      break;
    }
    case kModulesClose:
      r.EndModules();
      WriteLine("</modules>\n", -2);
      Go(kProcessMemory);
      break;
    case kProcessMemory: {
      uint32_t attributes =
          std::min(r.GetProcessMemory(Attributes(), kCollectorCapacity), kCollectorCapacity);
      if (attributes)
        WriteOpenMixed("process_memory", attributes);
      r.ProcessMemoryDone();
      Go(kProcessClose);
      break;
    }
    case kProcessClose:
      WriteLine("</process>\n", -2);
      Go(kProcess);
      break;
    case kProcessesClose:
      r.EndProcesses();
      WriteLine("</processes>\n", -2);
      Go(kAppXmlOpen);
      break;
    case kAppXmlOpen:
      WriteLine("<app_xml>\n", 2);
      Go(kAppXml);
      break;
    case kAppXml: {
      // Application XML is already XML: inserted as it comes, without escaping.
      uint32_t length = 0;
      bool finished = false;
      char* text = TextSlot(0);
      r.ReadApplicationXml(&length, text, kCollectorCapacity, &finished);
      length = std::min(length, kCollectorCapacity);
      if (length) {
        ReplaceNuls(text, length);
        SetPiece(text, length);
      }
      if (finished || !length)
        Go(kAppXmlClose);
      break;
    }
    case kAppXmlClose:
      WriteLine("</app_xml>\n", -2);
      Go(kReproOpen);
      break;
    case kReproOpen:
      WriteLine("<user_repro_steps>\n", 2);
      Go(kRepro);
      break;
    case kRepro: {
      uint32_t length = 0;
      bool finished = false;
      char* text = TextSlot(0);
      r.ReadReproSteps(&length, text, kCollectorCapacity, &finished);
      length = std::min(length, kCollectorCapacity);
      if (length) {
        ReplaceNuls(text, length);
        m_pendingContent = text;
        m_pendingContentLength = length;
      }
      if (finished || !length)
        Go(kReproClose);
      break;
    }
    case kReproClose:
      WriteLine("</user_repro_steps>\n", -2);
      Go(kCrashReportClose);
      break;
    case kCrashReportClose:
      WriteLine("</crash_report>\n", -2);
      Go(kFinished);
      break;
    default:
      Go(kFinished);
      break;
  }
}

}  // namespace Vorq
