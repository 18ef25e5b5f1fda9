// Objects the frame creates: a null result, and the interned names.
#include "refs.h"

namespace zelmo::py {
namespace {
// A constructor of ours returned null. When the interpreter ran out of memory
// its MemoryError goes to the caller unchanged; any other null result is an
// internal fault (the pending exception, if any, is reported as unraisable).
[[noreturn]] void creation_failed() {
  if (PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_error();
    PyErr_WriteUnraisable(nullptr);
  }
  throw Fault("PyObject pointer is null");
}
}  // namespace

PyObject* created(PyObject* obj) {
  if (!obj) creation_failed();
  return obj;
}

PyObject* Interned::get() {
  if (!obj_) {
    PyObject* s = PyUnicode_InternFromString(text_);
    if (!s) creation_failed();
    obj_ = s;
  }
  return obj_;
}

}  // namespace zelmo::py
