// zstd streams and the compressed family state: one frame out; frames in
// until the input is used up; the error texts; output bounded by a budget.
#include <gtest/gtest.h>

#include <zstd.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "compression/family_state.hpp"
#include "compression/zstd_stream.hpp"
#include "porcelain/stored_views.hpp"
#include "tree/newick.hpp"

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

MSCTreeViewPtr member(std::string_view genes, std::string_view species) {
  ParseState s = new_parse_state(true);
  auto parsed = parse_newick_trees(genes, true);
  EXPECT_TRUE(parsed.ok());
  s.taxon_set = std::move(parsed->taxon_set);
  s.gene_trees = std::move(parsed->trees);
  s.species_tree = parse_newick_tree(s.taxon_set, species);
  MSCTreeView m = MSCTreeView::make(std::move(s));
  m.base.variant = 1;
  return std::make_shared<const MSCTreeView>(std::move(m));
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

TEST(Zstd, DecompressErrors) {
  const std::string a = frame_of("first"), b = frame_of("second");
  const std::string garbage = "not a zstd frame at all";
  struct Case {
    std::string input, want;
  } cases[] = {
      {"", "error:incomplete frame"},
      {a + b, "ok:firstsecond"},
      {a + std::string(a), "ok:firstfirst"},
      {garbage, "error:Unknown frame descriptor"},
      {a + garbage, "error:Unknown frame descriptor"},
      {a + b.substr(0, b.size() - 1), "error:incomplete frame"},
      {std::string("\x50\x2a\x4d\x18\x02\x00\x00\x00xy", 10) + a, "ok:first"},  // a skippable frame
  };
  for (const Case& c : cases) EXPECT_EQ(decoded(c.input), c.want) << c.want;
  for (size_t cut = 0; cut < a.size(); ++cut) EXPECT_EQ(decoded(a.substr(0, cut)), "error:incomplete frame") << cut;
  std::string damaged = rle_frame(10, 'x');
  damaged[6] |= 6;  // block type 3 is reserved
  EXPECT_EQ(decoded(damaged), "error:Data corruption detected");
}

TEST(Zstd, OutputBeyondTheLimitThrowsWithoutBeingStored) {
  EXPECT_EQ(decoded(rle_frame(1000, 'x'), 1000), "ok:" + std::string(1000, 'x'));
  EXPECT_THROW(zstd::decompress(rle_frame(1001, 'x'), 1000), std::bad_alloc);
  // 8 GiB from 256 KiB of input, then a second frame: counted, it stops at the limit.
  EXPECT_THROW(zstd::decompress(rle_frame(uint64_t{1} << 33, 'x') + rle_frame(1, 'y'), uint64_t{1} << 26),
               std::bad_alloc);
  EXPECT_THROW(zstd::decompress(rle_frame(uint64_t{1} << 30, 'x'), uint64_t{1} << 26), std::bad_alloc);
  EXPECT_GT(zstd::memory_budget(), uint64_t{1} << 20);
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

TEST(FamilyState, RoundTripAndErrorPrefixes) {
  const std::vector<MSCTreeViewPtr> members{member("(A,(B,C));((A,B),C);", "((A,B),C);"),
                                            member("(X,Y);", "(Y,(X,Z));")};
  auto state = write_family_state(members);
  ASSERT_TRUE(state.ok()) << state.error();
  EXPECT_EQ(decoded(state->view()), "ok:" + serialize_family_of_msc(members));
  auto back = read_family_state(state->view());
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(serialize_family_of_msc(*back), serialize_family_of_msc(members));

  auto empty = write_family_state({});
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(decoded(empty->view()), "ok:" + std::string(8, '\0'));

  const std::string stored = serialize_family_of_msc(members);
  struct Case {
    std::string state, error;
  } cases[] = {
      {"", "Decompression error: incomplete frame"},
      {stored, "Decompression error: Unknown frame descriptor"},
      {frame_of(""), "Deserialization error: io error: unexpected end of file"},
      {frame_of(stored.substr(0, stored.size() - 1)), "Deserialization error: io error: unexpected end of file"},
  };
  for (const Case& c : cases) {
    auto r = read_family_state(c.state);
    ASSERT_FALSE(r.ok()) << c.error;
    EXPECT_EQ(r.error(), c.error);
  }
  EXPECT_THROW(read_family_state(rle_frame(4096, '\xff'), 4095), std::bad_alloc);
}

}  // namespace
}  // namespace qb
