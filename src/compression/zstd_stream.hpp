#pragma once
// zstd through streaming contexts, for the compressed state of a family of
// gene-tree sets. Kept apart from the core (which never compresses) so that
// only this library links zstd; free of Python so that a fuzz target reaches it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "compression/byte_buffer.hpp"
#include "tree/failure.hpp"

namespace qb::zstd {

// The compression level of every frame written here; it is the only
// parameter set on the context.
constexpr int kLevel = 3;

// `input` as exactly one frame, written by a streaming context at level
// kLevel: no dictionary, no checksum. The whole input is handed to the context
// in one call that also ends the frame, so the library knows its size and the
// frame header announces it. The error is the library's error name.
//
// Memory: the output buffer is sized to the library's bound, which lets the
// library write the frame in one pass, but only the pages the frame is
// written to are touched (ByteBuffer): the call takes the frame's size
// beside its input.
Result<ByteBuffer> compress(std::string_view input);

// The outputs of every frame of `input`, joined in order, decoded by one
// streaming context (no dictionary) until the input is used up. Errors:
// "incomplete frame" for an empty input or one that ends inside a frame;
// otherwise the library's error name (bytes that do not begin a frame, also
// after a complete one, or a damaged frame).
//
// Output beyond `max_output` bytes (default: the memory budget of the
// process, memory_budget.hpp) throws std::bad_alloc, and the output is never
// grown past what the budget allows: a larger total is counted without being
// stored, so a small input that decodes to far more than memory holds fails
// without taking that memory.
Result<ByteBuffer> decompress(std::string_view input, std::optional<uint64_t> max_output = std::nullopt);

}  // namespace qb::zstd
