// TaxonSet: read-only access to a shared taxon set. Its objects come from the
// `taxon_set` attributes of the other classes; each read makes a new object
// over the same shared set. __setstate__ replaces this object's handle only.
#include <optional>
#include <string>
#include <string_view>

#include "pyapi/classes.hpp"
#include "pyapi/frame.hpp"
#include "pyapi/state.hpp"
#include "tree/stored_form.hpp"

namespace qb::py {
namespace {

using qb::TaxonSetPtr;

std::optional<uint64_t> get_id(const TaxonSetPtr& self, std::string_view taxon_name) {
  return self->find(taxon_name);
}

std::optional<std::string_view> get_name(const TaxonSetPtr& self, uint64_t id) {
  return self->name_of(id);
}

const qb::NameList& names(const TaxonSetPtr& self) { return self->names; }

uint64_t count(const TaxonSetPtr& self) { return self->last; }

bool contains(const TaxonSetPtr& self, std::string_view item) { return self->find(item).has_value(); }

std::string str(const TaxonSetPtr& self) { return "TaxonSet with " + std::to_string(self->last) + " taxa"; }

std::string repr(const TaxonSetPtr& self) {
  std::string out = "TaxonSet(";
  bool first = true;
  for (std::string_view name : self->names) {
    if (!first) out += ", ";
    out += name;
    first = false;
  }
  out += ')';
  return out;
}

BytesWrite get_state(const TaxonSetPtr& self) {
  return stored_state(qb::serialized_size(*self), [&self](qb::StoredWriter& w) { qb::serialize(w, *self); });
}

void set_state(TaxonSetPtr& self, BytesView state) {
  self = qb::share(value_or_raise(qb::deserialize_taxon_set(state.data), "Deserialization error: "));
}

const Class<TaxonSetClass> taxon_set_class{
    Method<"get_id", get_id, "taxon_name">{},
    Method<"get_name", get_name, "id">{},
    Method<"names", names>{},
    Method<"__getstate__", get_state>{},
    Method<"__setstate__", set_state, "state">{},
    Getter<"len", count>{},
    Len<count>{},
    Contains<contains, "item">{},
    Str<str>{},
    Repr<repr>{},
};

}  // namespace
}  // namespace qb::py
