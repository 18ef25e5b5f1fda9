// Owned references to interpreter objects, interned names, and the builders
// of the objects a frame hands back (numbers, text, containers).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "errors.h"

namespace zelmo::py {

class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* owned) noexcept : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// For objects the frame builds (results, keys): a null return is an internal
// fault. The pending exception is reported as unraisable first; a
// MemoryError goes to the caller unchanged.
PyObject* created(PyObject* obj);
inline Ref take(PyObject* obj) { return Ref(created(obj)); }

// For interpreter calls whose failure is an ordinary Python exception
// (PyDict_SetItem, PyList_Append, iteration, attribute access).
inline PyObject* check(PyObject* obj) {
  if (!obj) throw_error();
  return obj;
}
inline void check(int status) {
  if (status < 0) throw_error();
}

// A str made once per process and kept (interned dictionary keys, attribute
// names). Creation happens under the interpreter lock.
class Interned {
 public:
  constexpr explicit Interned(const char* text) noexcept : text_(text) {}
  PyObject* get();  // borrowed

 private:
  const char* text_;
  PyObject* obj_ = nullptr;
};

// ---------------------------------------------------------------------------
// Result builders. Each returns a new reference or faults.

inline Ref new_u64(std::uint64_t v) { return take(PyLong_FromUnsignedLongLong(v)); }
// unsigned long holds every u32 on every platform (long may be 32 bits).
inline Ref new_u32(std::uint32_t v) { return take(PyLong_FromUnsignedLong(v)); }
inline Ref new_float(double v) { return take(PyFloat_FromDouble(v)); }
inline Ref new_bool(bool v) { return Ref(Py_NewRef(v ? Py_True : Py_False)); }
inline Ref new_none() { return Ref(Py_NewRef(Py_None)); }
inline Ref new_text(std::string_view s) {
  return take(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref new_dict() { return take(PyDict_New()); }
inline Ref new_list(std::size_t n) { return take(PyList_New(static_cast<Py_ssize_t>(n))); }
inline Ref new_tuple(std::size_t n) { return take(PyTuple_New(static_cast<Py_ssize_t>(n))); }

// Sets dict[key] = value, consuming `value`.
inline void dict_set(PyObject* dict, Interned& key, Ref value) {
  check(PyDict_SetItem(dict, key.get(), value.get()));
}
// Stores `value` at index i of a list or tuple built by size (steals it).
inline void list_put(PyObject* list, std::size_t i, Ref value) {
  PyList_SetItem(list, static_cast<Py_ssize_t>(i), value.release());
}
inline void tuple_put(PyObject* tuple, std::size_t i, Ref value) {
  PyTuple_SetItem(tuple, static_cast<Py_ssize_t>(i), value.release());
}
inline void list_append(PyObject* list, Ref value) { check(PyList_Append(list, value.get())); }

}  // namespace zelmo::py
