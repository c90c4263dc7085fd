// Stored gene-tree/species-tree set in: read, run every operation, store again.
#include "fuzz_common.hpp"

using namespace qb;
using namespace qb::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto view = deserialize_msc_tree_view(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!view.ok()) {
    check_reader_error(view.error());
    return 0;
  }
  exercise_msc(*view);
  check_rewrite(*view, [](const MSCTreeView& v) { return serialize_msc_tree_view(v); },
                [](std::string_view b) { return deserialize_msc_tree_view(b); });
  return 0;
}
