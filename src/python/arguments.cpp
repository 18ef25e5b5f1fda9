// Matching a call's arguments to a parameter list, with the interpreter's
// own TypeError texts for every mismatch.
#include "arguments.h"

#include <string>
#include <string_view>

#include "refs.h"

namespace zelmo::py {
namespace {

// The name of a callable as its messages show it: "f()" or "Class.f()".
std::string callable_name(const FunctionSpec& spec) {
  std::string s;
  if (spec.class_name) {
    s += spec.class_name;
    s += '.';
  }
  s += spec.name;
  s += "()";
  return s;
}

// The parameter a keyword names, or spec.n_params when it names none.
std::size_t param_named(const FunctionSpec& spec, PyObject* key) {
  const std::size_t n = spec.n_params;
  if (!PyUnicode_Check(key)) return n;
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
  if (!utf8) {
    PyErr_Clear();  // an unencodable name matches no parameter
    return n;
  }
  const std::string_view name(utf8, static_cast<std::size_t>(len));
  for (std::size_t i = 0; i < n; ++i) {
    if (name == spec.params[i]) return i;
  }
  return n;
}

[[noreturn]] void raise_too_many(const FunctionSpec& spec, std::size_t given) {
  const char* verb = given == 1 ? "was" : "were";
  const std::string who = callable_name(spec);
  if (spec.required == spec.n_params) {
    raise_formatted(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                    who.c_str(), spec.n_params, given, verb);
  }
  raise_formatted(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                  who.c_str(), spec.required, spec.n_params, given, verb);
}

// "'a', 'b', and 'c'": the names of the `missing` required parameters left
// empty, as the interpreter lists them.
[[noreturn]] void raise_missing(const FunctionSpec& spec, PyObject* const* slots,
                                std::size_t missing) {
  std::string list;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < spec.required; ++i) {
    if (slots[i]) continue;
    ++listed;
    if (listed > 1) {
      if (missing > 2) list += ',';
      if (listed == missing) list += " and";
      list += ' ';
    }
    list += '\'';
    list += spec.params[i];
    list += '\'';
  }
  const std::string who = callable_name(spec);
  raise_formatted(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
                  who.c_str(), missing, missing == 1 ? "" : "s", list.c_str());
}

}  // namespace

void match_into(const FunctionSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const std::size_t n = spec.n_params;
  for (std::size_t i = 0; i < n; ++i) slots[i] = nullptr;

  const std::size_t given = args ? static_cast<std::size_t>(PyTuple_Size(args)) : 0;
  if (given > n) raise_too_many(spec, given);
  for (std::size_t i = 0; i < given; ++i) {
    slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }

  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const std::size_t found = param_named(spec, key);
      if (found == n) {
        const std::string who = callable_name(spec);
        const Ref shown = PyUnicode_Check(key) ? Ref(Py_NewRef(key)) : take(PyObject_Str(key));
        raise_formatted(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", who.c_str(),
                        shown.get());
      }
      if (slots[found]) {
        const std::string who = callable_name(spec);
        raise_formatted(PyExc_TypeError, "%s got multiple values for argument '%s'", who.c_str(),
                        spec.params[found]);
      }
      slots[found] = value;
    }
  }

  if (given < spec.required) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < spec.required; ++i) missing += slots[i] == nullptr;
    if (missing > 0) raise_missing(spec, slots, missing);
  }
}

}  // namespace zelmo::py
