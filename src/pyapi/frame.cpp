#include "pyapi/frame.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace qb::py {

// ---------------------------------------------------------------------------
// Errors

void set_error(const Raise& error) noexcept {
  PyObject* type = PyExc_ValueError;
  switch (error.kind) {
    case ErrorKind::Value: type = PyExc_ValueError; break;
    case ErrorKind::Index: type = PyExc_IndexError; break;
    case ErrorKind::Type: type = PyExc_TypeError; break;
    case ErrorKind::Overflow: type = PyExc_OverflowError; break;
    case ErrorKind::Runtime: type = PyExc_RuntimeError; break;
  }
  PyObject* text = PyUnicode_FromStringAndSize(error.text.data(), static_cast<Py_ssize_t>(error.text.size()));
  if (text == nullptr) return;  // the decoding error is what gets raised
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void raise_value_prefixed(std::string_view prefix, const std::string& message) {
  std::string text(prefix);
  text += message;
  raise_value(std::move(text));
}

std::string type_name(PyObject* object) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t n = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n)) return std::string(s, static_cast<size_t>(n));
  }
  PyErr_Clear();
  return "object";
}

void refuse(PyObject* object, const char* expected) {
  const std::string name = type_name(object);
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", name.c_str(), expected);
  throw PyError{};
}

void prefix_type_error(const std::string& name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref t = Ref::steal(type), v = Ref::steal(value), tb = Ref::steal(traceback);
  Ref message = Ref::steal(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
  if (!message) return;  // the failure to format is raised instead
  Ref text = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name.c_str(), message.get()));
  if (!text) return;
  Ref replacement = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!replacement) return;
  if (v) {
    if (PyObject* cause = PyException_GetCause(v.get())) PyException_SetCause(replacement.get(), cause);
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

// ---------------------------------------------------------------------------
// Failure trap

namespace {

PyObject* g_panic_type = nullptr;

const char* short_path(const char* file) {
  if (file == nullptr) return "<unknown>";
  const char* best = nullptr;
  for (const char* p = std::strstr(file, "src/"); p != nullptr; p = std::strstr(p + 1, "src/")) best = p;
  return best ? best : file;
}

// The short report on standard error: thread, source position, text.
void report(const char* file, int line, const char* text) noexcept {
  char thread[64] = "";
  if (pthread_getname_np(pthread_self(), thread, sizeof thread) != 0 || thread[0] == '\0')
    std::snprintf(thread, sizeof thread, "%lu", static_cast<unsigned long>(pthread_self()));
  if (file != nullptr)
    std::fprintf(stderr, "quorbelin: internal failure in thread '%s' at %s:%d:\n%s\n", thread, short_path(file), line,
                 text);
  else
    std::fprintf(stderr, "quorbelin: internal failure in thread '%s':\n%s\n", thread, text);
  std::fflush(stderr);
}

void raise_panic(const char* text) noexcept {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  PyErr_SetString(type, text);
}

constexpr const char* kNoMessage = "internal failure without a message";

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(
        "quorbelin_runtime.PanicException",
        "An internal invariant of quorbelin was broken and the operation was stopped.\n\n"
        "Derives from BaseException, not Exception, so that it is not swallowed by\n"
        "`except Exception` and normally reaches the top of the program.",
        PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

void translate_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (const PyError&) {
      if (!PyErr_Occurred()) raise_panic("a Python error was signalled but none is set");
    } catch (const Raise& r) {
      set_error(r);
    } catch (const qb::Panic& p) {
      const char* text = p.message().empty() ? kNoMessage : p.message().c_str();
      report(p.file(), p.line(), text);
      raise_panic(text);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& e) {
      const char* text = (e.what() && *e.what()) ? e.what() : kNoMessage;
      report(nullptr, 0, text);
      raise_panic(text);
    } catch (...) {
      report(nullptr, 0, kNoMessage);
      raise_panic(kNoMessage);
    }
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

// ---------------------------------------------------------------------------
// Argument conversion

std::string_view text_of(PyObject* o) {
  if (!PyUnicode_Check(o)) refuse(o, "PyString");
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (s == nullptr) throw PyError{};
  return std::string_view(s, static_cast<size_t>(n));
}

uint64_t count_of(PyObject* o) {
  Ref index;
  if (!PyLong_Check(o)) {
    index = Ref::steal(check(PyNumber_Index(o)));
    o = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyError{};
  return static_cast<uint64_t>(v);
}

namespace {

bool attribute_is(PyObject* object, const char* attribute, std::initializer_list<const char*> values) {
  Ref a = Ref::steal(PyObject_GetAttrString(object, attribute));
  if (!a || !PyUnicode_Check(a.get())) {
    PyErr_Clear();
    return false;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(a.get(), &n);
  if (s == nullptr) {
    PyErr_Clear();
    return false;
  }
  const std::string_view text(s, static_cast<size_t>(n));
  for (const char* v : values)
    if (text == v) return true;
  return false;
}

// numpy's boolean scalar, recognised by its type's name and module so that
// numpy is never imported here.
bool is_numpy_bool(PyObject* o) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
  return attribute_is(type, "__name__", {"bool_", "bool"}) && attribute_is(type, "__module__", {"numpy"});
}

}  // namespace

std::optional<bool> flag_of(PyObject* o) {
  if (o == Py_None) return std::nullopt;
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  if (is_numpy_bool(o)) {
    const int truth = PyObject_IsTrue(o);
    if (truth < 0) throw PyError{};
    return truth != 0;
  }
  refuse(o, "PyBool");
}

BytesView Arg<BytesView>::convert(PyObject* o) {
  if (!PyBytes_Check(o)) refuse(o, "PyBytes");
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(o, &data, &n) < 0) throw PyError{};
  return BytesView{std::string_view(data, static_cast<size_t>(n))};
}

Py_ssize_t sequence_length(PyObject* o) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    throw PyError{};
  }
  if (!PySequence_Check(o)) refuse(o, "Sequence");
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) throw PyError{};
  return n;
}

