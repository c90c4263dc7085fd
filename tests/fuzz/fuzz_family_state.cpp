// Compressed state of a family of gene-tree sets in: decompress and read, run
// every operation on each member, write the state again and read it back. A
// decoded size past the bound must fail with std::bad_alloc (MemoryError in
// Python), never by taking the memory.
#include <zstd.h>
#include <zstd_errors.h>

#include <new>

#include "compression/family_state.hpp"
#include "fuzz_common.hpp"

using namespace qb;
using namespace qb::fuzz;

namespace {

Result<std::vector<MSCTreeViewPtr>> read_state(std::string_view b) { return read_family_state(b, uint64_t{64} << 20); }

std::string write_state(const std::vector<MSCTreeViewPtr>& family) {
  auto written = write_family_state(family);
  if (!written.ok()) finding("a family that was read does not compress:", written.error());
  check(ZSTD_findFrameCompressedSize(written->data(), written->size()) == written->size(), "not one frame");
  return std::string(written->view());
}

// "Decompression error: " + "incomplete frame" or one of the library's error
// names; "Deserialization error: " + a reader's text.
void check_state_error(const std::string& e) {
  if (starts(e, "Deserialization error: ")) return check_reader_error(e.substr(23));
  check(starts(e, "Decompression error: "), "state error without its prefix:", e);
  const std::string name = e.substr(21);
  for (int code = 1; code < ZSTD_error_maxCode; ++code)
    if (name == ZSTD_getErrorString(static_cast<ZSTD_ErrorCode>(code))) return;
  check(name == "incomplete frame", "not one of the library's error names:", name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Only the read may refuse a state as too large; past it a bad_alloc is a finding.
  Result<std::vector<MSCTreeViewPtr>> family = Error{""};
  try {
    family = read_state(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (!family.ok()) return check_state_error(family.error()), 0;
  exercise_family(*family);
  check_rewrite(*family, write_state, read_state);
  return 0;
}
