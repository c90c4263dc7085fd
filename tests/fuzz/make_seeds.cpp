// Seed corpora of the fuzz targets, made at run time (nothing is committed):
//   make_seeds OUT_DIR DATA_FILE_OR_DIR...
// Newick seeds: the dialect's corners below, small data files whole and the
// first lines of larger ones. Stored and compressed seeds: the states of what
// they read (as tree sets and as gene-tree sets), and of trees whose links
// break the invariants.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "../cpp/support.hpp"
#include "compression/zstd_stream.hpp"
#include "fuzz_common.hpp"

namespace fs = std::filesystem;
using namespace qb;

std::map<std::string, std::vector<std::string>> seeds;

// Every stored kind behind its kind byte (the stored target's first byte), and
// the family compressed.
void add_states(const TreeViewBase& v, const Tree& species) {
  const MSCTreeView m{{v.topology_only ? 1u : 0u, v}, species};
  const std::string family = write_record(std::vector{std::make_shared<const MSCTreeView>(m)});
  for (std::string s : {'\0' + write_record(*v.taxon_set), '\1' + serialize_single_tree(*v.taxon_set, (*v.trees)[0]),
                        '\2' + write_record(v), '\3' + write_record(m), '\5' + family})
    seeds["fuzz_stored"].push_back(s);
  fuzz::guarded([&] { seeds["fuzz_stored"].push_back('\4' + write_record(*v.get_distance_matrix(0))); });
  seeds["fuzz_family_state"].push_back(std::string(zstd::compress(family)->view()));
}

// The gene-tree set the builders make of `text` (at most two gene trees, the
// species text uncut over their taxon set), as variant 0 and as variant 1, and
// a family of both, the second cut to one gene tree.
void add_gene_tree_states(std::string_view text) {
  std::optional<ParseState> state = fuzz::gene_tree_state(text, false, 2);
  if (!state) return;
  const MSCTreeView m = MSCTreeView::make(*std::move(state));
  MSCTreeView t = m;
  t.base.variant = 1;
  const std::string family = write_record(
      std::vector{std::make_shared<const MSCTreeView>(m), std::make_shared<const MSCTreeView>(t.slice(0, 1))});
  for (std::string s : {'\3' + write_record(m), '\3' + write_record(t), '\5' + family})
    seeds["fuzz_stored"].push_back(s);
  seeds["fuzz_family_state"].push_back(std::string(zstd::compress(family)->view()));
}

int main(int argc, char** argv) {
  std::vector<std::string> texts = {
      "(A,B);", "(A:1.5,B:2)C:0.5;", "((A,B)95:0.3,C);", "A;", "( A , B );", "(,A);();", "[only a comment]",
      "(A:,B);(A:1e-3,B:inf);(A:-2,B);(A:nan,B:-0);", "(A[x[y]z]:1,B);(A[x]B,C);", "(A[x;y],B);", "(A)(B);A,B;",
      "(A,\n(B,C));", "((((((((A,B),C),D),E),F),G),H),I);", "(A:0.0000001,B:1e21,C:+1,D:.5,E:1.);",
      "(\xC3\xA9t\xC3\xA9,\xE2\x80\x83x\xE2\x80\x83);\xE3\x80\x80"};
  // Small files whole; of larger ones the first one to three lines, and the
  // first 2048 bytes where fewer than three lines end within 16 KiB.
  const auto add_file = [&](const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (text.size() <= 4096) return texts.push_back(text);
    size_t lines = 0;
    for (size_t end = 0; lines < 3 && (end = text.find('\n', end)) < 16384; ++lines)
      texts.push_back(text.substr(0, ++end));
    if (lines < 3) texts.push_back(text.substr(0, 2048));
  };
  for (int i = 2; i < argc; ++i) {
    if (fs::is_regular_file(argv[i])) add_file(argv[i]);
    if (fs::is_directory(argv[i]))
      for (const auto& e : fs::directory_iterator(argv[i]))
        if (e.is_regular_file() && e.path().extension() != ".md") add_file(e.path());
  }
  for (const std::string& text : texts) {
    fuzz::guarded([&] {
      seeds["fuzz_newick"].push_back(text);
      if (auto v = TreeViewBase::from_newick(text))
        add_states(v->slice(0, std::min<uint64_t>(v->size(), 3)), (*v->trees)[0]);
    });
    fuzz::guarded([&] { add_gene_tree_states(text); });
  }
  const TaxonSetPtr abc = TreeViewBase::from_newick("(A,B,C);")->taxon_set;
  for (const Tree& t : {
           Tree{}, arena({-42, 0}, {0, 0}, {5, -1}, {-1, -1}, {1, 0}, 1),  // a link past the end
           arena({-42}, {0}, {0}, {-1}, {1}, 0, true),                      // the root is its own child
           arena({-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2, 1}, {2, 0, 0}, 2),  // a sibling cycle
           arena({-42, -1, -1, 0}, {0, 0, 0, 1}, {1, 3, 3, -1}, {-1, 2, -1, -1}, {2, 1, 1, 0}, 1),  // a shared child
           arena({-42, 0, 9}, {0, 0, 0}, {1, -1, -1}, {-1, 2, -1}, {2, 0, 0}, 2),  // a taxon beyond the names
           arena({-42, 0, 1}, {0, 0, 0}, {1, -1, -1}, {-1, 2}, {2, 0}, 5)})        // unequal lengths
    add_states({abc, std::make_shared<const std::vector<Tree>>(2, t), true}, t);
  const DistanceMatrixView too_few_cells{std::make_shared<const DistanceMatrix>(DistanceMatrix{{1.0, 2.0}, 3}), abc};
  for (const std::string& s : {'\4' + write_record(too_few_cells), std::string(25, '\0')})
    seeds["fuzz_stored"].push_back(s);
  // Of every eighth family: two frames in a row, a frame cut short, a frame
  // followed by bytes that begin none.
  const std::string zeros(zstd::compress(std::string(8, '\0'))->view());
  const std::vector<std::string> frames = seeds["fuzz_family_state"];
  for (size_t i = 0; i < frames.size(); i += 8)
    for (const std::string& s : {frames[i] + frames[i], frames[i] + zeros, frames[i].substr(0, frames[i].size() / 2),
                                 frames[i] + "not a frame"})
      seeds["fuzz_family_state"].push_back(s);
  for (const auto& [target, list] : seeds) {
    fs::create_directories(fs::path(argv[1]) / target);
    for (size_t i = 0; i < list.size(); ++i)
      if (list[i].size() <= 16384)
        std::ofstream(fs::path(argv[1]) / target / std::to_string(i), std::ios::binary) << list[i];
    std::printf("%-20s %zu seeds\n", target.c_str(), list.size());
  }
}
