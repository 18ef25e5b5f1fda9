// Class instances and their types: the instance layout (object header,
// access guard, one owned native value), allocation and deallocation, the
// instance check of an argument, and the heap type built once per process.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

#include "access.h"
#include "errors.h"

namespace zelmo::py {

template <class T>
struct Instance {
  PyObject_HEAD
  AccessGuard access;
  T value;
};

template <class T>
inline Instance<T>* as_instance(PyObject* self) noexcept {
  return reinterpret_cast<Instance<T>*>(self);
}

// Allocates an instance of `type` and moves `value` into it.
template <class T>
PyObject* new_instance(PyTypeObject* type, T&& value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc ? alloc(type, 0) : nullptr;
  if (!self) throw_error();
  auto* inst = as_instance<std::decay_t<T>>(self);
  new (&inst->access) AccessGuard();
  new (&inst->value) std::decay_t<T>(std::forward<T>(value));
  return self;
}

// The tp_dealloc slot for Instance<T>: destroys the value, frees the object
// through the type's free slot and drops the instance's type reference.
template <class T>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  guard_noraise(self, [&] {
    auto* inst = as_instance<T>(self);
    inst->value.~T();
    inst->access.~AccessGuard();
  });
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// instance of a class: the instance of `type` (or a subclass) or a
// type-mismatch TypeError naming `target`.
template <class T>
Instance<T>* to_instance(PyObject* obj, PyTypeObject* type, const char* target) {
  if (!PyObject_TypeCheck(obj, type)) raise_type_mismatch(obj, target);
  return as_instance<T>(obj);
}

// Builds a heap type from `spec` once per process; later calls return the
// same object. Borrowed; the type lives until the process ends.
PyTypeObject* type_once(PyObject*& cache, PyType_Spec& spec);

}  // namespace zelmo::py
