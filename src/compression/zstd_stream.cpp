#include "compression/zstd_stream.hpp"

#include <zstd.h>

#include <algorithm>
#include <memory>
#include <new>

#include "compression/memory_budget.hpp"

namespace qb::zstd {
namespace {

struct FreeCCtx {
  void operator()(ZSTD_CCtx* c) const noexcept { ZSTD_freeCCtx(c); }
};
struct FreeDCtx {
  void operator()(ZSTD_DCtx* d) const noexcept { ZSTD_freeDCtx(d); }
};

// The output buffer starts from the first frame's announced size (or a
// multiple of the input) and doubles; up to kFreeGrowth it grows without
// asking the system, beyond that only while it stays within kRatio times the
// input (stored forms shrink far less than that) and a quarter of the memory
// budget. Past that point the rest is counted in kScratch bytes at a time,
// and the whole input is decoded a second time into one buffer of the exact
// size: an input that expands without bound costs time, not memory.
constexpr uint64_t kFirstOutput = uint64_t{64} << 10;
constexpr uint64_t kFreeGrowth = uint64_t{64} << 20;
constexpr uint64_t kRatio = 64;
constexpr size_t kScratch = size_t{1} << 20;

std::string error_name(size_t code) { return ZSTD_getErrorName(code); }

// Room for an output of n bytes with a byte left over (see decode).
uint64_t room_for(uint64_t n) { return n == UINT64_MAX ? n : n + 1; }

// Decodes the rest of `in` through `d`; `room(out)` is called whenever `out`
// is full and must leave room in it. An empty result is success.
template <class Room>
std::optional<std::string> decode(ZSTD_DCtx* d, ZSTD_inBuffer& in, ZSTD_outBuffer& out, Room&& room) {
  size_t hint = 0;
  for (;;) {
    if (out.pos == out.size) room(out);
    hint = ZSTD_decompressStream(d, &out, &in);
    if (ZSTD_isError(hint)) return error_name(hint);
    // Input used up, and a frame just ended or room left over: the decoder
    // holds nothing back.
    if (in.pos == in.size && (hint == 0 || out.pos < out.size)) break;
  }
  // A nonzero hint means the last frame still wants bytes (also for no input).
  if (hint != 0) return std::string("incomplete frame");
  return std::nullopt;
}

struct Counting {};  // thrown by the growth step to switch to counting

}  // namespace

Result<ByteBuffer> compress(std::string_view input) {
  std::unique_ptr<ZSTD_CCtx, FreeCCtx> c(ZSTD_createCCtx());
  if (!c) throw std::bad_alloc();
  const size_t set = ZSTD_CCtx_setParameter(c.get(), ZSTD_c_compressionLevel, kLevel);
  if (ZSTD_isError(set)) return Error{error_name(set)};
  // With room for the bound the library writes the frame in one pass.
  ByteBuffer out(ZSTD_compressBound(input.size()));
  ZSTD_inBuffer in{input.data(), input.size(), 0};
  ZSTD_outBuffer o{out.data(), out.size(), 0};
  for (;;) {
    const size_t left = ZSTD_compressStream2(c.get(), &o, &in, ZSTD_e_end);
    if (ZSTD_isError(left)) return Error{error_name(left)};
    if (left == 0) break;
    out.resize(out.size() + left);  // the bound should leave no need
    o.dst = out.data();
    o.size = out.size();
  }
  out.resize(o.pos);
  return out;
}

Result<ByteBuffer> decompress(std::string_view input, std::optional<uint64_t> max_output) {
  std::unique_ptr<ZSTD_DCtx, FreeDCtx> d(ZSTD_createDCtx());
  if (!d) throw std::bad_alloc();
  std::optional<uint64_t> budget = max_output;  // asked for only when needed
  auto limit = [&] {
    if (!budget) budget = memory_budget();
    return *budget;
  };
  auto over_limit = [&](uint64_t total) {
    if (total > limit()) throw std::bad_alloc();
  };
  // Whether the output buffer may grow to `size` bytes without counting first.
  auto may_grow_to = [&](uint64_t size) {
    if (size <= kFreeGrowth && !max_output) return true;
    return size <= room_for(limit()) &&
           (size <= kFreeGrowth || (size / kRatio <= input.size() && size <= limit() / 4));
  };
  // The first frame's announced size, when it may be trusted that far, gives
  // a buffer that the decoder fills in one pass without copying.
  uint64_t first = std::clamp<uint64_t>(input.size() * 8, kFirstOutput, kFreeGrowth);
  const unsigned long long announced = ZSTD_getFrameContentSize(input.data(), input.size());
  if (announced < ZSTD_CONTENTSIZE_ERROR && may_grow_to(room_for(announced))) first = room_for(announced);
  if (max_output) first = std::min(first, room_for(*max_output));

  ByteBuffer out(first);
  ZSTD_inBuffer in{input.data(), input.size(), 0};
  ZSTD_outBuffer o{out.data(), out.size(), 0};
  try {
    auto grow = [&](ZSTD_outBuffer& b) {
      const uint64_t next = std::min(b.size * 2, max_output ? room_for(*max_output) : UINT64_MAX);
      if (next <= b.size || !may_grow_to(next)) throw Counting{};
      out.resize(next);
      b.dst = out.data();
      b.size = out.size();
    };
    if (auto e = decode(d.get(), in, o, grow)) return Error{std::move(*e)};
    if (budget) over_limit(o.pos);
    out.resize(o.pos);
    return out;
  } catch (const Counting&) {
  }

  // Too large to grow into: count the rest without storing it, then decode
  // everything again into one buffer of the exact size.
  uint64_t total = o.pos;
  out = ByteBuffer();
  ByteBuffer scratch(kScratch);
  ZSTD_outBuffer s{scratch.data(), scratch.size(), 0};
  auto count = [&](ZSTD_outBuffer& b) {
    total += b.pos;
    over_limit(total);
    b.pos = 0;
  };
  if (auto e = decode(d.get(), in, s, count)) return Error{std::move(*e)};
  total += s.pos;
  over_limit(total);
  scratch = ByteBuffer();

  out.resize(room_for(total));
  ZSTD_DCtx_reset(d.get(), ZSTD_reset_session_only);
  ZSTD_inBuffer again{input.data(), input.size(), 0};
  ZSTD_outBuffer whole{out.data(), out.size(), 0};
  auto full = [](ZSTD_outBuffer&) { panic("zstd: the second pass decoded more than the first"); };
  if (decode(d.get(), again, whole, full) || whole.pos != total)
    panic("zstd: the second pass disagreed with the first");
  out.resize(total);
  return out;
}

}  // namespace qb::zstd
