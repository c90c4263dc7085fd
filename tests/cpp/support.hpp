#pragma once
// Shared by the C++ test files.
#include <functional>
#include <string>

#include "tree/failure.hpp"

namespace qb {

// The text of the Panic that `op` stops with, or "<no panic>".
inline std::string panic_text(const std::function<void()>& op) {
  try {
    op();
  } catch (const Panic& p) {
    return p.message();
  }
  return "<no panic>";
}

}  // namespace qb
