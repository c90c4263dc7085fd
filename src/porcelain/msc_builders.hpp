#pragma once
// Builders of gene-tree/species-tree views from two Newick texts or from the
// two files holding them. Ids go first to the gene trees' names in order of
// first appearance, then to the names that only the species tree holds.
#include <string_view>

#include "porcelain/views.hpp"
#include "tree/failure.hpp"

namespace qb {

// Variant 0, topology_only false. Errors: the gene text's parse error ("No
// valid trees found in input string"; the species text is then not read), or
// "No species tree found in input string" when the species tree has no
// labelled leaf. The species text is parsed as it is, uncut and untrimmed, up
// to its first ';'.
Result<MSCTreeView> msc_tree_set_from_strings(std::string_view gene_trees, std::string_view species_tree);

// The same, as variant 1 with topology_only true.
Result<MSCTreeView> msc_topology_set_from_strings(std::string_view gene_trees, std::string_view species_tree);

// Both files read whole (gene trees first; the species file is not opened when
// the first read fails), then the builder above. Read errors are
// "Failed to read gene trees file: " / "Failed to read species tree file: "
// followed by the file reader's description.
Result<MSCTreeView> msc_tree_set_from_files(std::string_view gene_trees_path, std::string_view species_tree_path);
Result<MSCTreeView> msc_topology_set_from_files(std::string_view gene_trees_path,
                                                std::string_view species_tree_path);

}  // namespace qb
