// Newick text in: read as a tree set and as a gene-tree/species-tree set, run
// every operation, store and load again, and check that writing is stable
// (text written from text written once reads back to the same text).
#include "fuzz_common.hpp"
#include "porcelain/msc_builders.hpp"

#include <optional>
#include <vector>

using namespace qb;
using namespace qb::fuzz;

namespace {

// The Newick text of `text`'s trees, or nothing when reading or writing stops.
std::optional<std::string> rewrite(std::string_view text) {
  try {
    auto view = TreeViewBase::from_newick(text);
    if (!view.ok()) {
      if (view.error() != "No valid trees found in input string") finding("unexpected reader error:", view.error());
      return std::nullopt;
    }
    return view->to_newick_string();
  } catch (const Panic&) {
    return std::nullopt;
  }
}

// Edge counts between the leaves of a parsed tree, by walking up to the lowest
// common ancestor, for trees whose chains and child counts agree and whose
// reachable leaves carry distinct taxa below ntaxa; nothing otherwise.
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
      if (c < 0 || static_cast<uint64_t>(c) >= n || seen[c]) return std::nullopt;
      seen[c] = true;
      parent[c] = static_cast<int64_t>(v);
      depth[c] = depth[v] + 1;
      stack.push_back(static_cast<uint64_t>(c));
    }
    if (count != t.childcount[v]) return std::nullopt;
    if (count == 0) leaves.push_back(v);
  }
  if (leaves.size() > 100) return std::nullopt;
  std::vector<bool> used(t.ntaxa, false);
  for (uint64_t l : leaves) {
    const int32_t id = t.taxa[l];
    if (id < 0 || static_cast<uint64_t>(id) >= t.ntaxa || used[id]) return std::nullopt;
    used[id] = true;
  }
  std::vector<double> cells(t.ntaxa < 2 ? 0 : t.ntaxa * (t.ntaxa - 1) / 2, 0.0);
  for (size_t a = 0; a < leaves.size(); ++a)
    for (size_t b = a + 1; b < leaves.size(); ++b) {
      int64_t x = static_cast<int64_t>(leaves[a]), y = static_cast<int64_t>(leaves[b]);
      double d = 0;
      while (x != y) {
        if (depth[x] >= depth[y]) x = parent[x]; else y = parent[y];
        ++d;
      }
      uint64_t lo = static_cast<uint64_t>(t.taxa[leaves[a]]), hi = static_cast<uint64_t>(t.taxa[leaves[b]]);
      if (lo > hi) std::swap(lo, hi);
      cells[DistanceMatrix::cell_index(t.ntaxa, lo, hi)] = d;
    }
  return cells;
}

void check_matrices(const TreeViewBase& view) {
  for (uint64_t i = 0; i < view.size() && i < 4; ++i) {
    const Tree& t = (*view.trees)[i];
    if (t.ntaxa >= kMatrixTaxa) continue;
    auto want = naive_matrix(t);
    if (!want) continue;
    if (distance_matrix(t).distances != *want) finding("distance matrix differs from the naive walk");
  }
}

void as_gene_tree_set(std::string_view text) {
  ParseState state = new_parse_state(true);
  auto genes = parse_newick_trees(text, true);
  if (!genes.ok()) return;
  state.taxon_set = std::move(genes->taxon_set);
  state.gene_trees = std::move(genes->trees);
  state.species_tree = parse_newick_tree(state.taxon_set, text);
  const uint64_t ids = state.taxon_set.last;
  MSCTreeView m = MSCTreeView::make(std::move(state));
  check(m.base.variant == 0 && m.base.view.topology_only, "make");
  check(m.base.view.taxon_set->last == ids, "make changed the taxon set");
  exercise_msc(m, false);
  check_rewrite(m, [](const MSCTreeView& v) { return serialize_msc_tree_view(v); },
                [](std::string_view b) { return deserialize_msc_tree_view(b); });
  m.base.variant = 1;
  const std::vector<MSCTreeViewPtr> family{std::make_shared<const MSCTreeView>(m),
                                           std::make_shared<const MSCTreeView>(m.slice(0, m.base.view.size() / 2))};
  check_rewrite(family, [](const std::vector<MSCTreeViewPtr>& f) { return serialize_family_of_msc(f); },
                [](std::string_view b) { return deserialize_family_of_msc(b); });
}

// --- builders of the gene-tree/species-tree classes ----------------------------
// The whole text as gene trees, what follows its first ';' as the species
// text (handed over uncut): gene names take the first ids, in the order of
// the gene trees alone; the species tree holds a labelled leaf.
void as_msc_builders(std::string_view text) {
  const size_t cut = text.find(';');
  const std::string_view species = cut == std::string_view::npos ? std::string_view() : text.substr(cut + 1);
  for (bool topology : {false, true}) {
    Result<MSCTreeView> built = topology ? msc_topology_set_from_strings(text, species)
                                         : msc_tree_set_from_strings(text, species);
    if (!built.ok()) {
      if (built.error() != "No species tree found in input string") finding("unexpected builder error:", built.error());
      continue;
    }
    const MSCTreeView& m = *built;
    check(m.base.variant == (topology ? 1u : 0u) && m.base.view.topology_only == topology, "builder variant");
    check(m.species_tree.ntaxa > 0, "species tree without a labelled leaf");
    auto genes = parse_newick_trees(text, topology);
    check(genes.ok(), "gene text parsed once but not twice");
    const TaxonSet& ids = *m.base.view.taxon_set;
    check(ids.last >= genes->taxon_set.last, "gene names lost");
    for (uint64_t i = 0; i < genes->taxon_set.last; ++i)
      check(ids.names[i] == genes->taxon_set.names[i], "gene names do not take the first ids");
  }
}
// --- end of the builders of the gene-tree/species-tree classes -----------------

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An empty input is passed as the default view (no data pointer), as a C++
  // caller with an empty text would pass it.
  const std::string_view text = size ? std::string_view(reinterpret_cast<const char*>(data), size) : std::string_view();
  // Texts reach the reader from Python strings and checked files: always UTF-8.
  if (!utf8_error(text).empty()) return 0;

  Result<TreeViewBase> view = Error{""};
  try {
    view = TreeViewBase::from_newick(text);
  } catch (const Panic&) {
    return 0;  // a malformed length
  }
  if (!view.ok()) {
    if (view.error() != "No valid trees found in input string") finding("unexpected reader error:", view.error());
    return 0;
  }
  exercise_view(*view);
  check_matrices(*view);
  check_rewrite(*view, [](const TreeViewBase& v) { return serialize_tree_view_base(v); },
                [](std::string_view b) { return deserialize_tree_view_base(b); });
  guarded([&] { as_gene_tree_set(text); });
  guarded([&] { as_msc_builders(text); });

  std::optional<std::string> once = rewrite(text);
  if (!once) return 0;
  std::optional<std::string> twice = rewrite(*once);
  if (!twice) return 0;
  std::optional<std::string> thrice = rewrite(*twice);
  if (!thrice) finding("text written twice no longer reads and writes:", *twice);
  if (*twice != *thrice) finding("written text is not stable:", *twice);
  return 0;
}
