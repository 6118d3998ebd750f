#include "libs/crashreport/crash_reporter_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "libs/crashreport/crash_library.h"
#include "libs/crashreport/crash_reporter.h"

namespace Vorq {

namespace {

// One state per opening line, element or closing line of the document, loop states for the
// lists, and the finished state. The numbers are stable; 51, 52, 54 and 55 are free.
enum State : uint8_t {
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
  kFramesBegin = 49,
  kGroupOpen = 50,
  kFinished = CrashReporterStream::kFinishedState,
};

// What a state writes.
enum class Write : uint8_t {
  kLine,     // `text` as a line (none when null), then the list operation
  kElement,  // element `text` with the collectors' attributes and text
  kNumber,   // element `text` with `number` printed by `format`
  kPieces,   // free text from `pieces`, a piece per call until it is finished
  kOwn,      // the state's own producer
};

// When a state writes anything at all: otherwise it goes straight to its `next`.
enum class When : uint8_t {
  kAlways,
  kComputer,         // IncludeComputer
  kUser,             // IncludeUser
  kComputerAndUser,  // both
  kEnvironment,      // IncludeEnvironment
  kThreadContext,    // the current thread has a context: call stack and stack dump
  kInGroup,          // the current thread belongs to a group
};

constexpr const char kHeaderText[] =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<crash_report>\n";

bool FlagSet(uint32_t flag) {
  return (CrashReporterFlags & flag) != 0;
}

unsigned long SecondsNow(CrashReporter&) {
  return static_cast<unsigned long>(std::time(nullptr));
}

unsigned long LastError(CrashReporter& reporter) {
  return reporter.GetLastErrorValue();
}

}  // namespace

// One row of the document's state machine.
struct CrashReporterStream::Step {
  using Collector = uint32_t (CrashReporter::*)(char* buffer, uint32_t capacity);
  using ListOperation = void (CrashReporter::*)();
  using Pieces = bool (CrashReporter::*)(uint32_t* length,
                                         char* buffer,
                                         uint32_t capacity,
                                         bool* finished);
  // Answers true when it wrote a list item (the state goes to `item`), false when the state is
  // done (it goes to `next`).
  using Producer = bool (CrashReporterStream::*)(const Step& step);

