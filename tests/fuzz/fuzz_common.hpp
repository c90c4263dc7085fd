#pragma once
// Shared harness of the fuzz targets. A target reads its input, runs every
// operation on what it read and checks round trips. A qb::Panic with a text is
// an expected outcome on a value that breaks the tree invariants; anything else
// that escapes (another exception, a failed check, a sanitizer report, a crash,
// a hang) is a finding. The harness's own walks are bounded by the node count.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "porcelain/stored_views.hpp"
#include "tree/restrict.hpp"

namespace qb::fuzz {

[[noreturn]] inline void finding(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "FUZZ FINDING: %s %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}
inline void check(bool ok, const char* what, std::string_view detail = {}) { if (!ok) finding(what, detail); }
inline bool starts(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Runs one operation; a Panic ends it quietly. The Panic's text, empty when none.
template <class Op>
std::string guarded(Op&& op) try {
  return op(), std::string();
} catch (const Panic& p) {
  return check(!p.message().empty(), "panic without a text"), p.message();
}

// Two values are the same when their stored bytes are: every field, floats by their bits.
template <class R> bool same(const R& a, const R& b) { return write_record(a) == write_record(b); }

// A reader's error must be one of the texts of the stored form.
inline void check_reader_error(const std::string& e) {
  check(e == "io error: unexpected end of file" || e == "io error: " || starts(e, "string is not valid utf8: ") ||
            starts(e, "invalid u8 while decoding bool, expected 0 or 1, found ") ||
            starts(e, "invalid value: integer `"),
        "unexpected reader error:", e);
}

// Writes `value` and reads the bytes back: writing what was read gives the same
// bytes, and a strict prefix never reads as a whole state.
template <class V> constexpr auto write_of = [](const V& v) { return write_record(v); };
template <class V> constexpr auto read_of = [](std::string_view b) { return read_record<V>(b); };
template <class V, class Write = decltype(write_of<V>), class Read = decltype(read_of<V>)>
void check_rewrite(const V& value, Write write = {}, Read read = {}) {
  const std::string once = write(value);
  auto back = read(once);
  if (!back.ok()) finding("written state does not read back:", back.error());
  check(write(*back) == once, "state read back differs from the value written");
  check(once.empty() || !read(std::string_view(once).substr(0, once.size() - 1)).ok(), "a state cut short still reads");
}

// Reads `bytes`: a failure must give one of `check_error`'s texts; a value read
// runs `exercise` and is written again.
template <class V, class Write = decltype(write_of<V>), class Read = decltype(read_of<V>)>
void stored(std::string_view bytes, auto exercise, auto check_error, Write write = {}, Read read = {}) {
  auto value = read(bytes);
  if (!value.ok()) return check_error(value.error());
  exercise(*value);
  check_rewrite(*value, write, read);
}

// Distance matrices are quadratic in the leaves; larger trees are skipped.
inline bool matrix_fits(const Tree& t) { return t.ntaxa < 2000 && t.node_count() <= 4096; }
// A tree's matrix is as large as its ntaxa, with one cell a pair.
inline bool matrix_shape(const DistanceMatrix& m, const Tree& t) {
  return m.size == t.ntaxa && m.distances.size() == (t.ntaxa < 2 ? 0 : t.ntaxa * (t.ntaxa - 1) / 2);
}

// Links agree (chains, parents, counts), every node is reachable and parents
// come before children: the shape the parser and the builder give.
inline bool parsed_shape(const Tree& t) {
  const uint64_t n = t.node_count();
  if (n == 0 || t.parents.size() != n || t.firstchild.size() != n || t.nextsib.size() != n ||
      t.childcount.size() != n || t.parents[0] != 0)
    return false;
  uint64_t reached = 1;
  for (uint64_t v = 0; v < n; ++v) {
    uint64_t count = 0;
    for (int64_t c = t.firstchild[v]; c != -1; c = t.nextsib[c], ++count, ++reached)
      if (c <= int64_t(v) || uint64_t(c) >= n || t.parents[c] != int32_t(v) || count > n) return false;
    if (count != t.childcount[v]) return false;
  }
  return reached == n;
}

// The parse state the gene-tree/species-tree builders make of one text: its
// trees as gene trees (the first `most`), then the text uncut as species text
// over their taxon set; nothing when the text holds no tree.
inline std::optional<ParseState> gene_tree_state(std::string_view text, bool topology, size_t most = SIZE_MAX) {
  auto genes = parse_newick_trees(text, topology);
  if (!genes.ok()) return std::nullopt;
  ParseState state = new_parse_state(topology);
  state.taxon_set = std::move(genes->taxon_set);
  state.gene_trees = std::move(genes->trees);
  state.gene_trees.resize(std::min(state.gene_trees.size(), most));
  state.species_tree = parse_newick_tree(state.taxon_set, text);
  return state;
}

inline std::vector<std::string_view> first_names(const TaxonSet& taxa, size_t most) {
  std::vector<std::string_view> names(taxa.names.begin(), taxa.names.end());
  return names.resize(std::min(most, names.size())), names;
}
// Every name to itself + `suffix`. A mapping views its texts: the new names
// live in `held`, whose strings stay in place when the vector is moved.
struct Renaming {
  std::vector<std::string> held;
  NameMapping mapping;
};
inline Renaming renaming(const TaxonSet& taxa, std::string_view suffix) {
  Renaming r;
  r.held.reserve(taxa.names.size());
  for (std::string_view name : taxa.names)
    r.mapping.emplace(HashedName(name), HashedName(r.held.emplace_back(std::string(name) + std::string(suffix))));
  return r;
}

// Restriction to all names and to every other one (the first 64): the walk up
// from the kept leaves and the full passes give the same tree or stop with the
// same text; the result is a builder's topology over the new set; restricting a
// parsed-shape tree's restriction again changes nothing but ntaxa. Then renaming.
inline void exercise_restriction(const Tree& tree, const TaxonSet& taxa) {
  std::vector<std::string_view> all = first_names(taxa, 64), every_other;
  for (size_t i = 0; i < all.size(); i += 2) every_other.push_back(all[i]);
  for (const auto* list : {&all, &every_other}) guarded([&] {
      auto plan = restriction_plan(taxa, *list);  // fails only for a stored set whose names and to_id disagree
      if (!plan.ok()) return check(starts(plan.error(), "Taxon '"), "unexpected restriction error:", plan.error());
      Tree sparse, full;
      const std::string text = guarded([&] { sparse = detail::restrict_sparse_first(tree, plan->kept); });
      check(text == guarded([&] { full = detail::restrict_by_full_passes(tree, plan->kept); }) && same(sparse, full),
            "restriction paths disagree:", text);
      const Tree r = tree.restrict(plan->kept);
      check(parsed_shape(r) && !r.fake_root, "restriction result is not a tree");
      for (uint64_t v = 0; v < r.node_count(); ++v)
        check((v == 0 || r.childcount[v] != 1) && r.support[v] == 0.0 && r.lengths[v] == 0.0 &&
                  (r.taxa[v] == -1 || static_cast<uint64_t>(r.taxa[v]) < plan->taxon_set.last),
              "restriction result is not a builder's topology");
      if (!parsed_shape(tree) || !plan->taxon_set.to_id.plain()) return;
      auto again = restriction_plan(plan->taxon_set, first_names(plan->taxon_set, SIZE_MAX));
      check(again.ok(), "restricted taxon set lost a name");
      Tree twice = r.restrict(again->kept);
      twice.ntaxa = r.ntaxa;
      check(same(twice, r), "restriction is not idempotent");
    });
  guarded([&] {
    auto renamed = remap_taxon_set(taxa, renaming(taxa, "'").mapping);
    if (renamed.ok()) return check(renamed->names.size() <= taxa.names.size(), "remap grew the taxon set");
    const std::string& e = renamed.error();
    check(e == "Mapping must contain exactly one entry for each taxon" ||
              starts(e, "No mapping provided for taxon '") ||
              e == "Mapping is not one-to-one (multiple taxa mapped to same name)", "unexpected remap error:", e);
  });
}

// Sorting by each kind of criterion, both ways and all together, either stops
// with a Panic or changes nothing but the sibling links.
inline void exercise_sort(const Tree& tree, const TaxonSet& taxa) {
  using K = SortCriterionKind;
  constexpr auto up = SortOrder::Ascending, down = SortOrder::Descending;
  const SortCriterion criteria[] = {
      make_criterion(K::LexicographicalOrder, up), make_criterion(K::LexicographicalOrder, down),
      make_criterion(K::ChildCount, up),           make_criterion(K::DescendantCount, down),
      make_criterion(K::DescendantCount, up),      make_criterion(K::ChildCount, down),
      make_criterion(K::LexicographicalOrder, down)};
  for (size_t i = 0; i < 5; ++i) {  // the first four alone, then the last three together
    Tree sorted = tree;
    if (!guarded([&] { sorted.sort_by_criteria(taxa.names, std::span(criteria + i, i < 4 ? 1 : 3)); }).empty())
      continue;
    // Past a sort that succeeded nothing may fail: a Panic below escapes as a finding.
    Tree relinked = sorted;
    relinked.firstchild = tree.firstchild;
    relinked.nextsib = tree.nextsib;
    check(same(relinked, tree) && sorted.firstchild.size() == tree.firstchild.size() &&
              sorted.nextsib.size() == tree.nextsib.size() && sorted.preorder().size() == tree.preorder().size(),
          "sorting changed more than the sibling links");
    const auto children = [](const Tree& t, uint64_t v) { auto c = t.children(v); return std::ranges::sort(c), c; };
    for (const uint64_t v : tree.preorder())
      check(children(tree, v) == children(sorted, v), "sorting changed a node's children");
  }
}

// Matrices are left to the tree sets (a single tree is read as a set of one) and
// to the species trees.
inline void exercise_tree(const Tree& tree, const TaxonSet& taxa) {
  exercise_restriction(tree, taxa);
  guarded([&] { (void)tree.preorder(); });
  for (uint64_t v = 0; v < tree.node_count() && v < 64; ++v) guarded([&] { (void)tree.children(v); });
  guarded([&] { (void)tree_to_newick(tree, taxa); });
  guarded([&] { std::string out; write_newick_topology(tree, 0, taxa.names, out); });
  exercise_sort(tree, taxa);
}

inline void exercise_matrix_view(const DistanceMatrixView& view) {
  for (uint64_t i = 0; i < 8 && i <= view.matrix->size; ++i)
    for (uint64_t j = 0; j < 8 && j <= view.matrix->size; ++j) guarded([&] { (void)view.get(i, j); });
  const auto& names = view.taxon_set->names;
  for (size_t i = 0; i < names.size() && i < 4; ++i)
    guarded([&] { (void)view.get_by_name(names[i], names[names.size() - 1 - i]); });
  guarded([&] { (void)view.get_by_name("\x01 not a taxon", names.empty() ? "" : names[0]); });
}

inline void exercise_view(const TreeViewBase& view) {
  const uint64_t n = view.size();
  for (uint64_t i = 0; i < n && i < 16; ++i) exercise_tree((*view.trees)[i], *view.taxon_set);
  guarded([&] { (void)view.to_newick_string(); });
  guarded([&] {
    auto r = topology_restriction(view,
                                  first_names(*view.taxon_set, std::min<size_t>(view.taxon_set->names.size() / 2, 32)));
    if (r.ok()) check(r->topology_only && r->size() == n, "view restriction");
  });
  auto renamed = view.remap(renaming(*view.taxon_set, "").mapping);
  if (renamed.ok()) check(renamed->trees == view.trees && renamed->topology_only == view.topology_only, "view remap");
  for (uint64_t i = 0; i < n && i < 4; ++i)
    if (matrix_fits((*view.trees)[i])) guarded([&] {
        auto m = view.get_distance_matrix(i);
        check(m && m->taxon_set == view.taxon_set && matrix_shape(*m->matrix, (*view.trees)[i]), "tree set matrix");
        exercise_matrix_view(*m);
      });
  check(!view.get_distance_matrix(n).has_value(), "matrix past the end");
  check(view.slice(0, n).taxon_set == view.taxon_set && view.slice(n / 2, n).size() == n - n / 2, "slice");
  check(!guarded([&] { (void)view.slice(0, n + 1); }).empty(), "slice past the end did not fail");
}

// `with_gene_trees` false when the gene trees were exercised as a tree set already.
inline void exercise_msc(const MSCTreeView& m, bool with_gene_trees = true) {
  const TreeViewBase& genes = m.base.view;
  if (with_gene_trees) exercise_view(genes);
  exercise_tree(m.species_tree, *genes.taxon_set);
  if (matrix_fits(m.species_tree))
    guarded([&] { check(matrix_shape(distance_matrix(m.species_tree), m.species_tree), "species tree matrix"); });
  const bool topology = m.base.variant == 1 || genes.topology_only;
  guarded([&] {
    auto r = m.restriction(first_names(*genes.taxon_set, 64));
    if (r.ok()) check(r->base.variant == m.base.variant && r->base.view.topology_only == topology, "msc restriction");
  });
  auto renamed = m.remap(renaming(*genes.taxon_set, "").mapping);
  if (renamed.ok()) check(same(renamed->species_tree, m.species_tree), "remap changed the species tree");
  const MSCTreeView s = m.slice(genes.size() / 2, genes.size());
  check(s.base.variant == m.base.variant && s.base.view.topology_only == topology, "msc slice");
  if (genes.size() > 0 && matrix_fits((*genes.trees)[0])) guarded([&] { (void)m.get_distance_matrix(0); });
}

inline void exercise_family(const std::vector<MSCTreeViewPtr>& family) {
  for (const auto& member : family) check(member != nullptr, "empty member"), exercise_msc(*member);
}

}  // namespace qb::fuzz
