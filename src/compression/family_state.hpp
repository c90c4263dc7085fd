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

// The members are read while the frames are decoded, and decoding stops once
// the list is complete (what follows it is only checked to be whole frames,
// zstd::FrameReader::finish); a decoding error comes before a reader's error.
// Every member read gets blocks of its own. The decoded bytes held and the
// memory of the members built from them stay within `max_memory` (default:
// what memory allows, zstd::FrameReader): past it std::bad_alloc, and a
// member count that cannot fit is refused before anything is built.
Result<std::vector<MSCTreeViewPtr>> read_family_state(std::string_view state,
                                                      std::optional<uint64_t> max_memory = std::nullopt);

}  // namespace qb
