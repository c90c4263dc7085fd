#pragma once
// Merging single trees, each with its own taxon set, into one tree set.
#include <vector>

#include "views.hpp"

namespace qb {

// The list form of the TreeSet constructor. The merged taxon set takes every
// name of every item's taxon set (also names its tree lacks), item by item
// and, within an item, in byte-wise name order; names already present keep
// their id. Each tree is copied with every `taxa` entry that is an id of its
// own taxon set rewritten to the merged id of the same name; markers (-1,
// -42) and every other field, `ntaxa` included, stay as they were. The result
// shares nothing with the items and has `topology_only` false.
TreeViewBase merge_single_trees(const std::vector<SingleTree>& items);

}  // namespace qb
