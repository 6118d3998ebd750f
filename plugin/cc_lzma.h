#pragma once

#include <cstdint>

#include "plugin/cc_compression.h"

// The LZMA codec of the ".zs" plug-in package, over the LZMA SDK decoder. The container is
// the LZMA-alone layout: a properties byte ((pb * 5 + lp) * 9 + lc, below 225), a 32-bit
// dictionary size and a 64-bit uncompressed size (all ones: unknown, the stream ends with its
// end marker), all little-endian, then the stream. No checksum: the signature vouches for it.
// Only decompression is implemented; the compression operations answer failure.
class CCLZMA : public CCCompression {
 public:
  // The stream record and the encoder settings (eight values, -1 meaning the default).
  class MyTracker : public CCCompression::Tracker {
   public:
    MyTracker();
    void SetNextInput(const uint8_t* input) override { stream.nextInput = input; }
    void SetInputLeft(uint32_t bytes) override { stream.inputLeft = bytes; }
    void SetNextOutput(uint8_t* output) override { stream.nextOutput = output; }
    void SetOutputRoom(uint32_t bytes) override { stream.outputRoom = bytes; }
    const uint8_t* GetNextInput() override { return stream.nextInput; }
    uint8_t* GetNextOutput() override { return stream.nextOutput; }
    uint32_t GetInputLeft() override { return stream.inputLeft; }
    uint32_t GetOutputRoom() override { return stream.outputRoom; }
    Stream* GetStream() override { return &stream; }
    int32_t* GetEncoderSettings() override { return encoderSettings; }

    Stream stream;
    int32_t encoderSettings[8];
  };

  // Container layout.
  static constexpr uint32_t kPropertiesSize = 5;  // properties byte and dictionary size
  static constexpr uint32_t kHeaderSize = 13;     // ... and the uncompressed size
  static constexpr uint64_t kUnknownSize = ~uint64_t(0);
  static constexpr uint8_t kFirstInvalidProperties = 225;

  CCLZMA();
  ~CCLZMA() override;

  const char* Name() const override { return "LZMA"; }
  CCCompression* Create() const override;
  bool BeginCompression() override { return false; }
  int32_t CompressionStep(bool finish) override { return kDataError; }
  void EndCompression() override {}
  bool BeginDecompression() override;
  // Reads the 13 header bytes as they arrive (the properties after the fifth: an invalid
  // byte is a data error, the probability table an allocation), then decodes into the
  // output room. Answers go on while input is missing: Run ends a stream that stops there.
  int32_t DecompressionStep() override;
  void EndDecompression() override;

 private:
  MyTracker m_tracker;
};
