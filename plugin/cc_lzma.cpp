#include "plugin/cc_lzma.h"

#include <cstdlib>
#include <cstring>
#include <new>

// The SDK's Types.h includes <windows.h> on Windows (for its WRes type); only this file sees
// the SDK's headers.
extern "C" {
#include "LzmaDec.h"
}

namespace {

void* SdkAlloc(void*, size_t size) {
  return size ? std::malloc(size) : nullptr;
}
void SdkFree(void*, void* address) {
  std::free(address);
}
ISzAlloc g_sdkAllocator = {SdkAlloc, SdkFree};

// The dictionary starts at this size and doubles as output arrives, up to the container's
// dictionary size (or the uncompressed size when that is smaller): a hostile header cannot
// make us allocate more than the stream really produces.
constexpr size_t kFirstDictionaryBytes = 64 << 10;

// What BeginDecompression allocates, zero-filled.
struct DecoderState {
  uint32_t headerRead;  // bytes of the 13-byte header taken so far
  uint8_t header[CCLZMA::kHeaderSize];
  uint64_t uncompressedSize;  // assembled from bytes 5..12, least significant first
  uint64_t produced;          // output so far
  size_t dictionaryLimit;     // the most the dictionary grows to
  CLzmaDec decoder;
};

int32_t ResultOf(SRes result) {
  return result == SZ_ERROR_MEM ? CCCompression::kOutOfMemory : CCCompression::kDataError;
}

// Makes room after the decoder's current position: grows the dictionary while it is below
// its limit (nothing has wrapped yet, so the content stays in place), else wraps to its start.
bool MakeDictionaryRoom(DecoderState& state) {
  CLzmaDec& decoder = state.decoder;
  if (decoder.dic && decoder.dicPos < decoder.dicBufSize)
    return true;
  if (decoder.dic && decoder.dicBufSize >= state.dictionaryLimit) {
    decoder.dicPos = 0;
    return true;
  }
  size_t size = decoder.dic ? decoder.dicBufSize * 2 : kFirstDictionaryBytes;
  if (size > state.dictionaryLimit)
    size = state.dictionaryLimit;
  auto* grown = static_cast<Byte*>(std::realloc(decoder.dic, size));
  if (!grown)
    return false;
  decoder.dic = grown;
  decoder.dicBufSize = size;
  return true;
}

}  // namespace

CCLZMA::MyTracker::MyTracker() {
  for (int32_t& setting : encoderSettings)
    setting = -1;
}

CCLZMA::CCLZMA() : CCCompression(&m_tracker) {}

CCLZMA::~CCLZMA() {
  EndDecompression();
}

CCCompression* CCLZMA::Create() const {
  auto* codec = new CCLZMA;
  codec->AddRef();
  return codec;
}

bool CCLZMA::BeginDecompression() {
  EndDecompression();
  auto* decoderState = static_cast<DecoderState*>(std::calloc(1, sizeof(DecoderState)));
  if (!decoderState)
    return false;
  LzmaDec_Construct(&decoderState->decoder);
  m_tracker.stream.codecState = decoderState;
  return true;
}

void CCLZMA::EndDecompression() {
  auto* decoderState = static_cast<DecoderState*>(m_tracker.stream.codecState);
  if (!decoderState)
    return;
  LzmaDec_FreeProbs(&decoderState->decoder, &g_sdkAllocator);
  std::free(decoderState->decoder.dic);
  std::free(decoderState);
  m_tracker.stream.codecState = nullptr;
}

int32_t CCLZMA::DecompressionStep() {
  Stream& stream = m_tracker.stream;
  auto* decoderState = static_cast<DecoderState*>(stream.codecState);
  if (!decoderState)
    return kDataError;

  while (decoderState->headerRead < kHeaderSize) {
    if (stream.inputLeft == 0)
      return kGoOn;
    const uint8_t byte = *stream.nextInput++;
    --stream.inputLeft;
    ++stream.totalInput;
    decoderState->header[decoderState->headerRead++] = byte;
    if (decoderState->headerRead == kPropertiesSize) {
      if (decoderState->header[0] >= kFirstInvalidProperties)
        return kDataError;
      // Decodes the properties (the dictionary size is raised to the SDK's minimum of 4 KiB)
      // and allocates the probability table of 1846 + (768 << (lc + lp)) entries.
      SRes result = LzmaDec_AllocateProbs(&decoderState->decoder, decoderState->header,
                                          kPropertiesSize, &g_sdkAllocator);
      if (result != SZ_OK)
        return ResultOf(result);
      LzmaDec_Init(&decoderState->decoder);
    } else if (decoderState->headerRead > kPropertiesSize) {
      decoderState->uncompressedSize |= uint64_t(byte)
                                        << (8 * (decoderState->headerRead - kPropertiesSize - 1));
    }
    if (decoderState->headerRead == kHeaderSize) {
      uint64_t limit = decoderState->decoder.prop.dicSize;
      if (decoderState->uncompressedSize != kUnknownSize && decoderState->uncompressedSize < limit)
        limit = decoderState->uncompressedSize ? decoderState->uncompressedSize : 1;
      decoderState->dictionaryLimit = size_t(limit);
    }
  }

  const bool sizeKnown = decoderState->uncompressedSize != kUnknownSize;
  for (;;) {
    if (sizeKnown && decoderState->produced == decoderState->uncompressedSize)
      return kStreamFinished;
    if (stream.outputRoom == 0)
      return kGoOn;
    if (!MakeDictionaryRoom(*decoderState))
      return kOutOfMemory;
    CLzmaDec& decoder = decoderState->decoder;
    const SizeT start = decoder.dicPos;
    SizeT want = decoder.dicBufSize - start;
    if (want > stream.outputRoom)
      want = stream.outputRoom;
    if (sizeKnown && want > decoderState->uncompressedSize - decoderState->produced)
      want = SizeT(decoderState->uncompressedSize - decoderState->produced);
    SizeT consumed = stream.inputLeft;
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    SRes result = LzmaDec_DecodeToDic(&decoder, start + want, stream.nextInput, &consumed,
                                      LZMA_FINISH_ANY, &status);
    const SizeT produced = decoder.dicPos - start;
    std::memcpy(stream.nextOutput, decoder.dic + start, produced);
    stream.nextOutput += produced;
    stream.outputRoom -= uint32_t(produced);
    stream.totalOutput += produced;
    decoderState->produced += produced;
    stream.nextInput += consumed;
    stream.inputLeft -= uint32_t(consumed);
    stream.totalInput += consumed;
    if (result != SZ_OK)
      return kDataError;
    if (status == LZMA_STATUS_FINISHED_WITH_MARK) {
      // An end marker before the announced size is a broken stream.
      return sizeKnown && decoderState->produced != decoderState->uncompressedSize
                 ? kDataError
                 : kStreamFinished;
    }
    if (status == LZMA_STATUS_NEEDS_MORE_INPUT || (produced == 0 && consumed == 0))
      return kGoOn;
  }
}
