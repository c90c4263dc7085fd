#include "compression/zstd_stream.hpp"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <memory>
#include <new>

#include "compression/memory_budget.hpp"
#include "tree/saturating.hpp"

namespace qb::zstd {
namespace {

struct FreeCCtx {
  void operator()(ZSTD_CCtx* c) const noexcept { ZSTD_freeCCtx(c); }
};
struct FreeDCtx {
  void operator()(ZSTD_DCtx* d) const noexcept { ZSTD_freeDCtx(d); }
};

// The output buffer of a reader starts from the first frame's announced size
// (or a multiple of the input) and doubles; up to kFreeGrowth it grows
// without asking the system, beyond that only within the allowance, and past
// kRatio times the input (stored forms shrink far less than that) only over
// output counted first, kScratch bytes at a time.
constexpr uint64_t kFirstOutput = uint64_t{64} << 10;
constexpr uint64_t kFreeGrowth = uint64_t{64} << 20;
constexpr uint64_t kRatio = 64;
constexpr size_t kScratch = size_t{1} << 20;

std::string error_name(size_t code) { return ZSTD_getErrorName(code); }

// Whether a call of the decoder ends the input: it used the input up, and a
// frame just ended or room was left over (so it holds nothing back).
bool input_ended(const ZSTD_inBuffer& in, const ZSTD_outBuffer& out, size_t hint) {
  return in.pos == in.size && (hint == 0 || out.pos < out.size);
}

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

FrameReader::FrameReader(std::string_view input, std::optional<uint64_t> max_memory)
    : input_(input), limit_(max_memory), d_(ZSTD_createDCtx()) {
  if (!d_) throw std::bad_alloc();
}

FrameReader::~FrameReader() { ZSTD_freeDCtx(d_); }

// The bytes that buffer and charges together may take, asked of the system
// only when `total` passes the free growth.
uint64_t FrameReader::allowance(uint64_t total) {
  if (limit_) return *limit_;
  if (!budget_) {
    if (total <= kFreeGrowth) return kFreeGrowth;
    // What is in use now is already missing from what the system reports.
    budget_ = memory_budget();
    budget_base_ = out_.size() + charged_;
  }
  return saturating_add(*budget_, budget_base_);
}

void FrameReader::charge(uint64_t bytes) {
  check_room(bytes);
  charged_ += bytes;
}

void FrameReader::check_room(uint64_t bytes) {
  const uint64_t total = saturating_add(saturating_add(out_.size(), charged_), bytes);
  if (total > allowance(total)) throw std::bad_alloc();
}

uint64_t FrameReader::count_output(uint64_t most) {
  std::unique_ptr<ZSTD_DCtx, FreeDCtx> d(ZSTD_createDCtx());
  if (!d) throw std::bad_alloc();
  ByteBuffer scratch(kScratch);
  ZSTD_inBuffer in{input_.data(), input_.size(), 0};
  uint64_t total = 0;
  while (total < most) {
    ZSTD_outBuffer o{scratch.data(), scratch.size(), 0};
    const size_t hint = ZSTD_decompressStream(d.get(), &o, &in);
    if (ZSTD_isError(hint)) break;  // the reader meets it again where it is
    total += o.pos;
    if (input_ended(in, o, hint)) break;
  }
  return total;
}

// Room for more output than the `held_` bytes that fill the buffer: twice the
// buffer, or at once what the reader wants, within the allowance and over
// output known to exist.
void FrameReader::grow(uint64_t want) {
  uint64_t target = std::max<uint64_t>(out_.size() * 2, kFirstOutput);
  if (out_.size() == 0) {
    target = std::clamp<uint64_t>(input_.size() * 8, kFirstOutput, kFreeGrowth);
    const unsigned long long announced = ZSTD_getFrameContentSize(input_.data(), input_.size());
    if (announced < ZSTD_CONTENTSIZE_ERROR && (announced < kFreeGrowth || announced / kRatio <= input_.size()))
      target = announced + 1;
  }
  // One byte over the allowance tells an output of exactly that size from a
  // larger one.
  const uint64_t allowed = allowance(saturating_add(std::max(target, want), charged_));
  const uint64_t most = saturating_add(saturating_sub(allowed, charged_), 1);
  if (want > target && want < most) target = want;
  if (target > most) {
    target = most;
    if (want > most) {
      // More than may be held is wanted: too much, unless the output ends
      // before the allowance does.
      verified_ = count_output(most);
      if (verified_ >= most) throw std::bad_alloc();
      target = verified_ + 1;
    }
  }
  // `verified_` bytes of output are known to exist (and when a count ended
  // short of its aim, no more).
  if (target > verified_ + 1 && target > kFreeGrowth && target / kRatio > input_.size()) {
    verified_ = count_output(target);
    if (verified_ < target) target = verified_ + 1;
  }
  out_.resize(target);
}

std::string_view FrameReader::more(uint64_t want) {
  while (held_ < want && !done_) {
    if (held_ == out_.size()) grow(want);
    ZSTD_inBuffer in{input_.data(), input_.size(), in_pos_};
    ZSTD_outBuffer o{out_.data(), out_.size(), held_};
    const size_t hint = ZSTD_decompressStream(d_, &o, &in);
    in_pos_ = in.pos;
    held_ = o.pos;
    if (ZSTD_isError(hint)) {
      error_ = error_name(hint);
      done_ = true;
    } else if (input_ended(in, o, hint)) {
      if (hint != 0) error_ = "incomplete frame";  // the last frame still wants bytes
      done_ = true;
    } else if (hint == 0) {
      frame_start_ = in_pos_;  // a frame ended exactly here
    }
  }
  return {out_.data(), static_cast<size_t>(held_)};
}

std::optional<std::string> FrameReader::finish() {
  if (done_) return error_;
  for (size_t at = frame_start_; at < input_.size();) {
    const size_t size = ZSTD_findFrameCompressedSize(input_.data() + at, input_.size() - at);
    if (ZSTD_isError(size))
      return ZSTD_getErrorCode(size) == ZSTD_error_srcSize_wrong ? std::string("incomplete frame") : error_name(size);
    at += size;
  }
  return std::nullopt;
}

ByteBuffer FrameReader::take() && {
  out_.resize(held_);
  return std::move(out_);
}

Result<ByteBuffer> decompress(std::string_view input, std::optional<uint64_t> max_output) {
  FrameReader reader(input, max_output);
  reader.more(UINT64_MAX);
  if (std::optional<std::string> error = reader.finish()) return Error{std::move(*error)};
  return std::move(reader).take();
}

}  // namespace qb::zstd
