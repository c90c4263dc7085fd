#include "failure.hpp"

namespace qb {

void panic(std::string message, const char* file, int line) {
  throw Panic(std::move(message), file, line);
}

void panic_index(uint64_t len, uint64_t index, const char* file, int line) {
  std::string text = "index out of bounds: the len is ";
  text += std::to_string(len);
  text += " but the index is ";
  text += std::to_string(index);
  throw Panic(std::move(text), file, line);
}

}  // namespace qb
