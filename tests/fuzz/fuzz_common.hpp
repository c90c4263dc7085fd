#pragma once
// Shared harness of the fuzz targets.
//
// A target reads its input, runs every operation on what it read and checks
// round trips. qb::Panic is an expected outcome of an operation on a value that
// breaks the tree invariants; anything else that escapes (another exception, a
// failed check, a sanitizer report, a crash, a hang) is a finding.
//
// Built with -fsanitize=fuzzer each target is a libFuzzer binary (file paths as
// arguments run those inputs once). Built with -DQB_FUZZ_STANDALONE it is an
// ordinary program that runs the target over every file and folder it is given.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "porcelain/stored_views.hpp"
#include "porcelain/views.hpp"
#include "tree/distance_matrix.hpp"
#include "tree/newick.hpp"
#include "tree/restrict.hpp"
#include "tree/stored_form.hpp"

namespace qb::fuzz {

// Distance matrices are quadratic in the leaves; larger values are skipped.
constexpr uint64_t kMatrixTaxa = 2000;
constexpr uint64_t kMatrixNodes = 4096;

[[noreturn]] inline void finding(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "FUZZ FINDING: %s %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

inline void check(bool ok, const char* what) {
  if (!ok) finding(what);
}

// Runs one operation; a Panic ends it quietly.
template <class Op>
void guarded(Op&& op) {
  try {
    op();
  } catch (const Panic& p) {
    if (p.message().empty()) finding("panic without a text");
  }
}

// A reader's error must be one of the texts of the stored form.
inline void check_reader_error(const std::string& e) {
  auto starts = [&](std::string_view p) { return e.compare(0, p.size(), p) == 0; };
  if (e == "io error: unexpected end of file" || e == "io error: " || starts("string is not valid utf8: ") ||
      starts("invalid u8 while decoding bool, expected 0 or 1, found ") || starts("invalid value: integer `"))
    return;
  finding("unexpected reader error:", e);
}

// --- Restriction and renaming ------------------------------------------------
// Run on every tree and taxon set a target reads. A result must be a tree the
// builder could make (all links agree, no non-root node with one child, a
// topology); restricting the restriction of a parsed-shape tree to all its
// taxa again changes nothing but, in one case, ntaxa.

inline bool same(const Tree& a, const Tree& b);

// Links agree (chains, parents, counts), every node reachable, parents before
// children: the shape the parser and the builder give.
inline bool parsed_shape(const Tree& t) {
  const uint64_t n = t.node_count();
  if (n == 0 || t.parents.size() != n || t.firstchild.size() != n || t.nextsib.size() != n ||
      t.childcount.size() != n || t.parents[0] != 0)
    return false;
  uint64_t reached = 1;
  for (uint64_t v = 0; v < n; ++v) {
    uint64_t count = 0;
    for (int64_t c = t.firstchild[v]; c != -1; c = t.nextsib[c], ++count) {
      if (c <= static_cast<int64_t>(v) || static_cast<uint64_t>(c) >= n || t.parents[c] != static_cast<int32_t>(v) ||
          count > n)
        return false;
      ++reached;
    }
    if (count != t.childcount[v]) return false;
  }
  return reached == n;
}

inline void check_restricted(const Tree& r, const TaxonSet& taxa) {
  check(parsed_shape(r), "restriction result is not a tree");
  for (uint64_t v = 1; v < r.node_count(); ++v) check(r.childcount[v] != 1, "restriction kept a node of one child");
  for (uint64_t v = 0; v < r.node_count(); ++v) {
    check(r.support[v] == 0.0 && r.lengths[v] == 0.0, "restriction kept a length or support");
    check(r.taxa[v] == -1 || static_cast<uint64_t>(r.taxa[v]) < taxa.last, "restriction taxon out of its set");
  }
  check(!r.fake_root, "restriction set fake_root");
}

// The walk up from the kept leaves (forced) and the full passes give the same
// tree or stop with the same text.
inline void check_restriction_paths(const Tree& tree, const KeptIds& kept) {
  std::string sparse_text = "<no panic>", full_text = "<no panic>";
  Tree sparse, full;
  try {
    sparse = detail::restrict_sparse_first(tree, kept);
  } catch (const Panic& p) {
    sparse_text = p.message();
  }
  try {
    full = detail::restrict_by_full_passes(tree, kept);
  } catch (const Panic& p) {
    full_text = p.message();
  }
  check(sparse_text == full_text && same(sparse, full), "restriction paths disagree");
}

inline void exercise_restriction(const Tree& tree, const TaxonSet& taxa) {
  const size_t k = taxa.names.size() < 64 ? taxa.names.size() : 64;
  std::vector<std::string_view> all, every_other;
  for (size_t i = 0; i < k; ++i) {
    all.push_back(taxa.names[i]);
    if (i % 2 == 0) every_other.push_back(taxa.names[i]);
  }
  for (const auto* list : {&all, &every_other}) {
    guarded([&] {
      auto plan = restriction_plan(taxa, *list);
      if (!plan.ok()) {
        // Only a stored set whose names and to_id disagree.
        check(plan.error().rfind("Taxon '", 0) == 0, "unexpected restriction error");
        return;
      }
      check_restriction_paths(tree, plan->kept);
      const Tree r = tree.restrict(plan->kept);
      check_restricted(r, plan->taxon_set);
      if (!parsed_shape(tree) || !plan->taxon_set.to_id.plain()) return;
      std::vector<std::string_view> names(plan->taxon_set.names.begin(), plan->taxon_set.names.end());
      auto again = restriction_plan(plan->taxon_set, names);
      check(again.ok(), "restricted taxon set lost a name");
      Tree twice = r.restrict(again->kept);
      twice.ntaxa = r.ntaxa;
      check(same(twice, r), "restriction is not idempotent");
    });
  }
  guarded([&] {
    NameMapping mapping;
    for (std::string_view name : taxa.names) mapping.emplace(std::string(name), std::string(name) + "'");
    auto renamed = remap_taxon_set(taxa, mapping);
    if (!renamed.ok()) {
      const std::string& e = renamed.error();
      check(e == "Mapping must contain exactly one entry for each taxon" ||
                e.rfind("No mapping provided for taxon '", 0) == 0 ||
                e == "Mapping is not one-to-one (multiple taxa mapped to same name)",
            "unexpected remap error");
      return;
    }
    check(renamed->names.size() <= taxa.names.size(), "remap grew the taxon set");
  });
}

// The first half of the names, over every tree; renaming by itself.
inline void exercise_view_restriction(const TreeViewBase& view) {
  std::vector<std::string_view> half;
  for (size_t i = 0; i < view.taxon_set->names.size() / 2 && i < 32; ++i) half.push_back(view.taxon_set->names[i]);
  guarded([&] {
    auto r = topology_restriction(view, half);
    if (!r.ok()) return;
    check(r->topology_only && r->size() == view.size(), "view restriction");
  });
  NameMapping identity;
  for (std::string_view name : view.taxon_set->names) identity.emplace(name, name);
  auto renamed = view.remap(identity);
  if (renamed.ok()) check(renamed->trees == view.trees && renamed->topology_only == view.topology_only, "view remap");
}

inline void exercise_msc_restriction(const MSCTreeView& m) {
  std::vector<std::string_view> all(m.base.view.taxon_set->names.begin(), m.base.view.taxon_set->names.end());
  if (all.size() > 64) all.resize(64);
  guarded([&] {
    auto r = m.restriction(all);
    if (!r.ok()) return;
    check(r->base.variant == m.base.variant, "restriction changed the variant");
    check(r->base.view.topology_only == (m.base.variant == 1 || m.base.view.topology_only), "restriction flag");
  });
  NameMapping identity;
  for (std::string_view name : m.base.view.taxon_set->names) identity.emplace(name, name);
  auto renamed = m.remap(identity);
  if (renamed.ok()) check(same(renamed->species_tree, m.species_tree), "remap changed the species tree");
}
// ---- child sorting -----------------------------------------------------------
// Every tree read is also sorted by each kind of criterion, both ways and all
// together. A sort either stops with a Panic or changes nothing but the
// sibling links, leaving every node with the same children.
inline void exercise_sort(const Tree& tree, const TaxonSet& taxa) {
  using K = SortCriterionKind;
  const SortCriterion lists[][3] = {
      {make_criterion(K::LexicographicalOrder, SortOrder::Ascending)},
      {make_criterion(K::LexicographicalOrder, SortOrder::Descending)},
      {make_criterion(K::ChildCount, SortOrder::Ascending)},
      {make_criterion(K::DescendantCount, SortOrder::Descending)},
      {make_criterion(K::DescendantCount, SortOrder::Ascending), make_criterion(K::ChildCount, SortOrder::Descending),
       make_criterion(K::LexicographicalOrder, SortOrder::Descending)},
  };
  const size_t lengths[] = {1, 1, 1, 1, 3};
  for (size_t i = 0; i < std::size(lengths); ++i) {
    Tree sorted = tree;
    try {
      sorted.sort_by_criteria(taxa.names, std::span(lists[i], lengths[i]));
    } catch (const Panic& p) {
      if (p.message().empty()) finding("panic without a text");
      continue;
    }
    // Past a sort that succeeded nothing may fail: a Panic below escapes as a finding.
    check(sorted.taxa == tree.taxa && sorted.parents == tree.parents && sorted.childcount == tree.childcount &&
              sorted.support.size() == tree.support.size() && sorted.lengths.size() == tree.lengths.size() &&
              sorted.fake_root == tree.fake_root && sorted.ntaxa == tree.ntaxa &&
              sorted.firstchild.size() == tree.firstchild.size() && sorted.nextsib.size() == tree.nextsib.size(),
          "sorting changed more than the sibling links");
    check(sorted.preorder().size() == tree.preorder().size(), "sorting changed the reachable nodes");
    for (const uint64_t v : tree.preorder()) {
      std::vector<uint64_t> before = tree.children(v);
      std::vector<uint64_t> after = sorted.children(v);
      std::sort(before.begin(), before.end());
      std::sort(after.begin(), after.end());
      check(before == after, "sorting changed a node's children");
    }
  }
}
// ---- end of child sorting -----------------------------------------------------

inline void exercise_tree(const Tree& tree, const TaxonSet& taxa, bool with_matrix = true) {
  exercise_restriction(tree, taxa);
  guarded([&] { (void)tree.preorder(); });
  guarded([&] {
    const uint64_t n = tree.node_count() < 64 ? tree.node_count() : 64;
    for (uint64_t v = 0; v < n; ++v) (void)tree.children(v);
  });
  guarded([&] { (void)tree_to_newick(tree, taxa); });
  guarded([&] {
    std::string out;
    write_newick_topology(tree, 0, taxa.names, out);
  });
  if (with_matrix && tree.ntaxa < kMatrixTaxa && tree.node_count() <= kMatrixNodes) guarded([&] {
      const DistanceMatrix m = distance_matrix(tree);
      check(m.size == tree.ntaxa, "matrix size is not the tree's ntaxa");
      check(m.distances.size() == (m.size < 2 ? 0 : m.size * (m.size - 1) / 2), "matrix cell count");
    });
  exercise_sort(tree, taxa);  // child sorting
}

inline void exercise_matrix_view(const DistanceMatrixView& view) {
  const uint64_t n = view.matrix->size < 8 ? view.matrix->size + 1 : 8;
  for (uint64_t i = 0; i < n; ++i)
    for (uint64_t j = 0; j < n; ++j) guarded([&] { (void)view.get(i, j); });
  const auto& names = view.taxon_set->names;
  for (size_t i = 0; i < names.size() && i < 4; ++i)
    guarded([&] { (void)view.get_by_name(names[i], names[names.size() - 1 - i]); });
  guarded([&] { (void)view.get_by_name("\x01 not a taxon", names.empty() ? "" : names[0]); });
}

inline void exercise_view(const TreeViewBase& view) {
  const uint64_t n = view.size();
  for (uint64_t i = 0; i < n && i < 16; ++i) exercise_tree((*view.trees)[i], *view.taxon_set, false);
  guarded([&] { (void)view.to_newick_string(); });
  exercise_view_restriction(view);
  for (uint64_t i = 0; i < n && i < 4; ++i) {
    const Tree& t = (*view.trees)[i];
    if (t.ntaxa < kMatrixTaxa && t.node_count() <= kMatrixNodes) guarded([&] {
        auto m = view.get_distance_matrix(i);
        check(m.has_value(), "no matrix below the tree count");
        check(m->taxon_set == view.taxon_set, "matrix does not share the taxon set");
        check(m->matrix->size == t.ntaxa, "matrix size is not the tree's ntaxa");
        exercise_matrix_view(*m);
      });
  }
  check(!view.get_distance_matrix(n).has_value(), "matrix past the end");
  const TreeViewBase whole = view.slice(0, n);
  check(whole.taxon_set == view.taxon_set && whole.size() == n, "whole slice");
  const TreeViewBase half = view.slice(n / 2, n);
  check(half.size() == n - n / 2, "half slice");
  bool failed = false;
  try {
    (void)view.slice(0, n + 1);
  } catch (const Panic&) {
    failed = true;
  }
  check(failed, "slice past the end did not fail");
}

// `with_gene_trees` false when the gene trees were exercised as a tree set already.
inline void exercise_msc(const MSCTreeView& m, bool with_gene_trees = true) {
  if (with_gene_trees) exercise_view(m.base.view);
  exercise_msc_restriction(m);
  exercise_tree(m.species_tree, *m.base.view.taxon_set);
  const uint64_t n = m.base.view.size();
  const MSCTreeView s = m.slice(n / 2, n);
  check(s.base.variant == m.base.variant, "slice changed the variant");
  check(s.base.view.topology_only == (m.base.variant == 1 || m.base.view.topology_only), "slice flag");
  if (m.base.view.size() > 0 && (*m.base.view.trees)[0].node_count() <= kMatrixNodes &&
      (*m.base.view.trees)[0].ntaxa < kMatrixTaxa)
    guarded([&] { (void)m.get_distance_matrix(0); });
}

// Equality that tells floats apart by their bits (NaN payloads, -0.0).
inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}
inline bool same(const TaxonSet& a, const TaxonSet& b) {
  return a.sorted_entries() == b.sorted_entries() && a.names == b.names && a.last == b.last;
}
inline bool same(const Tree& a, const Tree& b) {
  return a.taxa == b.taxa && a.parents == b.parents && same_bits(a.support, b.support) &&
         same_bits(a.lengths, b.lengths) && a.firstchild == b.firstchild && a.nextsib == b.nextsib &&
         a.childcount == b.childcount && a.fake_root == b.fake_root && a.ntaxa == b.ntaxa;
}
inline bool same(const DistanceMatrix& a, const DistanceMatrix& b) {
  return same_bits(a.distances, b.distances) && a.size == b.size;
}
inline bool same(const std::pair<TaxonSet, Tree>& a, const std::pair<TaxonSet, Tree>& b) {
  return same(a.first, b.first) && same(a.second, b.second);
}
inline bool same(const DistanceMatrixView& a, const DistanceMatrixView& b) {
  return same(*a.matrix, *b.matrix) && same(*a.taxon_set, *b.taxon_set);
}
inline bool same(const TreeViewBase& a, const TreeViewBase& b) {
  if (a.topology_only != b.topology_only || a.size() != b.size() || !same(*a.taxon_set, *b.taxon_set)) return false;
  for (uint64_t i = 0; i < a.size(); ++i)
    if (!same((*a.trees)[i], (*b.trees)[i])) return false;
  return true;
}
inline bool same(const MSCTreeView& a, const MSCTreeView& b) {
  return a.base.variant == b.base.variant && same(a.base.view, b.base.view) && same(a.species_tree, b.species_tree);
}
inline bool same(const std::vector<MSCTreeViewPtr>& a, const std::vector<MSCTreeViewPtr>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!same(*a[i], *b[i])) return false;
  return true;
}

// Writes `value` and reads the bytes back: the value read must equal `value`,
// the written size must be what the size pass said, and writing it again must
// give the same bytes.
template <class Value, class Write, class Read>
void check_rewrite(const Value& value, Write&& write, Read&& read) {
  const std::string once = write(value);
  auto back = read(once);
  if (!back.ok()) finding("written state does not read back:", back.error());
  if (!same(value, *back)) finding("state read back differs from the value written");
  const std::string twice = write(*back);
  if (once != twice) finding("state changed on a second write");
  // A strict prefix is never a whole state.
  if (!once.empty() && read(std::string_view(once).substr(0, once.size() - 1)).ok())
    finding("a state cut short still reads");
}

}  // namespace qb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

#ifdef QB_FUZZ_STANDALONE
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  size_t runs = 0;
  auto run_file = [&](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++runs;
  };
  for (int i = 1; i < argc; ++i) {
    const fs::path arg(argv[i]);
    if (fs::is_directory(arg)) {
      for (const auto& e : fs::recursive_directory_iterator(arg))
        if (e.is_regular_file()) run_file(e.path());
    } else {
      run_file(arg);
    }
  }
  std::printf("%zu inputs run\n", runs);
  return 0;
}
#endif
