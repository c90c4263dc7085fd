// Stored taxon set in: read, use, store again.
#include "fuzz_common.hpp"

using namespace qb;
using namespace qb::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto taxa = deserialize_taxon_set(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!taxa.ok()) {
    check_reader_error(taxa.error());
    return 0;
  }
  check_rewrite(*taxa, [](const TaxonSet& t) { return serialize_taxon_set(t); },
                [](std::string_view b) { return deserialize_taxon_set(b); });
  // The fields may disagree; lookups and growth must still behave.
  TaxonSet grown = *taxa;
  for (const auto& name : taxa->names) check(grown.find(name).has_value() || grown.get_or_insert(name) + 1 == grown.last, "get_or_insert");
  (void)grown.get_or_insert("\x01 new");
  (void)grown.name_of(grown.last);
  check_rewrite(grown, [](const TaxonSet& t) { return serialize_taxon_set(t); },
                [](std::string_view b) { return deserialize_taxon_set(b); });
  return 0;
}