size_t initial_room(PyObject* o, Py_ssize_t n) {
  constexpr Py_ssize_t kClaimed = 4096;
  return static_cast<size_t>(PyList_Check(o) || PyTuple_Check(o) ? n : std::min(n, kClaimed));
}

std::pair<PyObject*, PyObject*> pair_items(PyObject* o) {
  if (!PyTuple_Check(o)) refuse(o, "PyTuple");
  const Py_ssize_t n = PyTuple_Size(o);
  if (n != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
    throw PyError{};
  }
  return {PyTuple_GetItem(o, 0), PyTuple_GetItem(o, 1)};
}

void check_dict(PyObject* o) {
  if (!PyDict_Check(o)) refuse(o, "PyDict");
}

// ---------------------------------------------------------------------------
// Argument binding

void prepare_params(Params& p, const char* class_name, const char* method, std::initializer_list<const char*> raw) {
  if (!p.interned.empty()) return;  // prepared already (a body shared by two entries)
  p.full_name = std::string(class_name) + "." + method + "()";
  p.names.clear();
  p.required = 0;
  bool seen_default = false;
  for (const char* r : raw) {
    std::string_view text(r);
    const size_t eq = text.find('=');
    p.names.emplace_back(text.substr(0, eq));
    if (eq == std::string_view::npos) {
      if (seen_default) qb::panic(p.full_name + ": a parameter without default follows one with a default");
      ++p.required;
    } else {
      seen_default = true;
    }
  }
  // Filled whole before it is installed: a failure midway leaves the
  // parameters unprepared, to be prepared again on the next build.
  std::vector<Ref> interned;
  interned.reserve(p.names.size());
  for (const std::string& n : p.names) interned.push_back(Ref::steal(check(PyUnicode_InternFromString(n.c_str()))));
  std::vector<PyObject*> ready;
  ready.reserve(interned.size());
  for (Ref& s : interned) ready.push_back(s.release());  // kept for the life of the process
  p.interned = std::move(ready);
}

namespace {

Py_ssize_t find_param(const Params& p, PyObject* key) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(p.interned.size());
  for (Py_ssize_t i = 0; i < n; ++i)
    if (p.interned[static_cast<size_t>(i)] == key) return i;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const int eq = PyObject_RichCompareBool(p.interned[static_cast<size_t>(i)], key, Py_EQ);
    if (eq < 0) PyErr_Clear();
    if (eq > 0) return i;
  }
  return -1;
}

bool too_many(const Params& p, Py_ssize_t given) {
  const Py_ssize_t total = static_cast<Py_ssize_t>(p.names.size());
  const char* verb = given == 1 ? "was" : "were";
  if (p.required == total)
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", p.full_name.c_str(), total,
                 given, verb);
  else
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 p.full_name.c_str(), p.required, total, given, verb);
  return false;
}

