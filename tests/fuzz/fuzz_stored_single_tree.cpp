// Stored single tree (taxon set, then tree) in: read, run every operation on
// the tree as read (its links may be anything), store again.
#include "fuzz_common.hpp"

using namespace qb;
using namespace qb::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto state = deserialize_single_tree(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!state.ok()) {
    check_reader_error(state.error());
    return 0;
  }
  exercise_tree(state->second, state->first);
  check_rewrite(*state, [](const std::pair<TaxonSet, Tree>& s) { return serialize_single_tree(s.first, s.second); },
                [](std::string_view b) { return deserialize_single_tree(b); });
  return 0;
}
