// Seed corpora of the fuzz targets, made at run time (nothing is committed):
//   make_seeds OUT_DIR DATA_FILE_OR_DIR...
// Writes OUT_DIR/<target>/<n> for every target: small tree files whole, the
// first lines of larger ones, a few texts of the dialect's corners, and the
// stored states of all of them plus hand-made states that break the tree
// invariants (links out of range, cycles, unequal lengths, odd flags).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "../cpp/support.hpp"
#include "compression/zstd_stream.hpp"
#include "porcelain/stored_views.hpp"
#include "porcelain/views.hpp"
#include "tree/newick.hpp"
#include "tree/stored_form.hpp"

namespace fs = std::filesystem;
using namespace qb;

namespace {

constexpr size_t kMaxSeed = 16 * 1024;
constexpr size_t kWholeFile = 4 * 1024;

std::map<std::string, std::vector<std::string>> seeds;

// The stored-state target reads the kind of state from its first byte.
const std::map<std::string, char> kStoredKinds = {
    {"fuzz_stored_taxon_set", 0},          {"fuzz_stored_single_tree", 1},
    {"fuzz_stored_tree_view_base", 2},     {"fuzz_stored_msc_tree_view", 3},
    {"fuzz_stored_distance_matrix_view", 4}, {"fuzz_stored_family", 5},
};

void add(const std::string& target, std::string bytes) {
  if (bytes.size() > kMaxSeed) return;
  if (auto kind = kStoredKinds.find(target); kind != kStoredKinds.end()) {
    seeds["fuzz_stored"].push_back(kind->second + bytes);
    return;
  }
  seeds[target].push_back(std::move(bytes));
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Whole small files; the first one to three lines of larger ones.
void add_text_seeds(const fs::path& p) {
  const std::string text = read_file(p);
  if (text.size() <= kWholeFile) {
    add("fuzz_newick", text);
    return;
  }
  size_t end = 0;
  for (int lines = 1; lines <= 3; ++lines) {
    end = text.find('\n', end);
    if (end == std::string::npos || end > kMaxSeed) break;
    add("fuzz_newick", text.substr(0, end + 1));
    ++end;
  }
  if (end == std::string::npos || end > kMaxSeed) add("fuzz_newick", text.substr(0, 2048));
}

void add_state_seeds(const std::string& text) {
  try {
    auto view = TreeViewBase::from_newick(text);
    if (!view.ok()) return;
    add("fuzz_stored_taxon_set", serialize_taxon_set(*view->taxon_set));
    add("fuzz_stored_single_tree", serialize_single_tree(*view->taxon_set, (*view->trees)[0]));
    add("fuzz_stored_tree_view_base", serialize_tree_view_base(view->slice(0, view->size() < 3 ? view->size() : 3)));
    try {
      if (auto m = view->get_distance_matrix(0)) add("fuzz_stored_distance_matrix_view", serialize_distance_matrix_view(*m));
    } catch (const Panic&) {
    }
    ParseState state;  // every field is replaced below
    auto genes = parse_newick_trees(text, false);
    state.taxon_set = std::move(genes->taxon_set);
    state.gene_trees = std::move(genes->trees);
    if (state.gene_trees.size() > 2) state.gene_trees.resize(2);
    state.species_tree = parse_newick_tree(state.taxon_set, text);
    MSCTreeView m = MSCTreeView::make(std::move(state));
    add("fuzz_stored_msc_tree_view", serialize_msc_tree_view(m));
    MSCTreeView t = m;
    t.base.variant = 1;
    add("fuzz_stored_msc_tree_view", serialize_msc_tree_view(t));
    add("fuzz_stored_family",
        serialize_family_of_msc(std::vector<MSCTreeViewPtr>{std::make_shared<const MSCTreeView>(m),
                                                            std::make_shared<const MSCTreeView>(t.slice(0, 1))}));
  } catch (const Panic&) {
  }
}

void add_broken_states() {
  TaxonSet taxa;
  for (const char* n : {"A", "B", "C"}) taxa.get_or_insert(n);
  const std::vector<Tree> broken = {
      Tree{},
      arena({-42, 0}, {0, 0}, {5, -1}, {-1, -1}, {1, 0}, 1, false),               // link past the end
      arena({-42}, {0}, {0}, {-1}, {1}, 0, true),                                  // root is its own child
      arena({-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, 1}, {2, 0, 0}, 2, false),  // sibling cycle
      arena({-42, -1, -1, 0}, {0, 0, 0, 1}, {1, 3, 3, -1}, {-1, 2, -1, -1}, {2, 1, 1, 0}, 1, false),  // shared child
      arena({-42, 0, 9}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, 2, false),  // taxon beyond names
      arena({-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2}, {2, 0}, 5, false),        // unequal lengths
  };
  for (const Tree& t : broken) {
    add("fuzz_stored_single_tree", serialize_single_tree(taxa, t));
    TreeViewBase v;
    v.taxon_set = std::make_shared<const TaxonSet>(taxa);
    v.trees = std::make_shared<const std::vector<Tree>>(std::vector<Tree>{t, t});
    v.topology_only = true;
    add("fuzz_stored_tree_view_base", serialize_tree_view_base(v));
    MSCTreeView m;
    m.base.variant = 1;
    m.base.view = v;
    m.species_tree = t;
    add("fuzz_stored_msc_tree_view", serialize_msc_tree_view(m));
    add("fuzz_stored_family", serialize_family_of_msc(std::vector<MSCTreeViewPtr>{std::make_shared<const MSCTreeView>(m)}));
  }
  DistanceMatrixView dm;
  dm.matrix = std::make_shared<const DistanceMatrix>(DistanceMatrix{{1.0, 2.0}, 3});  // too few cells
  dm.taxon_set = std::make_shared<const TaxonSet>(taxa);
  add("fuzz_stored_distance_matrix_view", serialize_distance_matrix_view(dm));
  // Disagreeing taxon set fields: a duplicate key, a name without key, last too small.
  std::string odd = serialize_taxon_set(taxa);
  add("fuzz_stored_taxon_set", odd);
  add("fuzz_stored_taxon_set", std::string(24, '\0'));
}

// --- compressed family states (fuzz_family_state) -----------------------------
// Every stored family in one frame; then two frames in a row, a frame cut
// short and a frame followed by bytes that begin none.
void add_compressed_family_states() {
  // Stored families are the stored-state seeds of kind 5, behind their kind byte.
  std::vector<std::string> families;
  for (const std::string& s : seeds["fuzz_stored"])
    if (!s.empty() && s[0] == kStoredKinds.at("fuzz_stored_family")) families.push_back(s.substr(1));
  for (size_t i = 0; i < families.size(); ++i) {
    auto frame = zstd::compress(families[i]);
    if (!frame.ok()) continue;
    const std::string one(frame->view());
    add("fuzz_family_state", one);
    if (i % 8 != 0) continue;
    add("fuzz_family_state", one + std::string(zstd::compress(std::string(8, '\0'))->view()));
    add("fuzz_family_state", one.substr(0, one.size() / 2));
    add("fuzz_family_state", one + "not a frame");
  }
}
// --- end of compressed family states --------------------------------------------

const char* const kTexts[] = {
    "(A,B);",
    "(A:1.5,B:2)C:0.5;",
    "((A,B)95:0.3,C);",
    "A;",
    "( A , B );",
    "(A:,B);(A:1e-3,B:inf);(A:-2,B);(A:nan,B:-0);",
    "(,A);();",
    "(A[x[y]z]:1,B);(A[x]B,C);",
    "(A[x;y],B);",
    "[only a comment]",
    "(A)(B);A,B;",
    "(A,\n(B,C));",
    "((((((((A,B),C),D),E),F),G),H),I);",
    "(A:0.0000001,B:1e21,C:+1,D:.5,E:1.);",
    "(\xC3\xA9t\xC3\xA9,\xE2\x80\x83x\xE2\x80\x83);\xE3\x80\x80",
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_seeds OUT_DIR [DATA_FILE_OR_DIR...]\n");
    return 2;
  }
  const fs::path out(argv[1]);
  for (int i = 2; i < argc; ++i) {
    const fs::path p(argv[i]);
    if (fs::is_directory(p)) {
      for (const auto& e : fs::directory_iterator(p))
        if (e.is_regular_file() && e.path().extension() != ".md") add_text_seeds(e.path());
    } else if (fs::is_regular_file(p)) {
      add_text_seeds(p);
    }
  }
  for (const char* t : kTexts) add("fuzz_newick", t);
  const std::vector<std::string> texts = seeds["fuzz_newick"];
  for (const std::string& t : texts) add_state_seeds(t);
  add_broken_states();
  add_compressed_family_states();

  for (const auto& [target, list] : seeds) {
    fs::create_directories(out / target);
    for (size_t i = 0; i < list.size(); ++i) {
      std::ofstream f(out / target / ("seed-" + std::to_string(i)), std::ios::binary);
      f.write(list[i].data(), static_cast<std::streamsize>(list[i].size()));
    }
    std::printf("%-36s %zu seeds\n", target.c_str(), list.size());
  }
  return 0;
}
