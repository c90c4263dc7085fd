// DistanceMatrix: one tree's leaf-to-leaf distances with the taxon set whose
// ids number its rows. Made by the get_distance_matrix methods only.
#include <optional>
#include <string>
#include <string_view>

#include "porcelain/matrix_text.hpp"
#include "porcelain/stored_views.hpp"
#include "pyapi/classes.hpp"
#include "pyapi/frame.hpp"
#include "pyapi/state.hpp"

namespace qb::py {

// A key that must be a tuple, of any length (else the refusal "PyTuple",
// prefixed with the parameter's name like any conversion).
struct AnyTuple {
  PyObject* tuple;
};

template <>
struct Arg<AnyTuple> : Plain<AnyTuple> {
  static AnyTuple convert(PyObject* o) {
    if (!PyTuple_Check(o)) refuse(o, "PyTuple");
    return {o};
  }
};

namespace {

using qb::DistanceMatrixView;

// The cell reads rely on the core's checks: a pair outside the matrix stops
// with its index-out-of-bounds failure, never reads another pair's cell.
double get(const DistanceMatrixView& self, uint64_t i, uint64_t j) { return self.get(i, j); }

qb::Result<double> get_by_name(const DistanceMatrixView& self, std::string_view taxon1, std::string_view taxon2) {
  return self.get_by_name(taxon1, taxon2);
}

double get_item(const DistanceMatrixView& self, AnyTuple key) {
  if (PyTuple_Size(key.tuple) != 2) raise_value("Expected a tuple of two values");
  PyObject* first = PyTuple_GetItem(key.tuple, 0);
  PyObject* second = PyTuple_GetItem(key.tuple, 1);
  if (PyUnicode_Check(first) && PyUnicode_Check(second)) {
    const auto name1 = convert<std::string_view>(first);
    const auto name2 = convert<std::string_view>(second);
    return value_or_raise(self.get_by_name(name1, name2));
  }
  if (PyLong_Check(first) && PyLong_Check(second)) {
    const uint64_t i = convert<uint64_t>(first);
    const uint64_t j = convert<uint64_t>(second);
    const uint64_t size = self.matrix->size;
    if (i >= size || j >= size)
      raise_index("Index (" + std::to_string(i) + ", " + std::to_string(j) +
                  ") out of bounds. Valid range: 0.." + std::to_string(size));
    return self.get(i, j);
  }
  raise_value("Index must be either (int, int) or (str, str)");
}

uint64_t size(const DistanceMatrixView& self) { return self.matrix->size; }

std::optional<std::string_view> get_taxon_name(const DistanceMatrixView& self, uint64_t id) {
  return self.taxon_set->name_of(id);
}

New<TaxonSetClass> taxon_set(const DistanceMatrixView& self) { return {self.taxon_set}; }

std::string str(const DistanceMatrixView& self) { return qb::matrix_table(*self.matrix, self.taxon_set->names); }

std::string repr(const DistanceMatrixView& self) {
  return "DistanceMatrix(size=" + std::to_string(self.matrix->size) + ")";
}

BytesWrite get_state(const DistanceMatrixView& self) {
  return stored_state(qb::serialized_size(self), [&self](qb::StoredWriter& w) { qb::serialize(w, self); });
}

void set_state(DistanceMatrixView& self, BytesView state) {
  self = value_or_raise(qb::deserialize_distance_matrix_view(state.data), "Deserialization error: ");
}

const Class<DistanceMatrixClass> distance_matrix_class{
    Method<"get", get, "i", "j">{},
    Method<"get_by_name", get_by_name, "taxon1", "taxon2">{},
    Method<"get_taxon_name", get_taxon_name, "id">{},
    Method<"__getstate__", get_state>{},
    Method<"__setstate__", set_state, "state">{},
    Getter<"ntaxa", size>{},
    Getter<"taxon_set", taxon_set>{},
    GetItem<get_item, "key">{},
    Str<str>{},
    Repr<repr>{},
};

}  // namespace
}  // namespace qb::py
