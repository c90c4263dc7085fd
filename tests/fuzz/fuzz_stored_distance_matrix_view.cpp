// Stored distance matrix view in: read, read cells by id and by name, store again.
#include "fuzz_common.hpp"

using namespace qb;
using namespace qb::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto view = deserialize_distance_matrix_view(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!view.ok()) {
    check_reader_error(view.error());
    return 0;
  }
  exercise_matrix_view(*view);
  check_rewrite(*view, [](const DistanceMatrixView& v) { return serialize_distance_matrix_view(v); },
                [](std::string_view b) { return deserialize_distance_matrix_view(b); });
  return 0;
}
