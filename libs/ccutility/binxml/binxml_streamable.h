#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "launcher/text/cc_string.h"

namespace BinXML {

// A source of value bytes that the writer either copies into its buffer or, when the value is
// large, sends straight from here (see Writer). The base class serves a byte buffer shared
// between copies by an atomic reference count; derived sources (a file, the crash report
// renderer) produce their bytes themselves. Sources are read by one thread at a time.
class Streamable {
 public:
  // No bytes.
  Streamable() = default;
  // Copies `size` bytes into a new shared buffer.
  Streamable(const void* data, uint32_t size);
  // Copies share the buffer; each copy reads on its own.
  Streamable(const Streamable& other);
  Streamable& operator=(const Streamable& other);
  virtual ~Streamable();

  // Total bytes the source delivers from Rewind to the end.
  virtual uint32_t GetSize();
  // True for a source whose bytes are rendered while it is read rather than held; nothing in
  // this library asks it, the base answers false.
  virtual bool IsRendered() { return false; }
  // Back to the first byte.
  virtual void Rewind();
  // The next piece of bytes and its length; length 0 (and null) at the end. The pointer is
  // valid until the next Read, Rewind or destruction.
  virtual const char* Read(uint32_t& length);
  // Extension points of the interface; nothing here overrides them.
  virtual void Hook1() {}
  virtual void Hook2() {}
  virtual void Hook3() {}

 protected:
  const char* SharedData() const { return m_shared ? m_shared->Bytes() : nullptr; }
  uint32_t SharedSize() const { return m_shared ? m_shared->size : 0; }
  // Replaces the buffer by a new one of `size` bytes copied from `data` (null: zeroed) and
  // returns its writable bytes.
  char* NewShared(const void* data, uint32_t size);

 private:
  struct Shared {
    std::atomic<int32_t> references;
    uint32_t size;
    char* Bytes() { return reinterpret_cast<char*>(this + 1); }
  };
  void Drop();

  Shared* m_shared = nullptr;
  uint32_t m_readPosition = 0;
};

// A text value: its characters and the terminating zero byte, which is part of the value. The
// empty text has size 0 and so is left out by a writer in omit-defaults mode.
class String : public Streamable {
 public:
  String() = default;
  String(const char* text);  // NOLINT: texts convert implicitly, as CCString does
  String(const char* text, uint32_t length);
  String(const CCString& text);  // NOLINT

  // Length plus terminator, 0 for the empty text; counted once.
  uint32_t GetSize() override;
  // The characters, without the terminator; never null.
  const char* c_str() const { return SharedData() ? SharedData() : ""; }

 private:
  uint32_t m_size = UINT32_MAX;  // not counted yet
};

// Raw bytes held in the shared buffer.
class Binary : public Streamable {
 public:
  Binary() = default;
  Binary(const void* data, uint32_t size) : Streamable(data, size) {}
  explicit Binary(const CCString& bytes) : Streamable(bytes.c_str(), bytes.Length()) {}

  const char* Data() const { return SharedData(); }
};

// Where a writer sends a finished message. A sink for a connection sends every byte it is
// given before it returns (looping over partial sends) and fails on the first send error; the
// telemetry connection's socket sink is one. Used by one thread at a time.
class StreamingOutput {
 public:
  virtual ~StreamingOutput() = default;
  // Sends `length` bytes; false when they could not all be delivered.
  virtual bool Write(const void* data, uint32_t length) = 0;
  // True for every sink: it accepts streamed values.
  virtual bool CanStream() { return true; }
};

// A sink that collects the message in memory; for tests and for encoding a message whole.
class StreamingOutput_Memory : public StreamingOutput {
 public:
  bool Write(const void* data, uint32_t length) override;
  const std::vector<char>& Bytes() const { return m_bytes; }
  void Clear() { m_bytes.clear(); }

 private:
  std::vector<char> m_bytes;
};

}  // namespace BinXML