  State state;
  Write write;
  const char* text;  // the line, or the element's name
  State next;
  When when = When::kAlways;
  int indent = 0;                // lines: +2 after the line, -2 before it
  ListOperation list = nullptr;  // the list operation that goes with the state
  Collector attributes = nullptr;
  uint32_t attributesLimit = 0;
  Collector collector = nullptr;  // the element's text
  bool escaped = false;           // the text goes through Escape
  bool needsAttributes = false;   // the element is left out when it has no attributes
  const char* format = nullptr;
  unsigned long (*number)(CrashReporter&) = nullptr;
  Pieces pieces = nullptr;
  Producer produce = nullptr;
  State item = kFinished;
};

namespace {

using Step = CrashReporterStream::Step;

constexpr Step Line(State state,
                    const char* text,
                    int indent,
                    State next,
                    When when = When::kAlways,
                    Step::ListOperation list = nullptr) {
  return {.state = state,
          .write = Write::kLine,
          .text = text,
          .next = next,
          .when = when,
          .indent = indent,
          .list = list};
}

constexpr Step Text(State state,
                    const char* name,
                    Step::Collector collector,
                    bool escaped,
                    State next,
                    When when = When::kAlways) {
  return {.state = state,
          .write = Write::kElement,
          .text = name,
          .next = next,
          .when = when,
          .collector = collector,
          .escaped = escaped};
}

constexpr Step Attributed(State state,
                          const char* name,
                          Step::Collector attributes,
                          uint32_t limit,
                          Step::Collector collector,
                          bool escaped,
                          State next,
                          When when = When::kAlways,
                          bool needsAttributes = false) {
  return {.state = state,
          .write = Write::kElement,
          .text = name,
          .next = next,
          .when = when,
          .attributes = attributes,
          .attributesLimit = limit,
          .collector = collector,
          .escaped = escaped,
          .needsAttributes = needsAttributes};
}

constexpr Step Number(State state,
                      const char* name,
                      const char* format,
                      unsigned long (*number)(CrashReporter&),
                      State next) {
  return {.state = state,
          .write = Write::kNumber,
          .text = name,
          .next = next,
          .format = format,
          .number = number};
}

constexpr Step Pieces(State state, Step::Pieces pieces, bool escaped, State next) {
  return {.state = state,
          .write = Write::kPieces,
          .text = nullptr,
          .next = next,
          .escaped = escaped,
          .pieces = pieces};
}

constexpr Step Own(State state,
                   const char* name,
                   Step::Producer produce,
                   State item,
                   State next,
                   When when = When::kAlways) {
  return {.state = state,
          .write = Write::kOwn,
          .text = name,
          .next = next,
          .when = when,
          .produce = produce,
          .item = item};
}

}  // namespace

// The document as data, one row per state in state order. A row whose condition does not hold
// writes nothing and goes on to its `next`; list rows go to `item` after each item.
const CrashReporterStream::Step& CrashReporterStream::StepOf(uint32_t state) {
  using R = CrashReporter;
  using S = CrashReporterStream;
  constexpr uint32_t kText = kCollectorCapacity;
  constexpr bool kEscaped = true, kAsIs = false, kNeedsAttributes = true;
  constexpr When kAlways = When::kAlways, kIfComputer = When::kComputer, kIfUser = When::kUser,
                 kIfBoth = When::kComputerAndUser, kIfEnvironment = When::kEnvironment,
                 kIfContext = When::kThreadContext, kIfInGroup = When::kInGroup;
  // clang-format off
  static constexpr Step kSteps[] = {
    Line(kHeader, kHeaderText, +2, kVersionCookie),
    Own(kVersionCookie, "version_cookie", &S::ProduceVersionCookie, kFinished, kPlatform),
    Line(kPlatform, "<platform>win32</platform>\n", 0, kOsInfo),
    Text(kOsInfo, "os_info", &R::GetOsInfo, kEscaped, kCpuInfo),
    Attributed(kCpuInfo, "cpu_info", &R::GetCpuDetails, kText / 2, &R::GetCpuInfo, kEscaped,
               kComputer),
    Text(kComputer, "computer", &R::GetComputerNameText, kEscaped, kHostIpOpen, kIfComputer),
    Line(kHostIpOpen, "<host_ip>\n", +2, kAdapter, kIfComputer, &R::BeginAdapters),
    Own(kAdapter, "adapter", &S::ProduceAdapter, kAdapter, kHostIpClose, kIfComputer),
    Line(kHostIpClose, "</host_ip>\n", -2, kMemoryInfo, kIfComputer),
    Attributed(kMemoryInfo, "memory_info", &R::GetMemoryInfo, kText, nullptr, kAsIs, kTimestamp),
    Number(kTimestamp, "timestamp", "%lu", SecondsNow, kLastError),
    Number(kLastError, "lasterror", "0x%02lx", LastError, kType),
    Text(kType, "type", &R::GetExceptionType, kEscaped, kBadAddress),
    // Only an access violation names an access kind; anything else has no bad address.
    Attributed(kBadAddress, "bad_address", &R::GetAccessKind, 64, &R::GetBadAddress, kAsIs,
               kProcessesOpen, kAlways, kNeedsAttributes),
    Line(kProcessesOpen, "<processes>\n", +2, kProcess, kAlways, &R::BeginProcesses),
    Own(kProcess, "process", &S::ProduceProcess, kUser, kProcessesClose),
    Attributed(kUser, "user", &R::GetUserPrivileges, kText / 2, &R::GetUserNameText, kAsIs,
               kCmdLine, kIfUser),
    Text(kCmdLine, "cmdline", &R::GetCommandLineText, kEscaped, kCurDir),
    Text(kCurDir, "curdir", &R::GetCurrentFolder, kEscaped, kThreadsOpen, kIfBoth),
    Line(kThreadsOpen, "<threads>\n", +2, kGroupOpen, kAlways, &R::BeginThreads),
    Own(kThread, "thread", &S::ProduceThread, kCallstackOpen, kThreadsClose),
    Line(kCallstackOpen, "<callstack>\n", +2, kFramesBegin),
    Own(kFrame, "frame", &S::ProduceFrame, kFrame, kCallstackClose, kIfContext),
    Line(kCallstackClose, "</callstack>\n", -2, kStackOpen),
    Line(kStackOpen, "<stack>\n", +2, kCdataOpen, kIfContext),
    Line(kCdataOpen, "<![CDATA[\n", +2, kStackLine, kIfContext),
    Own(kStackLine, nullptr, &S::ProduceStackLine, kStackLine, kCdataClose, kIfContext),
    Line(kCdataClose, "]]>\n", -2, kStackClose, kIfContext),
    Line(kStackClose, "</stack>\n", -2, kThreadClose, kIfContext),
    // After a thread: the group's next thread, else a new group or the next thread.
    Line(kThreadClose, "</thread>\n", -2, kGroupThread),
    Own(kGroupThread, "thread", &S::ProduceThread, kCallstackOpen, kGroupClose, kIfInGroup),
    Line(kGroupClose, "</group>\n", -2, kGroupOpen, kIfInGroup),
    Line(kThreadsClose, "</threads>\n", -2, kEnvironmentOpen, kAlways, &R::EndThreads),
    Line(kEnvironmentOpen, "<environment>\n", +2, kVariable, kIfEnvironment,
         &R::BeginEnvironment),
    Own(kVariable, "variable", &S::ProduceVariable, kVariable, kEnvironmentClose, kIfEnvironment),
    Line(kEnvironmentClose, "</environment>\n", -2, kModulesOpen, kIfEnvironment,
         &R::EndEnvironment),
    Line(kModulesOpen, "<modules>\n", +2, kModule, kAlways, &R::BeginModules),
    Own(kModule, "module", &S::ProduceModule, kModule, kModulesClose),
    Line(kModulesClose, "</modules>\n", -2, kProcessMemory, kAlways, &R::EndModules),
    Own(kProcessMemory, "process_memory", &S::ProduceProcessMemory, kFinished, kProcessClose),
    Line(kProcessClose, "</process>\n", -2, kProcess),
    Line(kProcessesClose, "</processes>\n", -2, kAppXmlOpen, kAlways, &R::EndProcesses),
    Line(kAppXmlOpen, "<app_xml>\n", +2, kAppXml),
    // Application XML is already XML: inserted as it comes, without escaping.
    Pieces(kAppXml, &R::ReadApplicationXml, kAsIs, kAppXmlClose),
    Line(kAppXmlClose, "</app_xml>\n", -2, kReproOpen),
    Line(kReproOpen, "<user_repro_steps>\n", +2, kRepro),
    Pieces(kRepro, &R::ReadReproSteps, kEscaped, kReproClose),
    Line(kReproClose, "</user_repro_steps>\n", -2, kCrashReportClose),
    Line(kCrashReportClose, "</crash_report>\n", -2, kFinished),
    Line(kFramesBegin, nullptr, 0, kFrame, kIfContext, &R::BeginFrames),
    Own(kGroupOpen, nullptr, &S::ProduceGroup, kGroupThread, kThread),
    Line(kFinished, nullptr, 0, kFinished),
  };
  // clang-format on
  static_assert([] {
    for (uint32_t i = 0; i < std::size(kSteps) - 1; ++i) {
      if (kSteps[i].state != i)
        return false;
    }
    return true;
  }());
  return state < std::size(kSteps) - 1 ? kSteps[state] : kSteps[std::size(kSteps) - 1];
}

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
  if (const Step& step = StepOf(m_state); step.write == Write::kPieces) {
    uint32_t length = 0;
    bool finished = false;
    do {
      (m_reporter.*step.pieces)(&length, m_work, kCollectorCapacity, &finished);
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

bool CrashReporterStream::Holds(const Step& step) const {
  switch (step.when) {
    case When::kAlways:
      return true;
    case When::kComputer:
      return FlagSet(CrashFlag::IncludeComputer);
    case When::kUser:
      return FlagSet(CrashFlag::IncludeUser);
    case When::kComputerAndUser:
      return FlagSet(CrashFlag::IncludeComputer) && FlagSet(CrashFlag::IncludeUser);
    case When::kEnvironment:
      return FlagSet(CrashFlag::IncludeEnvironment);
    case When::kThreadContext:
      return m_threadHasContext;
    case When::kInGroup:
      return m_inGroup;
  }
  return false;
}

void CrashReporterStream::Produce() {
  const Step& step = StepOf(m_state);
  if (!Holds(step)) {
    Go(step.next);
    return;
  }
  CrashReporter& r = m_reporter;
  switch (step.write) {
    case Write::kLine:
      if (step.text)
        WriteLine(step.text, step.indent);
      break;
    case Write::kElement: {
      uint32_t attributes = 0;
      if (step.attributes) {
        attributes = std::min((r.*step.attributes)(Attributes(), step.attributesLimit),
                              step.attributesLimit);
      }
      if (step.needsAttributes && !attributes)
        break;
      char* text = TextSlot(attributes);
      uint32_t length = step.collector ? (r.*step.collector)(text, TextCapacity(attributes)) : 0;
      if (step.escaped && attributes)
        WriteAttributesEscapedText(step.text, attributes, text, length);
      else if (step.escaped)
        WriteEscapedText(step.text, text, length);
      else if (attributes)
        WriteAttributesText(step.text, attributes, text, length);
      else
        WriteText(step.text, text, length);
      break;
    }
    case Write::kNumber: {
      char* text = TextSlot(0);
      int n = std::snprintf(text, 32, step.format, step.number(r));
      WriteText(step.text, text, n < 0 ? 0 : uint32_t(n));
      break;
    }
    case Write::kPieces: {
      uint32_t length = 0;
      bool finished = false;
      char* text = TextSlot(0);
      (r.*step.pieces)(&length, text, kCollectorCapacity, &finished);
      length = std::min(length, kCollectorCapacity);
      if (length) {
        ReplaceNuls(text, length);
        if (step.escaped) {
          m_pendingContent = text;
          m_pendingContentLength = length;
        } else {
          SetPiece(text, length);
        }
      }
      if (length && !finished)
        return;  // more to come
      break;
    }
    case Write::kOwn:
      Go((this->*step.produce)(step) ? step.item : step.next);
      return;
  }
  if (step.list)
    (r.*step.list)();
  Go(step.next);
}

bool CrashReporterStream::ProduceVersionCookie(const Step& step) {
  uint32_t length = 0;
  char* text = TextSlot(0);
  m_reporter.GetVersionCookie(&length, text, kCollectorCapacity);
  length = std::min(length, kCollectorCapacity);
  ReplaceNuls(text, length);
  WriteText(step.text, text, length);
  return false;
}

bool CrashReporterStream::ProduceAdapter(const Step& step) {
  if (!m_reporter.NextAdapter(Attributes(), kCollectorCapacity))
    return false;
  WriteEmptyAttributes(step.text, Written(Attributes(), kCollectorCapacity));
  return true;
}

bool CrashReporterStream::ProduceProcess(const Step& step) {
  bool self = false;
  if (!m_reporter.NextProcess(Attributes(), kCollectorCapacity, &self))
    return false;
  m_processIsSelf = self;
  WriteOpenAttributes(step.text, Written(Attributes(), kCollectorCapacity));
  Indent(2);
  return true;
}

bool CrashReporterStream::ProduceGroup(const Step& step) {
  m_inGroup = m_reporter.BeginThreadGroup();
  if (m_inGroup)
    WriteLine("<group>\n", 2);
  return m_inGroup;
}

bool CrashReporterStream::ProduceThread(const Step& step) {
  bool hasContext = false;
  char* attributes = Attributes();
  bool more = m_inGroup ? m_reporter.NextGroupThread(attributes, kCollectorCapacity, &hasContext)
                        : m_reporter.NextThread(attributes, kCollectorCapacity, &hasContext);
  if (!more)
    return false;
  m_threadHasContext = hasContext;
  WriteOpenAttributes(step.text, Written(attributes, kCollectorCapacity));
  Indent(2);
  return true;
}

bool CrashReporterStream::ProduceFrame(const Step& step) {
  if (!m_reporter.HasMoreFrames())
    return false;
  uint32_t length = m_reporter.NextFrame(TextSlot(0), kCollectorCapacity);
  WriteEscapedText(step.text, TextSlot(0), length);
  return true;
}

bool CrashReporterStream::ProduceStackLine(const Step& step) {
  // Dump lines carry their own layout: no indentation in front.
  uint32_t length = 0;
  char* text = TextSlot(0);
  if (!m_reporter.NextStackLine(text, kCollectorCapacity, &length) || !length) {
    m_dumpBrackets = 0;
    return false;
  }
  length = std::min(length, kCollectorCapacity);
  ReplaceNuls(text, length);
  // "]]>" would end the CDATA section the dump stands in, also when split over two lines.
  for (uint32_t i = 0; i < length; ++i) {
    if (text[i] == '>' && m_dumpBrackets == 2)
      text[i] = '.';
    m_dumpBrackets = text[i] == ']' ? std::min(m_dumpBrackets + 1, 2) : 0;
  }
  SetPiece(text, length);
  return true;
}

bool CrashReporterStream::ProduceVariable(const Step& step) {
  // name="NAME": the collector writes the name right after the opening quote.
  static constexpr char kPrefix[] = "name=\"";
  constexpr uint32_t kPrefixLength = sizeof kPrefix - 1;
  constexpr uint32_t kNameCapacity = kCollectorCapacity / 2 - kPrefixLength - 2;
  char* attributes = Attributes();
  if (!m_reporter.NextVariableName(attributes + kPrefixLength, kNameCapacity))
    return false;
  std::memcpy(attributes, kPrefix, kPrefixLength);
  uint32_t length = kPrefixLength + Written(attributes + kPrefixLength, kNameCapacity);
  attributes[length++] = '"';
  uint32_t value = m_reporter.GetVariableValue(TextSlot(length), TextCapacity(length));
  WriteAttributesEscapedText(step.text, length, TextSlot(length), value);
  return true;
}

bool CrashReporterStream::ProduceModule(const Step& step) {
  // The path comes first but is written after the attributes: park it in the upper half.
  constexpr uint32_t kHalf = kWorkBufferSize / 2;
  constexpr uint32_t kAttributesCapacity = kHalf - kCollectorOffset - 1;
  char* path = m_work + kHalf;
  if (!m_reporter.NextModule(path, kHalf - kTailReserve))
    return false;
  uint32_t pathLength = Written(path, kHalf - kTailReserve);
  uint32_t attributes =
      std::min(m_reporter.GetModuleVersion(Attributes(), kAttributesCapacity), kAttributesCapacity);
  WriteAttributesEscapedText(step.text, attributes, path, pathLength);
  return true;
}

bool CrashReporterStream::ProduceProcessMemory(const Step& step) {
  uint32_t attributes =
      std::min(m_reporter.GetProcessMemory(Attributes(), kCollectorCapacity), kCollectorCapacity);
  if (attributes)
    WriteOpenMixed(step.text, attributes);
  m_reporter.ProcessMemoryDone();
  return false;
}

}  // namespace Vorq
