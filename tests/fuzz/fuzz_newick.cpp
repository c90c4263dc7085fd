// Newick text in: read as a tree set and as a gene-tree/species-tree set, run
// every operation, store and load again, and check that writing is stable
// (text written from text written once reads back to the same text).
#include "fuzz_common.hpp"

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
  exercise_msc(m);
  check_rewrite(m, [](const MSCTreeView& v) { return serialize_msc_tree_view(v); },
                [](std::string_view b) { return deserialize_msc_tree_view(b); });
  m.base.variant = 1;
  const std::vector<MSCTreeViewPtr> family{std::make_shared<const MSCTreeView>(m),
                                           std::make_shared<const MSCTreeView>(m.slice(0, m.base.view.size() / 2))};
  check_rewrite(family, [](const std::vector<MSCTreeViewPtr>& f) { return serialize_family_of_msc(f); },
                [](std::string_view b) { return deserialize_family_of_msc(b); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
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
  check_rewrite(*view, [](const TreeViewBase& v) { return serialize_tree_view_base(v); },
                [](std::string_view b) { return deserialize_tree_view_base(b); });
  guarded([&] { as_gene_tree_set(text); });

  std::optional<std::string> once = rewrite(text);
  if (!once) return 0;
  std::optional<std::string> twice = rewrite(*once);
  if (!twice) return 0;
  std::optional<std::string> thrice = rewrite(*twice);
  if (!thrice) finding("text written twice no longer reads and writes:", *twice);
  if (*twice != *thrice) finding("written text is not stable:", *twice);
  return 0;
}
