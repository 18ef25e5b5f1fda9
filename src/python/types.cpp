// Heap types built once per process.
#include "types.h"

namespace zelmo::py {

PyTypeObject* type_once(PyObject*& cache, PyType_Spec& spec) {
  if (!cache) {
    PyObject* t = PyType_FromSpec(&spec);
    if (!t) throw_error();
    // Another import may have raced us while the type was being built.
    if (cache) {
      Py_DECREF(t);
    } else {
      cache = t;
    }
  }
  return reinterpret_cast<PyTypeObject*>(cache);
}

}  // namespace zelmo::py
