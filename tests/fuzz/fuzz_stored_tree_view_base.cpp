// Stored tree set in: read, run every operation of a view, store again.
#include "fuzz_common.hpp"

using namespace qb;
using namespace qb::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto view = deserialize_tree_view_base(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!view.ok()) {
    check_reader_error(view.error());
    return 0;
  }
  exercise_view(*view);
  check_rewrite(*view, [](const TreeViewBase& v) { return serialize_tree_view_base(v); },
                [](std::string_view b) { return deserialize_tree_view_base(b); });
  return 0;
}
