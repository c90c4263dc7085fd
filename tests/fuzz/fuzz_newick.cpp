// Newick text in: read as a tree set, as a gene-tree/species-tree set and
// through the builders of those, run every operation, store and load again,
// check the first matrices against a naive walk, and check that writing is
// stable (text written from text written once reads back to the same text).
#include <optional>
#include <vector>

#include "fuzz_common.hpp"
#include "porcelain/msc_builders.hpp"

using namespace qb;
using namespace qb::fuzz;

namespace {

// The tree set of `text`; nothing when it holds no tree or a length stops it.
std::optional<TreeViewBase> read(std::optional<std::string_view> text) {
  std::optional<TreeViewBase> view;
  if (text) guarded([&] {
      auto r = TreeViewBase::from_newick(*text);
      if (r.ok()) view.emplace(*std::move(r));
      else check(r.error() == "No valid trees found in input string", "unexpected reader error:", r.error());
    });
  return view;
}

std::optional<std::string> written(const std::optional<TreeViewBase>& view) {
  std::optional<std::string> text;
  if (view) guarded([&] { text = view->to_newick_string(); });
  return text;
}

// Edge counts between the leaves of a parsed tree, by walking up to the lowest
// common ancestor, for trees whose chains and child counts agree and whose
// reachable leaves (at most 100) carry distinct taxa below ntaxa; nothing otherwise.
std::optional<std::vector<double>> naive_matrix(const Tree& t) {
  const uint64_t n = t.node_count();
  std::vector<int64_t> parent(n, -1), depth(n, 0);
  std::vector<uint64_t> leaves, stack{0};
  std::vector<bool> seen(n, false);
  seen[0] = true;
  while (!stack.empty()) {
    const uint64_t v = stack.back();
    stack.pop_back();
    uint64_t count = 0;
    for (int64_t c = t.firstchild[v]; c != -1; c = t.nextsib[c], ++count) {
      if (c < 0 || uint64_t(c) >= n || seen[c]) return std::nullopt;
      seen[c] = true;
      parent[c] = int64_t(v);
      depth[c] = depth[v] + 1;
      stack.push_back(uint64_t(c));
    }
    if (count != t.childcount[v]) return std::nullopt;
    if (count == 0) leaves.push_back(v);
  }
  if (leaves.size() > 100) return std::nullopt;
  std::vector<bool> used(t.ntaxa, false);
  for (uint64_t l : leaves) {
    const int32_t id = t.taxa[l];
    if (id < 0 || uint64_t(id) >= t.ntaxa || used[id]) return std::nullopt;
    used[id] = true;
  }
  std::vector<double> cells(t.ntaxa < 2 ? 0 : t.ntaxa * (t.ntaxa - 1) / 2, 0.0);
  for (size_t a = 0; a < leaves.size(); ++a)
    for (size_t b = a + 1; b < leaves.size(); ++b) {
      int64_t x = int64_t(leaves[a]), y = int64_t(leaves[b]);
      double d = 0;
      for (; x != y; ++d) {
        int64_t& deeper = depth[x] >= depth[y] ? x : y;
        deeper = parent[deeper];
      }
      const uint64_t p = uint64_t(t.taxa[leaves[a]]), q = uint64_t(t.taxa[leaves[b]]);
      cells[DistanceMatrix::cell_index(t.ntaxa, std::min(p, q), std::max(p, q))] = d;
    }
  return cells;
}

// The first trees' matrices against the naive walk, where it applies.
void check_matrices(const TreeViewBase& view) {
  for (uint64_t i = 0; i < view.size() && i < 4; ++i) {
    const Tree& t = (*view.trees)[i];
    if (t.ntaxa >= 2000) continue;  // the walk takes at most 100 leaves, in trees of any size
    if (const auto want = naive_matrix(t))
      check(distance_matrix(t).distances == *want, "distance matrix differs from the naive walk");
  }
}

// The gene-tree set made from a parse state as the builders make it, over the
// topology-only gene trees of the whole text and the whole text as species
// text: variant 0 with the flag set, the taxon set as parsed; then as variant 1
// in a family with a slice of itself.
void as_gene_tree_set(std::string_view text) {
  std::optional<ParseState> state = gene_tree_state(text, true);
  if (!state) return;
  const uint64_t ids = state->taxon_set.last;
  MSCTreeView m = MSCTreeView::make(*std::move(state));
  check(m.base.variant == 0 && m.base.view.topology_only && m.base.view.taxon_set->last == ids, "make");
  exercise_msc(m, false);
  check_rewrite(m);
  m.base.variant = 1;
  check_rewrite(std::vector{std::make_shared<const MSCTreeView>(m),
                            std::make_shared<const MSCTreeView>(m.slice(0, m.base.view.size() / 2))});
}

// The whole text as gene trees, and as species text (handed over uncut) both
// the whole text and what follows its first ';'. Gene names take the first ids,
// in the order of the gene trees alone. The tree set over the whole text and
// the topology set over the rest are run and stored.
void as_msc_builders(std::string_view text) {
  const size_t cut = text.find(';');
  const std::string_view rest = cut == text.npos ? std::string_view() : text.substr(cut + 1);
  for (const bool topology : {false, true})
    for (const bool whole : {true, false}) {
      Result<MSCTreeView> built = topology ? msc_topology_set_from_strings(text, whole ? text : rest)
                                           : msc_tree_set_from_strings(text, whole ? text : rest);
      if (!built.ok() && built.error() == "No species tree found in input string") continue;
      if (!built.ok()) finding("unexpected builder error:", built.error());
      const MSCTreeView& m = *built;
      check(m.base.variant == (topology ? 1u : 0u) && m.base.view.topology_only == topology &&
                m.species_tree.ntaxa > 0, "builder variant or species tree");
      auto genes = parse_newick_trees(text, topology);
      check(genes.ok() && m.base.view.taxon_set->last >= genes->taxon_set.last, "gene names lost");
      for (uint64_t i = 0; i < genes->taxon_set.last; ++i)
        check(m.base.view.taxon_set->names[i] == genes->taxon_set.names[i], "gene names do not take the first ids");
      if (whole == topology) continue;
      exercise_msc(m, false);
      check_rewrite(m);
      check_rewrite(std::vector{std::make_shared<const MSCTreeView>(m),
                                std::make_shared<const MSCTreeView>(m.slice(0, m.base.view.size() / 2))});
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An empty input comes as a view without data, as a C++ caller's empty text would.
  const std::string_view text = size ? std::string_view(reinterpret_cast<const char*>(data), size) : std::string_view();
  // Texts reach the reader from Python strings and checked files: always UTF-8.
  if (!utf8_error(text).empty()) return 0;
  const std::optional<TreeViewBase> view = read(text);
  if (!view) return 0;
  exercise_view(*view);
  check_matrices(*view);
  check_rewrite(*view);
  guarded([&] { as_gene_tree_set(text); });
  guarded([&] { as_msc_builders(text); });
  const std::optional<std::string> twice = written(read(written(view)));
  if (twice) check(written(read(twice)) == twice, "text written twice does not write back the same:", *twice);
  return 0;
}
