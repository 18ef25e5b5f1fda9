// Argument matching: a callable's parameter list, the positional and keyword
// arguments of a call matched to it, and each argument's conversion with a
// note that names the parameter when it fails.
//
//     ZELMO_SPEC(kSpec, "insert", "ContextApoptosis", 1, "content", "signal", "oxygen");
//     py::Slots<3> a = py::match<3>(kSpec, args, kwargs);
//     auto content = py::arg(kSpec, a, 0, py::to_text);
//     auto signal = py::arg_or(kSpec, a, 1, py::to_u32, 0u);
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "errors.h"

namespace zelmo::py {

struct FunctionSpec {
  const char* name;        // "dehydrate", "insert", "__new__"
  const char* class_name;  // nullptr for module functions
  const char* const* params;
  std::size_t n_params;
  std::size_t required;
};

// Defines a FunctionSpec with its parameter list, e.g.
//   ZELMO_SPEC(kInsert, "insert", "ContextApoptosis", 1, "content", "signal", "oxygen");
#define ZELMO_SPEC(ident, fname, cname, required_count, ...)                                   \
  static constexpr const char* ident##_params[] = {__VA_ARGS__};                               \
  static constexpr ::zelmo::py::FunctionSpec ident = {                                         \
      fname, cname, ident##_params, sizeof(ident##_params) / sizeof(ident##_params[0]),        \
      required_count}

// One borrowed object (or null when absent) per parameter.
template <std::size_t N>
struct Slots {
  std::array<PyObject*, N> obj{};
  PyObject* operator[](std::size_t i) const noexcept { return obj[i]; }
};

// Fills `slots` (length spec.n_params) from the call's arguments, or raises
// the matching TypeError.
void match_into(const FunctionSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots);

// A call with one positional argument per parameter and no keywords (the
// usual hot-path call) is read straight from the tuple; any other shape goes
// through match_into, which raises what it promises.
template <std::size_t N>
Slots<N> match(const FunctionSpec& spec, PyObject* args, PyObject* kwargs) {
  Slots<N> s;
  if (!kwargs && args && spec.n_params == N && PyTuple_Size(args) == static_cast<Py_ssize_t>(N)) {
    for (std::size_t i = 0; i < N; ++i) s.obj[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    return s;
  }
  match_into(spec, args, kwargs, s.obj.data());
  return s;
}

// Converts one filled slot with `convert`, noting the parameter on failure.
template <std::size_t N, class Convert>
auto arg(const FunctionSpec& spec, const Slots<N>& slots, std::size_t i, Convert&& convert)
    -> decltype(convert(static_cast<PyObject*>(nullptr))) {
  try {
    return convert(slots[i]);
  } catch (const Error&) {
    rethrow_with_note(spec.params[i]);
  }
}

// The same for a slot that may be absent: `fallback` when it is.
template <std::size_t N, class Convert, class T>
auto arg_or(const FunctionSpec& spec, const Slots<N>& slots, std::size_t i, Convert&& convert,
            T fallback) -> decltype(convert(static_cast<PyObject*>(nullptr))) {
  if (!slots[i]) return fallback;
  return arg(spec, slots, i, std::forward<Convert>(convert));
}

}  // namespace zelmo::py
