#pragma once
// __getstate__ results: a value's stored form written straight into the new
// bytes object.
#include <cstdint>
#include <utility>

#include "pyapi/frame.hpp"
#include "tree/stored_form.hpp"

namespace qb::py {

// `write(StoredWriter&)` must write exactly `size` bytes. It runs after the
// body has returned, during the result conversion, which the frame does while
// it still holds the receiver's borrow: it may refer to the receiver's value
// instead of copying it.
template <class WriteFn>
BytesWrite stored_state(uint64_t size, WriteFn write) {
  return {size, [size, write = std::move(write)](char* out) { qb::write_stored_to(out, size, write); }};
}

}  // namespace qb::py
