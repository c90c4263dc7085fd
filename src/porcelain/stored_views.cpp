#include "porcelain/stored_views.hpp"

namespace qb {

std::string serialize_family_of_msc(std::span<const MSCTreeViewPtr> members) {
  uint64_t size = 8;
  for (const auto& m : members) {
    if (!m) panic("family of gene-tree sets holds an empty member");
    size += serialized_size(*m);
  }
  return write_stored(size, [&](StoredWriter& w) {
    w.u64(members.size());
    for (const auto& m : members) serialize(w, *m);
  });
}

Result<std::vector<MSCTreeViewPtr>> deserialize_family_of_msc(std::string_view bytes) {
  return read_record<std::vector<MSCTreeViewPtr>>(bytes);
}

}  // namespace qb
