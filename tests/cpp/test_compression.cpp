// zstd streams: one level-3 frame out; decoded output bounded by a budget.
// (Error texts, other writers' frames and cut states: tests/test_family.py.)
#include <gtest/gtest.h>

#include <zstd.h>

#include <new>
#include <string>

#include "compression/memory_budget.hpp"
#include "compression/zstd_stream.hpp"

namespace qb {
namespace {

// A frame of n copies of `byte` in RLE blocks of 128 KiB: 4 bytes of input
// per block, so a few bytes stand for any size.
std::string rle_frame(uint64_t n, char byte) {
  std::string f("\x28\xb5\x2f\xfd\x00\x38", 6);  // magic, no size, 128 KiB window
  constexpr uint64_t kBlock = uint64_t{1} << 17;
  do {
    const uint64_t size = n < kBlock ? n : kBlock;
    n -= size;
    const uint32_t header = (n == 0 ? 1u : 0u) | (1u << 1) | static_cast<uint32_t>(size << 3);
    f += static_cast<char>(header & 0xff);
    f += static_cast<char>((header >> 8) & 0xff);
    f += static_cast<char>((header >> 16) & 0xff);
    f += byte;
  } while (n > 0);
  return f;
}

std::string frame_of(std::string_view bytes) {
  auto f = zstd::compress(bytes);
  EXPECT_TRUE(f.ok());
  return std::string(f->view());
}

std::string decoded(std::string_view input, std::optional<uint64_t> max_output = std::nullopt) {
  auto r = zstd::decompress(input, max_output);
  return r.ok() ? "ok:" + std::string(r->view()) : "error:" + r.error();
}

TEST(Zstd, CompressWritesOneFrameAtLevelThree) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "((A:1,B:2),(C,D));" + std::to_string(i % 7);
  for (const std::string& input : {std::string(), text}) {
    const std::string f = frame_of(input);
    EXPECT_EQ(ZSTD_findFrameCompressedSize(f.data(), f.size()), f.size());
    EXPECT_EQ(decoded(f), "ok:" + input);
    // The same bytes as the library's one-shot level-3 compression.
    std::string one(ZSTD_compressBound(input.size()), '\0');
    one.resize(ZSTD_compress(one.data(), one.size(), input.data(), input.size(), zstd::kLevel));
    EXPECT_EQ(f, one);
  }
}

TEST(Zstd, OutputBeyondTheLimitThrowsWithoutBeingStored) {
  EXPECT_EQ(decoded(rle_frame(1000, 'x'), 1000), "ok:" + std::string(1000, 'x'));
  EXPECT_THROW(zstd::decompress(rle_frame(1001, 'x'), 1000), std::bad_alloc);
  // 8 GiB from 256 KiB of input, then a second frame: counted, it stops at the limit.
  EXPECT_THROW(zstd::decompress(rle_frame(uint64_t{1} << 33, 'x') + rle_frame(1, 'y'), uint64_t{1} << 26),
               std::bad_alloc);
  EXPECT_THROW(zstd::decompress(rle_frame(uint64_t{1} << 30, 'x'), uint64_t{1} << 26), std::bad_alloc);
  EXPECT_GT(memory_budget(), uint64_t{1} << 20);
}

TEST(Zstd, LargeOutputsAreCountedThenDecodedOnceMore) {
  // Past the free growth (64 MiB) and far more than the input: counted, then
  // decoded again into a buffer of the exact size. Two frames, so the count
  // goes on across a frame boundary.
  const uint64_t n = uint64_t{100} << 20;
  auto r = zstd::decompress(rle_frame(n, 'x') + frame_of("tail"), uint64_t{300} << 20);
  ASSERT_TRUE(r.ok()) << r.error();
  ASSERT_EQ(r->size(), n + 4);
  EXPECT_EQ(r->view().find_first_not_of('x'), n);
  EXPECT_EQ(r->view().substr(n), "tail");
}

}  // namespace
}  // namespace qb
