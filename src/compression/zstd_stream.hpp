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
#include "tree/stored_form.hpp"

struct ZSTD_DCtx_s;

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
// streaming context (no dictionary) only as far as a reader asks for them.
//
// Memory: the output buffer and what the reader charges (StoredSource) stay
// within an allowance: `max_memory` bytes when given, otherwise the memory
// budget of the process (memory_budget.hpp), read only once more than 64 MiB
// is in use. A charge or an output that would pass it throws std::bad_alloc.
// The buffer is never grown past the allowance, nor, beyond 64 MiB and 64
// times the input, past output that is known to exist: such output is first
// counted without being stored (decoding from the start once more), so a
// small input that decodes to far more than memory holds fails without
// taking that memory.
class FrameReader final : public StoredSource {
 public:
  FrameReader(std::string_view input, std::optional<uint64_t> max_memory);
  ~FrameReader();
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  std::string_view more(uint64_t want) override;
  void charge(uint64_t bytes) override;
  void check_room(uint64_t bytes) override;
  bool all_arrived() const override { return done_; }

  // Once the reading is over: the first decoding error, if any. Errors:
  // "incomplete frame" for an empty input or one that ends inside a frame;
  // otherwise the library's error name (bytes that do not begin a frame, also
  // after a complete one, or a damaged frame). Input not yet decoded is not
  // decoded now: from the start of the frame being decoded, it must still
  // be whole frames, which is told by their headers and block headers alone.
  std::optional<std::string> finish();
  // All the output decoded so far.
  ByteBuffer take() &&;

 private:
  uint64_t allowance(uint64_t total);
  void grow(uint64_t want);
  uint64_t count_output(uint64_t most);
  std::string_view input_;
  std::optional<uint64_t> limit_;
  std::optional<uint64_t> budget_;
  uint64_t budget_base_ = 0;
  ZSTD_DCtx_s* d_;
  size_t in_pos_ = 0;
  size_t frame_start_ = 0;
  ByteBuffer out_;
  uint64_t held_ = 0;
  uint64_t charged_ = 0;
  uint64_t verified_ = 0;
  bool done_ = false;
  std::optional<std::string> error_;
};

// The whole output of `input` (FrameReader asked for everything), or the
// decoding error. Output beyond `max_output` bytes (default: the memory
// budget) throws std::bad_alloc without being stored.
Result<ByteBuffer> decompress(std::string_view input, std::optional<uint64_t> max_output = std::nullopt);

}  // namespace qb::zstd
