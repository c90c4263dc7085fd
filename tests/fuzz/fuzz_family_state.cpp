// Compressed state of a family of gene-tree sets in: decompress and read,
// run every operation on each member, write the state again and read it back.
// A decoded size past kMaxOutput must fail with std::bad_alloc (MemoryError
// in Python), never by taking the memory.
#include <zstd.h>
#include <zstd_errors.h>

#include <new>

#include "compression/family_state.hpp"
#include "fuzz_common.hpp"

using namespace qb;
using namespace qb::fuzz;

namespace {

constexpr uint64_t kMaxOutput = uint64_t{64} << 20;

// "Decompression error: " + "incomplete frame" or one of the library's error
// names; "Deserialization error: " + a reader's text.
void check_state_error(const std::string& e) {
  const std::string_view decompression = "Decompression error: ", deserialization = "Deserialization error: ";
  if (e.compare(0, deserialization.size(), deserialization) == 0) return check_reader_error(e.substr(deserialization.size()));
  if (e.compare(0, decompression.size(), decompression) != 0) finding("state error without its prefix:", e);
  const std::string name = e.substr(decompression.size());
  if (name == "incomplete frame") return;
  for (int code = 1; code < ZSTD_error_maxCode; ++code)
    if (name == ZSTD_getErrorString(static_cast<ZSTD_ErrorCode>(code))) return;
  finding("not one of the library's error names:", name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view state(reinterpret_cast<const char*>(data), size);
  Result<std::vector<MSCTreeViewPtr>> family = Error{};
  try {
    family = read_family_state(state, kMaxOutput);
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (!family.ok()) {
    check_state_error(family.error());
    return 0;
  }
  for (const auto& member : *family) {
    check(member != nullptr, "empty member");
    exercise_msc(*member);
  }
  check_rewrite(
      *family,
      [](const std::vector<MSCTreeViewPtr>& f) {
        auto written = write_family_state(f);
        if (!written.ok()) finding("a family that was read does not compress:", written.error());
        check(ZSTD_findFrameCompressedSize(written->data(), written->size()) == written->size(), "not one frame");
        return std::string(written->view());
      },
      [](std::string_view b) { return read_family_state(b, kMaxOutput); });
  return 0;
}
