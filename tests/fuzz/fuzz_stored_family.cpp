// Stored (uncompressed) list of a family of gene-tree sets in: read, run every
// operation on each member, store again.
#include "fuzz_common.hpp"

using namespace qb;
using namespace qb::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto family = deserialize_family_of_msc(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!family.ok()) {
    check_reader_error(family.error());
    return 0;
  }
  for (const auto& member : *family) {
    check(member != nullptr, "empty member");
    exercise_msc(*member);
  }
  check_rewrite(*family, [](const std::vector<MSCTreeViewPtr>& f) { return serialize_family_of_msc(f); },
                [](std::string_view b) { return deserialize_family_of_msc(b); });
  return 0;
}
