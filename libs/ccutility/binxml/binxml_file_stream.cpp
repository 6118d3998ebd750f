#include "libs/ccutility/binxml/binxml_file_stream.h"

namespace BinXML {

FileStream::FileStream(const CCString& path,
                       bool appendZero,
                       ProgressCallback progress,
                       void* context)
    : m_appendZero(appendZero), m_progress(progress), m_context(context) {
  if (!m_file.Open(path, cc::File::kRead, false, false))
    return;
  int64_t size = m_file.GetSize();
  // Lengths on the wire are 32-bit: a file that does not fit is not sent at all.
  if (size < 0 || uint64_t(size) + (appendZero ? 1 : 0) > UINT32_MAX) {
    m_file.Close();
    return;
  }
  m_size = uint32_t(size) + (appendZero ? 1 : 0);
}

FileStream::~FileStream() = default;

void FileStream::Rewind() {
  m_delivered = 0;
  m_zeroSent = false;
  if (m_file.IsOpen())
    m_file.Seek(0);
}

const char* FileStream::Read(uint32_t& length) {
  length = 0;
  if (!m_file.IsOpen())
    return nullptr;
  uint32_t fileBytes = m_size - (m_appendZero ? 1 : 0);
  if (m_delivered < fileBytes) {
    uint32_t want = fileBytes - m_delivered < kChunkSize ? fileBytes - m_delivered : kChunkSize;
    length = uint32_t(m_file.Read(m_chunk, want));
  } else if (m_appendZero && !m_zeroSent) {
    m_chunk[0] = '\0';
    m_zeroSent = true;
    length = 1;
  }
  if (length == 0)
    return nullptr;
  m_delivered += length;
  if (m_progress)
    m_progress(m_delivered, m_size, m_context);
  return m_chunk;
}

}  // namespace BinXML
