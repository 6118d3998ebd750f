#pragma once

#include <cstdint>

#include "libs/ccutility/binxml/binxml_streamable.h"

namespace Vorq {

class CrashReporter;

// The crash report as a pull stream: each Read renders the next piece of the XML document
// from the reporter's collectors into one work buffer, so nothing is allocated while the
// process is crashing and the same report can be read again after a Rewind. The reporter is
// not owned. Used by one thread at a time (the crashing one).
class CrashReporterStream : public BinXML::Streamable {
 public:
  static constexpr uint32_t kWorkBufferSize = 4096;
  static constexpr uint32_t kMeasureMargin = 8192;
  // Collectors write at this offset, leaving room in front for the indentation and the tag.
  static constexpr uint32_t kCollectorOffset = 32;
  // Kept free at the end of the work buffer for the closing of an empty element.
  static constexpr uint32_t kTailReserve = 16;
  // The most a collector may write for one element: 4048 bytes.
  static constexpr uint32_t kCollectorCapacity = kWorkBufferSize - kCollectorOffset - kTailReserve;
  // The state that yields nothing more.
  static constexpr uint32_t kFinishedState = 53;
  // A row of the document's state machine (what a state writes, from which collector, where
  // it goes next); defined with the stream.
  struct Step;

  explicit CrashReporterStream(CrashReporter& reporter);
  ~CrashReporterStream() override;
  CrashReporterStream(const CrashReporterStream&) = delete;
  CrashReporterStream& operator=(const CrashReporterStream&) = delete;

  // The measured size (the whole document read once plus a margin for values that change
  // between renderings); measured on first use. Leaves the stream rewound.
  uint32_t GetSize() override { return Measure(); }
  uint32_t Measure();
  void Rewind() override;
  // The next piece, valid until the next Read or Rewind; null and 0 once the document ended.
  const char* Read(uint32_t& length) override;

  // Replaces each of  " ' & < >  by its entity. Writes whole entities only: answers how many
  // bytes of `text` went into `out` (at most `capacity` bytes), `*written` the output length.
  virtual uint32_t Escape(const char* text,
                          uint32_t length,
                          char* out,
                          uint32_t capacity,
                          uint32_t* written);

 protected:
  // Writes at most one piece of the document and advances the state.
  virtual void Produce();
  // Zero bytes inside collector text become "~" (they would end the text for a reader).
  virtual void ReplaceNuls(char* text, uint32_t length);

  // Element writers: each puts the indentation first. Attributes and text that come from
  // collectors already lie in the work buffer (Attributes() / TextSlot()); other texts are
  // copied there.
  virtual void WriteLine(const char* text, int delta);
  virtual void WriteEmpty(const char* name);
  virtual void WriteOpen(const char* name);
  virtual void WriteOpenAttributes(const char* name, uint32_t attributesLength);
  // "<name attributes>" with the closing tag right after it, on the same line.
  virtual void WriteOpenMixed(const char* name, uint32_t attributesLength);
  virtual void WriteEmptyAttributes(const char* name, uint32_t attributesLength);
  virtual void WriteText(const char* name, const char* text, uint32_t length);
  virtual void WriteAttributesText(const char* name,
                                   uint32_t attributesLength,
                                   const char* text,
                                   uint32_t length);
  virtual void WriteEscapedText(const char* name, const char* text, uint32_t length);
  virtual void WriteAttributesEscapedText(const char* name,
                                          uint32_t attributesLength,
                                          const char* text,
                                          uint32_t length);

 private:
  char* Attributes() { return m_work + kCollectorOffset; }
  // Where an element's text goes after `attributesLength` bytes of attributes (one byte is
  // kept between them for the ">").
  char* TextSlot(uint32_t attributesLength) {
    return m_work + kCollectorOffset + (attributesLength ? attributesLength + 1 : 0);
  }
  uint32_t TextCapacity(uint32_t attributesLength) {
    return kCollectorCapacity - (attributesLength ? attributesLength + 1 : 0);
  }
  // Length of what a bool collector wrote at `text`, bounded by `capacity`.
  static uint32_t Written(const char* text, uint32_t capacity);
  // Writes indentation + "<" + name (+ " ") in front of the collector area; answers its start.
  char* HeadInFront(const char* name, bool withAttributes);
  void WriteElement(const char* name,
                    uint32_t attributesLength,
                    const char* text,
                    uint32_t length,
                    bool escaped);
  void SetPiece(const char* piece, uint32_t length);
  void SetTail(const char* name);
  void Indent(int delta);
  void Go(uint32_t state) { m_state = state; }

  // The document's state machine: each state's row (what it writes, from which collector,
  // where it goes next), whether the row's condition holds, and the producers of the states
  // that are more than a row (lists, collectors of their own shape). A producer answers true
  // when it wrote a list item.
  static const Step& StepOf(uint32_t state);
  bool Holds(const Step& step) const;
  bool ProduceVersionCookie(const Step& step);
  bool ProduceAdapter(const Step& step);
  bool ProduceProcess(const Step& step);
  bool ProduceGroup(const Step& step);
  bool ProduceThread(const Step& step);
  bool ProduceFrame(const Step& step);
  bool ProduceStackLine(const Step& step);
  bool ProduceVariable(const Step& step);
  bool ProduceModule(const Step& step);
  bool ProduceProcessMemory(const Step& step);

  CrashReporter& m_reporter;
  uint32_t m_state = 0;
  uint32_t m_size = 0;  // 0 until measured
  bool m_measuring = false;
  uint32_t m_produced = 0;                 // bytes handed out since the last rewind
  const char* m_pendingContent = nullptr;  // still to go through Escape
  uint32_t m_pendingContentLength = 0;
  const char* m_pendingTail = nullptr;  // the closing tag still to come
  uint32_t m_pendingTailLength = 0;
  int m_indent = 0;
  const char* m_piece = nullptr;  // what the last Produce wrote
  uint32_t m_pieceLength = 0;
  bool m_processIsSelf = false;
  bool m_threadHasContext = false;
  bool m_inGroup = false;
  int m_dumpBrackets = 0;  // "]" at the end of the stack dump so far, up to 2
  char m_work[kWorkBufferSize];
  char m_tail[40];
  char m_escaped[1024];
};

}  // namespace Vorq
