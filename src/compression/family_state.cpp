#include "compression/family_state.hpp"

#include <string>

#include "compression/zstd_stream.hpp"
#include "porcelain/stored_views.hpp"

namespace qb {
namespace {

template <class T>
Result<T> prefixed(std::string_view prefix, std::string message) {
  return Error{std::string(prefix) + message};
}

}  // namespace

Result<ByteBuffer> write_family_state(std::span<const MSCTreeViewPtr> members) {
  const uint64_t size = serialized_size(members);
  ByteBuffer stored(size);
  populate_for_write(stored.data(), size);  // written whole: its pages taken in one go
  write_stored_to(stored.data(), size, [&](StoredWriter& w) { serialize(w, members); });
  Result<ByteBuffer> frame = zstd::compress(stored.view());
  if (!frame.ok()) return prefixed<ByteBuffer>("Compression error: ", std::move(frame).error());
  return frame;
}

Result<std::vector<MSCTreeViewPtr>> read_family_state(std::string_view state, std::optional<uint64_t> max_memory) {
  using Members = std::vector<MSCTreeViewPtr>;
  zstd::FrameReader frames(state, max_memory);
  Result<Members> members = read_record<Members>(frames);
  if (std::optional<std::string> bad = frames.finish()) return prefixed<Members>("Decompression error: ", *bad);
  if (!members.ok()) return prefixed<Members>("Deserialization error: ", std::move(members).error());
  return members;
}

}  // namespace qb
