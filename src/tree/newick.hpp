#pragma once
// Newick reader and writer of this system's dialect: no quoting, no escapes,
// only U+0020 skipped between tokens, nested [comments], internal labels
// dropped, lengths after ':'.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "failure.hpp"
#include "taxon_set.hpp"
#include "tree.hpp"

namespace qb {

struct ParsedTrees {
  TaxonSet taxon_set;
  std::vector<Tree> trees;
  bool topology_only = false;
};

struct ParseState {
  TaxonSet taxon_set;
  std::vector<Tree> gene_trees;
  Tree species_tree;  // the one-node start arena until replaced
  bool topology_only = false;
};

// The text of one tree (reading stops at the first ';' outside a comment).
// A malformed length throws Panic with the system's float-parse failure text.
Tree parse_newick_tree(TaxonSet& taxon_set, std::string_view text);

// Cut at every ';', trim Unicode white space, parse each non-empty piece over
// one fresh taxon set. "No valid trees found in input string" when none.
Result<ParsedTrees> parse_newick_trees(std::string_view text, bool topology_only);

ParseState new_parse_state(bool topology_only);

// Writers. Walks use an explicit stack; output is appended to `out`. A leaf
// without a taxon (a negative `taxa` entry) is written as an empty label, so a
// tree of one such node is written ";"; a taxon id that `names` does not hold
// stops the write with the bounds text.
void write_newick_node(const Tree& tree, uint64_t node, const NameList& names,
                       bool with_lengths, std::string& out);
void write_newick_topology(const Tree& tree, uint64_t node, const NameList& names,
                           std::string& out);
// Whole tree with lengths and the closing ';'.
std::string tree_to_newick(const Tree& tree, const TaxonSet& taxon_set);
std::vector<std::string> collect_newick_strings(std::span<const Tree> trees,
                                                const TaxonSet& taxon_set);
// Texts of collect_newick_strings joined by "\n", no trailing newline.
std::string to_newick_string(std::span<const Tree> trees, const TaxonSet& taxon_set);

// Shortest round-trip plain decimal text of a length ("1", "0.0000001", "inf", "-0").
void append_length(double value, std::string& out);

}  // namespace qb
