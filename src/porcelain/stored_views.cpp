#include "porcelain/stored_views.hpp"

namespace qb {

uint64_t serialized_size(std::span<const MSCTreeViewPtr> members) {
  uint64_t size = 8;
  for (const auto& m : members) {
    if (!m) panic("family of gene-tree sets holds an empty member");
    size += serialized_size(*m);
  }
  return size;
}

void serialize(StoredWriter& w, std::span<const MSCTreeViewPtr> members) {
  w.u64(members.size());
  for (const auto& m : members) serialize(w, *m);
}

std::string serialize_family_of_msc(std::span<const MSCTreeViewPtr> members) {
  return write_stored(serialized_size(members), [&](StoredWriter& w) { serialize(w, members); });
}

Result<std::vector<MSCTreeViewPtr>> deserialize_family_of_msc(std::string_view bytes) {
  return read_record<std::vector<MSCTreeViewPtr>>(bytes);
}

}  // namespace qb
