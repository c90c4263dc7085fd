#pragma once
// __getstate__ results: a value's stored form written straight into the new
// bytes object.
#include <cstdint>
#include <utility>

#include "pyapi/frame.hpp"
#include "tree/stored_form.hpp"

namespace qb::py {

// `write(StoredWriter&)` must write exactly `size` bytes; it runs after the
// body has returned, so it must own (share) what it writes.
template <class WriteFn>
BytesWrite stored_state(uint64_t size, WriteFn write) {
  return {size, [size, write = std::move(write)](char* out) { qb::write_stored_to(out, size, write); }};
}

}  // namespace qb::py
