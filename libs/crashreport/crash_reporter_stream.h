#pragma once

#include <cstdint>

#include "libs/ccutility/binxml/binxml_streamable.h"

namespace Vorq {

class CrashReporter;

// The crash report as a pull stream: each Read renders the next piece of the XML document
// from the reporter's collectors into one work buffer, so nothing is allocated while the
// process is crashing and the same report can be read again after a Rewind.
class CrashReporterStream : public BinXML::Streamable {
 public:
  static constexpr uint32_t kWorkBufferSize = 4096;
  static constexpr uint32_t kMeasureMargin = 8192;

  explicit CrashReporterStream(CrashReporter& reporter);
  ~CrashReporterStream() override;

  // The measured size (the whole document read once plus a margin for values that change
  // between renderings); measured on first use.
  uint32_t GetSize() override { return Measure(); }
  uint32_t Measure();
  void Rewind() override;
  const char* Read(uint32_t& length) override;
};

}  // namespace Vorq
