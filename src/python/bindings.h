// What the module registers: one accessor per class and one method
// definition per module function, each defined in its binding file; and the
// casts their method and slot tables need.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zelmo::py {

// Class type objects, built once per process (borrowed references).
PyTypeObject* hormonal_bus_type();       // hormonal_bus.cpp
PyTypeObject* hormonal_signal_type();    // hormonal_bus.cpp
PyTypeObject* context_apoptosis_type();  // context_apoptosis.cpp

// Module functions.
extern PyMethodDef dehydrate_def;           // dehydrate.cpp
extern PyMethodDef saturation_scan_def;     // saturation_scan.cpp
extern PyMethodDef consolidation_gain_def;  // consolidation_gain.cpp
extern PyMethodDef effort_gauge_def;        // effort_gauge.cpp

// Casts for method tables.
inline PyCFunction method(PyCFunctionWithKeywords f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
inline PyCFunction method(PyObject* (*f)(PyObject*, PyObject*)) noexcept { return f; }
// ... and for slot tables.
template <class F>
inline void* slot(F f) noexcept {
  return reinterpret_cast<void*>(f);
}

}  // namespace zelmo::py
