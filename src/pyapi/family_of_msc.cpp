// FamilyOfMSC: an ordered, growable collection of gene-tree/species-tree sets,
// handed in and out as MSCTopologySet objects. Only `add` and __setstate__
// change a family, each wholly or not at all. Its state is the stored list of
// its members in one zstd frame (compression/family_state).
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "compression/family_state.hpp"
#include "pyapi/classes.hpp"
#include "pyapi/frame.hpp"

namespace qb::py {
namespace {

using qb::FamilyOfMSC;

FamilyOfMSC construct() { return {}; }

// The exclusive borrow of the family is taken before `view` is converted.
void add(FamilyOfMSC& self, Shared<MSCTopologySetClass> view) { self.push_member(*view); }

New<FamilyOfMSCClass> from_files(std::vector<std::string_view> gene_trees_paths,
                                 std::vector<std::string_view> species_trees_paths) {
  return {value_or_raise(FamilyOfMSC::from_files(gene_trees_paths, species_trees_paths))};
}

std::vector<std::pair<uint64_t, uint64_t>> get_sizes(const FamilyOfMSC& self) {
  std::vector<std::pair<uint64_t, uint64_t>> sizes;
  sizes.reserve(self.members.size());
  for (const qb::MSCTreeViewPtr& m : self.members) sizes.emplace_back(m->base.view.size(), m->base.view.taxon_set->last);
  return sizes;
}

uint64_t len(const FamilyOfMSC& self) { return self.members.size(); }

// A copy of the member: its taxon set and gene trees shared, its species tree copied.
New<MSCTopologySetClass> get_item(const FamilyOfMSC& self, uint64_t index) {
  if (index >= self.members.size()) raise_index("Index out of bounds");
  return {*self.members[index]};
}

std::string str(const FamilyOfMSC& self) {
  return "FamilyOfMSC with " + std::to_string(self.members.size()) + " MSC topology sets";
}

std::string repr(const FamilyOfMSC& self) {
  return "FamilyOfMSC with " + std::to_string(self.members.size()) + " members";
}

BytesWrite get_state(const FamilyOfMSC& self) {
  auto frame = std::make_shared<qb::ByteBuffer>(value_or_raise(qb::write_family_state(self.members)));
  return {frame->size(), [frame](char* out) { std::memcpy(out, frame->data(), frame->size()); }};
}

void set_state(FamilyOfMSC& self, BytesView state) {
  self.members = value_or_raise(qb::read_family_state(state.data));
}

const Class<FamilyOfMSCClass> family_of_msc_class{
    Constructor<construct>{},
    Method<"add", add, "view">{},
    ClassMethod<"from_files", from_files, "gene_trees_paths", "species_trees_paths">{},
    Method<"get_sizes", get_sizes>{},
    Method<"__getstate__", get_state>{},
    Method<"__setstate__", set_state, "state">{},
    GetItem<get_item, "index">{},
    Len<len>{},
    Str<str>{},
    Repr<repr>{},
};

}  // namespace
}  // namespace qb::py
