// The module definition and its execution step.
//
// The module uses multi-phase initialisation: PyInit_zelmo_micro only hands
// the definition to the interpreter, which creates the module object and runs
// `exec_module`. That step registers, in this order, the three classes, the
// four functions, the six block-class constants, the title and the version;
// every registration goes through `add`, which also lists the name in
// `__all__`.
#include "bindings.h"
#include "errors.h"
#include "refs.h"
#include "core/block_model.h"
#include "core/section_gate.h"

namespace zelmo::py {
namespace {

constexpr const char kTitle[] =
    "Z.E.L.M.O. Micro-Kernel \xE2\x80\x94 lock-free hormonal bus + context apoptosis.";
constexpr const char kVersion[] = "1.1.0";

Interned k_all("__all__");
Interned k_name("__name__");

// Sets module.name = value and appends name to module.__all__.
void add(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* all = PyObject_GetAttr(module, k_all.get());
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    all = created(PyList_New(0));
    if (PyObject_SetAttr(module, k_all.get(), all) < 0) {
      Py_DECREF(all);
      throw_error();
    }
  }
  Ref all_ref(all);
  if (!PyList_Check(all)) raise_type_mismatch(all, "list");
  if (PyList_Append(all, name) < 0) {
    throw Fault("could not append __name__ to __all__: " + take_error_text());
  }
  check(PyObject_SetAttr(module, name, value));
}

// The interpreter's own failures to make a name or value propagate unchanged.
void add(PyObject* module, const char* name, PyObject* new_value) {
  Ref value(check(new_value));
  Ref key(check(PyUnicode_FromString(name)));
  add(module, key.get(), value.get());
}

void add_class(PyObject* module, const char* name, PyTypeObject* type) {
  add(module, name, Py_NewRef(reinterpret_cast<PyObject*>(type)));
}

void add_function(PyObject* module, PyMethodDef& def) {
  Ref module_name(check(PyModule_GetNameObject(module)));
  Ref fn(check(PyCFunction_NewEx(&def, module, module_name.get())));
  Ref name(check(PyObject_GetAttr(fn.get(), k_name.get())));
  if (!PyUnicode_Check(name.get())) raise_type_mismatch(name.get(), "str");
  add(module, name.get(), fn.get());
}

int exec_module(PyObject* module) {
  return guard_with(
      [&]() -> int {
        if (!PyModule_Check(module)) raise_type_mismatch(module, "module");
        // Forks wait for running lock-free sections (section_gate.h).
        if (!install_fork_hooks()) throw std::bad_alloc();

        // Classes.
        add_class(module, "HormonalBus", hormonal_bus_type());
        add_class(module, "HormonalSignal", hormonal_signal_type());
        add_class(module, "ContextApoptosis", context_apoptosis_type());

        // Functions.
        add_function(module, dehydrate_def);
        add_function(module, saturation_scan_def);
        add_function(module, consolidation_gain_def);
        add_function(module, effort_gauge_def);

        // Block-class constants.
        static constexpr struct {
          const char* name;
          std::uint32_t value;
        } kConstants[] = {{"SYSTEM", SYSTEM}, {"USER", USER}, {"ASSISTANT", ASSISTANT},
                          {"FACT", FACT},     {"TOOL", TOOL}, {"THINKING", THINKING}};
        for (const auto& c : kConstants) {
          add(module, c.name, PyLong_FromLong(static_cast<long>(c.value)));
        }

        add(module, "__doc__", PyUnicode_FromString(kTitle));
        add(module, "__version__", PyUnicode_FromString(kVersion));
        return 0;
      },
      -1);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "zelmo_micro",
    "The native module \xE2\x80\x94 `import zelmo_micro`.",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zelmo::py

extern "C" PyMODINIT_FUNC PyInit_zelmo_micro(void) {
  return PyModuleDef_Init(&zelmo::py::g_module);
}
