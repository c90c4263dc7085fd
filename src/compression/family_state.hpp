#pragma once
// The state of a FamilyOfMSC: the stored list of its members (stored_views)
// compressed into one zstd frame. Error texts carry the stage that failed:
// "Compression error: ", "Decompression error: " or "Deserialization error: "
// followed by the library's error name or the reader's text.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "compression/byte_buffer.hpp"
#include "porcelain/views.hpp"
#include "tree/failure.hpp"

namespace qb {

// The stored list, written whole, then compressed (zstd::compress: the frame
// announces its size). The stored list is released on return, so the call
// holds at most the stored list and the frame at once, and then the frame.
Result<ByteBuffer> write_family_state(std::span<const MSCTreeViewPtr> members);

// Every member read gets blocks of its own. A state that decodes to more than
// `max_output` bytes (default: what memory allows, zstd::decompress) throws
// std::bad_alloc without taking that memory.
Result<std::vector<MSCTreeViewPtr>> read_family_state(std::string_view state,
                                                      std::optional<uint64_t> max_output = std::nullopt);

}  // namespace qb
