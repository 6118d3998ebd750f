#pragma once

// An HTTP body read each of the ways the message layer offers, for tests that show they
// all agree (and all fail alike).

#include <string>

#include "libs/ccutility/http/http.h"
#include "tests/support/exception_text.h"

namespace gvtest {

enum class BodyReader { kBody, kContinue, kPieces, kReceive };
constexpr BodyReader kBodyReaders[] = {BodyReader::kBody, BodyReader::kContinue,
                                       BodyReader::kPieces, BodyReader::kReceive};

inline std::string ReadBody(cc::HTTP& h, BodyReader reader) {
  std::string out;
  switch (reader) {
    case BodyReader::kBody:
      return Str(h.Body());
    case BodyReader::kContinue: {
      CCString body;
      while (h.ContinueReceivingBody(body)) {
      }
      return Str(body);
    }
    case BodyReader::kPieces:
      for (CCString p = h.ReceivePiece(); !p.IsEmpty(); p = h.ReceivePiece())
        out += Str(p);
      return out;
    case BodyReader::kReceive: {
      char buffer[7];  // small: many reads per body
      while (uint32_t n = h.Receive(buffer, sizeof buffer))
        out.append(buffer, n);
      return out;
    }
  }
  return out;
}

}  // namespace gvtest
