#pragma once
// Restriction of trees to a subset of their taxa, renumbered into a new id
// space (Tree::restrict in restrict.cpp). Works on ids only: the callers
// resolve names and build the new taxon set.
#include <cstdint>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tree.hpp"

namespace qb {

// The kept ids of a restriction (old taxon ids) with their id map (old id ->
// new id). Lookups are by a leaf's 32-bit taxon widened with its sign, so an
// unlabelled leaf (-1) matches only an id no consistent taxon set hands out.
class KeptIds {
 public:
  KeptIds() = default;
  // `kept`: the kept ids, repeats collapsed. `id_map`: (old, new) pairs; a
  // later pair for the same old id replaces an earlier one; a pair whose old
  // id is not kept is never read. A kept id without a pair keeps its leaves
  // but gives them taxon -1.
  KeptIds(std::span<const uint64_t> kept, std::span<const std::pair<uint64_t, uint64_t>> id_map);

  // Number of distinct kept ids.
  uint64_t size() const noexcept { return count_; }
  bool empty() const noexcept { return count_ == 0; }

  bool contains(int32_t taxon) const {
    const uint64_t key = widen(taxon);
    if (key < bound_) return (bits_[key >> 6] >> (key & 63)) & 1;
    return !sparse_.empty() && sparse_.count(key) != 0;
  }

  // Whether `taxon` is kept; if so `out` is the taxon its leaf gets in the
  // result: the low 32 bits of its new id, or -1 without one.
  bool find(int32_t taxon, int32_t& out) const {
    const uint64_t key = widen(taxon);
    if (key < bound_) {
      const uint64_t word = bits_[key >> 6], bit = uint64_t{1} << (key & 63);
      if (!(word & bit)) return false;
      out = values_[rank_[key >> 6] + static_cast<uint32_t>(__builtin_popcountll(word & (bit - 1)))];
      return true;
    }
    if (sparse_.empty()) return false;
    auto it = sparse_.find(key);
    if (it == sparse_.end()) return false;
    out = it->second;
    return true;
  }

 private:
  static uint64_t widen(int32_t taxon) { return static_cast<uint64_t>(static_cast<int64_t>(taxon)); }

  // Ids below bound_ (those a taxon set hands out: small and dense) are bits
  // of a bitmap, their results in id order in values_, found by the rank of
  // their bit; the rest (only from stored sets, or a few ids far apart) are
  // hashed.
  uint64_t bound_ = 0;
  std::vector<uint64_t> bits_;
  std::vector<uint32_t> rank_;  // kept ids in the words before each word
  std::vector<int32_t> values_;
  std::unordered_map<uint64_t, int32_t> sparse_;
  uint64_t count_ = 0;
};

namespace detail {
// Tree::restrict by the passes over every node alone, which Tree::restrict
// bypasses for plain trees with few kept ids; tests compare the two.
Tree restrict_by_full_passes(const Tree& tree, const KeptIds& kept);
// Tree::restrict by the path that walks up from the kept leaves alone, taken
// whatever the number of kept ids; the full passes when the tree is not plain.
Tree restrict_sparse_first(const Tree& tree, const KeptIds& kept);
}  // namespace detail

// Tree::restrict of every tree, in order, into a result allocated once.
std::vector<Tree> restrict_all(std::span<const Tree> trees, const KeptIds& kept);

}  // namespace qb
