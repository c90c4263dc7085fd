// Newick text in: read as a tree set and through the gene-tree/species-tree
// builders, run every operation, store and load again, and check that writing
// is stable (text written from text written once reads back to the same text).
#include <optional>

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

// The whole text as gene trees; as species text (handed over uncut) the whole
// text for the tree set and what follows its first ';' for the topology set.
// Gene names take the first ids, in the order of the gene trees alone.
void as_msc_builders(std::string_view text) {
  const size_t cut = text.find(';');
  for (const bool topology : {false, true}) {
    const std::string_view species = !topology ? text : cut == text.npos ? std::string_view() : text.substr(cut + 1);
    Result<MSCTreeView> built = topology ? msc_topology_set_from_strings(text, species)
                                         : msc_tree_set_from_strings(text, species);
    if (!built.ok() && built.error() == "No species tree found in input string") continue;
    if (!built.ok()) finding("unexpected builder error:", built.error());
    const MSCTreeView& m = *built;
    check(m.base.variant == (topology ? 1u : 0u) && m.base.view.topology_only == topology && m.species_tree.ntaxa > 0,
          "builder variant or species tree");
    auto genes = parse_newick_trees(text, topology);
    check(genes.ok() && m.base.view.taxon_set->last >= genes->taxon_set.last, "gene names lost");
    for (uint64_t i = 0; i < genes->taxon_set.last; ++i)
      check(m.base.view.taxon_set->names[i] == genes->taxon_set.names[i], "gene names do not take the first ids");
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
  check_rewrite(*view);
  guarded([&] { as_msc_builders(text); });
  const std::optional<std::string> twice = written(read(written(view)));
  if (twice) check(written(read(twice)) == twice, "text written twice does not write back the same:", *twice);
  return 0;
}