// Matches one keyword argument; false with the error set.
bool bind_keyword(const Params& p, PyObject* key, PyObject* value, PyObject** out) {
  const Py_ssize_t i = find_param(p, key);
  if (i < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", p.full_name.c_str(), key);
    return false;
  }
  if (out[i] != nullptr) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", p.full_name.c_str(),
                 p.names[static_cast<size_t>(i)].c_str());
    return false;
  }
  out[i] = value;
  return true;
}

bool check_missing(const Params& p, PyObject** out) {
  std::vector<const std::string*> missing;
  for (Py_ssize_t i = 0; i < p.required; ++i)
    if (out[i] == nullptr) missing.push_back(&p.names[static_cast<size_t>(i)]);
  if (missing.empty()) return true;
  std::string list;
  for (size_t k = 0; k < missing.size(); ++k) {
    if (k > 0) list += missing.size() == 2 ? " and " : (k + 1 == missing.size() ? ", and " : ", ");
    list += "'" + *missing[k] + "'";
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional argument%s: %s", p.full_name.c_str(),
               static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s", list.c_str());
  return false;
}

}  // namespace

bool bind_vector(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const Py_ssize_t total = static_cast<Py_ssize_t>(p.names.size());
  if (nargs > total) return too_many(p, nargs);
  for (Py_ssize_t i = 0; i < total; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nk = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nk; ++k)
      if (!bind_keyword(p, PyTuple_GetItem(kwnames, k), args[nargs + k], out)) return false;
  }
  return check_missing(p, out);
}

bool bind_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t total = static_cast<Py_ssize_t>(p.names.size());
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  if (nargs > total) return too_many(p, nargs);
  for (Py_ssize_t i = 0; i < total; ++i) out[i] = i < nargs ? PyTuple_GetItem(args, i) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value))
      if (!bind_keyword(p, key, value, out)) return false;
  }
  return check_missing(p, out);
}

// ---------------------------------------------------------------------------
// Class records and types

std::vector<ClassRecord*>& class_registry() {
  static std::vector<ClassRecord*> registry;
  return registry;
}

void register_record(ClassRecord* r) { class_registry().push_back(r); }

const char* method_docstring(ClassRecord& r, const char* name, const char* self_word,
                             std::initializer_list<const char*> raw, const char* doc) {
  auto* text = new std::string(name);
  *text += "(";
  *text += self_word;
  for (const char* p : raw) {
    *text += ", ";
    *text += p;
  }
  *text += ")\n--\n\n";
  *text += doc;
  r.doc_texts.push_back(text);
  return text->c_str();
}

PyTypeObject* ensure_type(ClassRecord& r) noexcept {
  if (r.type != nullptr) return r.type;
  try {
    for (void (*prepare)() : r.on_build) prepare();
    r.qualified_name = std::string("quorbelin.") + r.name;
    r.docstring.clear();
    if (r.signature != nullptr)
      r.docstring = std::string(r.name) + r.signature + "\n--\n\n" + r.doc;
    else
      r.docstring = r.doc;

    std::vector<PyType_Slot> slots = r.slots;
    if (!r.docstring.empty()) slots.push_back({Py_tp_doc, const_cast<char*>(r.docstring.c_str())});
    if (!r.methods.empty()) {
      if (r.methods.back().ml_name != nullptr) r.methods.push_back({nullptr, nullptr, 0, nullptr});
      slots.push_back({Py_tp_methods, r.methods.data()});
    }
    if (!r.getsets.empty()) {
      if (r.getsets.back().name != nullptr) r.getsets.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
      slots.push_back({Py_tp_getset, r.getsets.data()});
    }
    slots.push_back({0, nullptr});

    PyType_Spec spec{r.qualified_name.c_str(), r.basicsize, 0, Py_TPFLAGS_DEFAULT, slots.data()};
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) return nullptr;
    r.type = reinterpret_cast<PyTypeObject*>(type);  // kept for the life of the process
    for (auto& [name, factory] : r.class_attributes) {
      PyObject* value = factory();
      if (value == nullptr || PyObject_SetAttrString(type, name, value) < 0) {
        Py_XDECREF(value);
        r.type = nullptr;
        Py_DECREF(type);
        return nullptr;
      }
      Py_DECREF(value);
    }
    return r.type;
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

void type_build_failed(const char* name) {
  if (PyErr_Occurred()) PyErr_Print();
  qb::panic(std::string("failed to create type object for ") + name);
}

}  // namespace qb::py
