#include "porcelain/restriction.hpp"

#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "porcelain/views.hpp"

namespace qb {

Result<RestrictionPlan> restriction_plan(const TaxonSet& from, std::span<const std::string_view> taxa) {
  // Long lists look names up in tables larger than the cache: each name's
  // slot is fetched a few dozen names before it is needed.
  constexpr size_t kAhead = 16;
  const size_t k = taxa.size();
  std::vector<uint64_t> hashes(k);
  size_t bytes = 0;
  for (size_t i = 0; i < k; ++i) {
    hashes[i] = name_hash(taxa[i]);
    bytes += taxa[i].size();
  }
  std::vector<uint64_t> old_ids;
  old_ids.reserve(k);
  for (size_t i = 0; i < k; ++i) {
    if (i + kAhead < k) from.prefetch(hashes[i + kAhead]);
    const std::optional<uint64_t> id = from.find(taxa[i]);
    if (!id) return Error{"Taxon '" + std::string(taxa[i]) + "' not found in tree"};
    old_ids.push_back(*id);
  }
  RestrictionPlan plan;
  plan.taxon_set.reserve(k, bytes);
  std::vector<std::pair<uint64_t, uint64_t>> id_map;
  id_map.reserve(k);
  for (size_t i = 0; i < k; ++i) {
    if (i + kAhead < k) plan.taxon_set.prefetch(hashes[i + kAhead]);
    id_map.emplace_back(old_ids[i], plan.taxon_set.get_or_insert(taxa[i], hashes[i]));
  }
  plan.kept = KeptIds(old_ids, id_map);
  return plan;
}

Result<TaxonSet> remap_taxon_set(const TaxonSet& from, const NameMapping& mapping) {
  if (mapping.size() != from.last) return Error{"Mapping must contain exactly one entry for each taxon"};
  std::vector<const HashedName*> images;
  images.reserve(from.names.size());
  size_t bytes = 0;
  for (std::string_view name : from.names) {
    auto it = mapping.find(HashedName(name));
    if (it == mapping.end()) return Error{"No mapping provided for taxon '" + std::string(name) + "'"};
    images.push_back(&it->second);
    bytes += it->second.name.size();
  }
  std::unordered_set<HashedName, HashedName::Hash> distinct;
  distinct.reserve(mapping.size());
  for (const auto& entry : mapping) distinct.insert(entry.second);
  if (distinct.size() != mapping.size())
    return Error{"Mapping is not one-to-one (multiple taxa mapped to same name)"};
  TaxonSet out;
  out.reserve(images.size(), bytes);
  for (const HashedName* image : images) out.get_or_insert(image->name, image->hash);
  return out;
}

Result<TreeViewBase> topology_restriction(const TreeViewBase& view, std::span<const std::string_view> taxa) {
  Result<RestrictionPlan> plan = restriction_plan(*view.taxon_set, taxa);
  if (!plan) return Error{std::move(plan).error()};
  TreeViewBase out;
  out.trees = std::make_shared<const std::vector<Tree>>(restrict_all(*view.trees, plan->kept));
  out.taxon_set = std::make_shared<const TaxonSet>(std::move(plan->taxon_set));
  out.topology_only = true;
  return out;
}

Result<TreeViewBase> TreeViewBase::remap(const NameMapping& mapping) const {
  Result<TaxonSet> renamed = remap_taxon_set(*taxon_set, mapping);
  if (!renamed) return Error{std::move(renamed).error()};
  TreeViewBase out;
  out.taxon_set = std::make_shared<const TaxonSet>(std::move(*renamed));
  out.trees = trees;  // the ids stay valid: every taxon keeps its id
  out.topology_only = topology_only;
  return out;
}

Result<MSCTreeView> MSCTreeView::restriction(std::span<const std::string_view> taxa) const {
  Result<RestrictionPlan> plan = restriction_plan(*base.view.taxon_set, taxa);
  if (!plan) return Error{std::move(plan).error()};
  MSCTreeView out;
  out.base.variant = base.variant;
  out.base.view.trees = std::make_shared<const std::vector<Tree>>(restrict_all(*base.view.trees, plan->kept));
  // Variant 1 is the topology-only set, whatever its flag says.
  out.base.view.topology_only = base.variant == 1 ? true : base.view.topology_only;
  out.species_tree = species_tree.restrict(plan->kept);
  out.base.view.taxon_set = std::make_shared<const TaxonSet>(std::move(plan->taxon_set));
  return out;
}

Result<MSCTreeView> MSCTreeView::remap(const NameMapping& mapping) const {
  Result<TreeViewBase> view = base.view.remap(mapping);
  if (!view) return Error{std::move(view).error()};
  MSCTreeView out;
  out.base.variant = base.variant;
  out.base.view = std::move(*view);
  out.species_tree = species_tree;
  return out;
}

}  // namespace qb
