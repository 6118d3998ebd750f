#pragma once

#include <cstdint>
#include <exception>

// The two failures of the BinXML encoding. The reader throws BadStream for every input it
// cannot decode; the writer throws MissingTokenOrValue when it is driven out of order (a value
// without a token, a token over a pending one, an unbalanced record).
namespace BinXML {

namespace Token {
// Token number that is never written: the writer's "no token pending" mark.
constexpr uint8_t InvalidTokenValue = 255;
}  // namespace Token

class BadStream : public std::exception {
 public:
  const char* what() const noexcept override { return "Bad Stream"; }
};

class MissingTokenOrValue : public std::exception {
 public:
  const char* what() const noexcept override { return "Missing Token or Value"; }
};

}  // namespace BinXML
