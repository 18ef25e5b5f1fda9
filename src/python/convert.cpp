// Reading ints, floats and bools, with the errors the interface promises.
#include "convert.h"

#include <cfloat>
#include <cmath>

#include "refs.h"

namespace zelmo::py {
namespace {

Interned g_name("__name__");
Interned g_module("__module__");

// An int as is, anything else through the index protocol.
Ref as_index(PyObject* obj) {
  if (PyLong_Check(obj)) return Ref(Py_NewRef(obj));
  return Ref(check(PyNumber_Index(obj)));
}

}  // namespace

std::uint32_t to_u32(PyObject* obj) {
  Ref v = as_index(obj);
  // Read as a signed 64-bit value first, as the interpreter's own overflow
  // error for huge values is part of the interface.
  long long x;
  if constexpr (sizeof(long) == 8) {
    x = PyLong_AsLong(v.get());
  } else {
    x = PyLong_AsLongLong(v.get());
  }
  if (x == -1 && PyErr_Occurred()) throw_error();
  if (x < 0 || x > 0xFFFFFFFFLL) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<std::uint32_t>(x);
}

std::uint64_t to_u64(PyObject* obj) {
  Ref v = as_index(obj);
  unsigned long long x = PyLong_AsUnsignedLongLong(v.get());
  if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error();
  return x;
}

std::size_t to_size(PyObject* obj) {
  // A machine-size count is read like any unsigned 64-bit one, so its errors
  // are the same; where size_t is narrower the interpreter's overflow text
  // for a too-large int is reused.
  const std::uint64_t x = to_u64(obj);
  if (x > SIZE_MAX) raise(PyExc_OverflowError, "int too big to convert");
  return static_cast<std::size_t>(x);
}

double to_double(PyObject* obj) {
  double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) throw_error();
  return d;
}

float narrow_to_single(double d) noexcept {
  if (std::isnan(d)) return static_cast<float>(d);
  const double mag = std::fabs(d);
  if (mag > static_cast<double>(FLT_MAX)) {
    // FLT_MAX + half an ulp is the midpoint to 2^128; FLT_MAX is odd, so the
    // tie rounds away to infinity.
    const double midpoint = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
    const float r = mag < midpoint ? FLT_MAX : HUGE_VALF;
    return d < 0 ? -r : r;
  }
  return static_cast<float>(d);
}

float to_single(PyObject* obj) { return narrow_to_single(to_double(obj)); }

bool to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  // A numpy boolean scalar, recognised by its type's module and name so that
  // numpy is not a dependency.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref module(PyObject_GetAttr(type, g_module.get()));
  Ref name(PyObject_GetAttr(type, g_name.get()));
  PyErr_Clear();
  if (module && name && PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
      (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
       PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0)) {
    auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(obj), Py_nb_bool));
    if (PyErr_Occurred()) PyErr_Clear();
    if (!nb_bool) {
      raise_naming_type(PyExc_TypeError,
                        "object of type '%U' does not define a '__bool__' conversion", obj);
    }
    int r = nb_bool(obj);
    if (r < 0) throw_error();
    return r != 0;
  }
  raise_type_mismatch(obj, "bool");
}

}  // namespace zelmo::py
