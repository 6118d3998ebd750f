#pragma once

#include <cstdint>

#include "launcher/text/cc_shared_ptr.h"
#include "launcher/text/cc_string.h"

// A streaming codec driven over a stream record that its tracker owns: the abstract base of
// the compression wrappers (CCLZMA). Run decompresses a whole buffer in steps. Created for
// one run and released after it; reference-counted like every shared object.
class CCCompression : public CCSharedPtr_Base {
 public:
  // Answers of a compression or decompression step.
  enum StepResult : int32_t {
    kGoOn = 0,
    kStreamFinished = 1,
    kDataError = 2,
    kOutOfMemory = 3,
  };
  // Values of `state`.
  enum RunState : int32_t {
    kFinished = 0,
    kRunning = 3,  // also left after a failure
    kCancelled = 4,
  };

  // The fields a codec reads and advances on each step.
  struct Stream {
    const uint8_t* nextInput = nullptr;
    uint32_t inputLeft = 0;
    uint64_t totalInput = 0;
    uint8_t* nextOutput = nullptr;
    uint32_t outputRoom = 0;
    uint64_t totalOutput = 0;
    void* codecState = nullptr;  // owned by the codec's begin and end operations
  };

  // The stream bookkeeping of one codec: where the input and the output room are.
  class Tracker {
   public:
    virtual ~Tracker() = default;
    virtual void SetNextInput(const uint8_t* input) = 0;
    virtual void SetInputLeft(uint32_t bytes) = 0;
    virtual void SetNextOutput(uint8_t* output) = 0;
    virtual void SetOutputRoom(uint32_t bytes) = 0;
    virtual const uint8_t* GetNextInput() = 0;
    virtual uint8_t* GetNextOutput() = 0;
    virtual uint32_t GetInputLeft() = 0;
    virtual uint32_t GetOutputRoom() = 0;
    virtual Stream* GetStream() = 0;
    // The encoder's settings, when the codec has any.
    virtual int32_t* GetEncoderSettings() { return nullptr; }
  };

  // Told how much input each step consumed. None in this program.
  class ProgressObserver {
   public:
    virtual ~ProgressObserver() = default;
    virtual void OnInputConsumed(uint64_t bytes) = 0;
  };

  // The largest output Run produces; a stream that would give more is a failure. Keeps a
  // hostile size or stream from exhausting a 32-bit process.
  static constexpr uint32_t kMaxOutput = 1u << 30;
  // The largest piece of output one step of Run asks for.
  static constexpr uint32_t kMaxChunk = 256u << 10;

  explicit CCCompression(Tracker* owner) : tracker(owner) {}
  ~CCCompression() override = default;

  virtual const char* Name() const = 0;
  // A new codec of the same kind, already referenced once.
  virtual CCCompression* Create() const = 0;
  virtual bool BeginCompression() = 0;
  virtual int32_t CompressionStep(bool finish) = 0;
  virtual void EndCompression() = 0;
  // False when the codec's state cannot be allocated.
  virtual bool BeginDecompression() = 0;
  // One step over the stream; a StepResult.
  virtual int32_t DecompressionStep() = 0;
  // Frees everything BeginDecompression and the steps allocated.
  virtual void EndDecompression() = 0;

  // Decompresses `input` whole with `compression`. Returns the output, or an empty string on
  // a data error, an allocation failure, input that ends before the stream does, output
  // beyond kMaxOutput, or a cancel (state 4). Never throws.
  static CCString Run(CCCompression& compression, const CCString& input);

  // CRC-32 (the zip polynomial) of `length` bytes continued from `crc`.
  static uint32_t UpdateCRC32(uint32_t crc, const uint8_t* data, size_t length);

  Tracker* tracker;
  ProgressObserver* progress = nullptr;
  uint32_t crc = 0;            // of the output, kept only when crcOut is set
  uint32_t* crcOut = nullptr;  // where the CRC is stored after each step; none here
  volatile bool* cancelFlag = &ownCancelFlag;
  volatile bool ownCancelFlag = false;
  int32_t state = kRunning;
};
