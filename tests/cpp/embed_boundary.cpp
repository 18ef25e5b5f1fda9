// Boundary machinery that Python code cannot reach through the public API,
// unit by unit:
//   access     shared/exclusive conflicts and their release;
//   errors     the guard's outcomes (the missing-exception rule, faults, a
//              null object while results are built), the dealloc guard, a
//              type mismatch on a type whose name can't be read;
//   arguments  too many, too few and three missing names;
//   convert    bool-like scalars without __bool__, narrowing to single;
//   section    the interpreter lock restored when the work throws.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "check.h"
#include "python/access.h"
#include "python/arguments.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/refs.h"
#include "python/section.h"

using namespace zelmo;
using namespace zelmo::py;

static void expect(bool ok, const char* what) { zelmo_test::check(ok, what, __FILE__, __LINE__); }

// Takes the pending exception and checks its type and str().
static void expect_error(PyObject* type, const char* message, const char* what) {
  PyObject* exc_type = PyErr_Occurred();
  bool ok = exc_type && PyErr_GivenExceptionMatches(exc_type, type);
  std::string text = take_error_text();
  if (message && text != message) {
    std::fprintf(stderr, "  got message: %s\n", text.c_str());
    ok = false;
  }
  expect(ok, what);
}

static PyObject* run(PyObject* (*op)()) { return guard([&] { return op(); }); }

// Runs Python source in a fresh namespace and returns that namespace.
static PyObject* run_python(const char* source) {
  PyObject* globals = PyDict_New();
  PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
  PyObject* r = PyRun_String(source, Py_file_input, globals, globals);
  expect(r != nullptr, "helper classes built");
  Py_XDECREF(r);
  return globals;
}

static void test_access_guard() {
  AccessGuard g;
  PyObject* r = guard([&]() -> PyObject* {
    SharedAccess a(g);
    SharedAccess b(g);  // shared accesses coexist
    ExclusiveAccess c(g);
    return nullptr;
  });
  expect(r == nullptr, "exclusive refused while shared");
  expect_error(PyExc_RuntimeError, "Already borrowed", "Already borrowed");

  r = guard([&]() -> PyObject* {
    ExclusiveAccess c(g);
    SharedAccess a(g);
    return nullptr;
  });
  expect_error(PyExc_RuntimeError, "Already mutably borrowed", "Already mutably borrowed");

  expect(g.try_exclusive(), "guard released after both conflicts");
  g.end_exclusive();
}

static void test_guard_outcomes() {
  expect(run([]() -> PyObject* { throw Error{}; }) == nullptr, "error without exception fails");
  expect_error(PyExc_SystemError, "attempted to fetch exception but none was set", "SystemError");

  run([]() -> PyObject* { throw Fault("capacity overflow"); });
  expect_error(panic_type(), "capacity overflow", "fault becomes panic");
  expect(!PyErr_GivenExceptionMatches(panic_type(), PyExc_Exception), "panic is not an Exception");

  run([]() -> PyObject* { throw std::bad_alloc(); });
  expect_error(PyExc_MemoryError, nullptr, "bad_alloc becomes MemoryError");

  // An object constructor returning null: the pending error is reported as
  // unraisable, then the fault surfaces.
  run([]() -> PyObject* {
    PyErr_SetString(PyExc_ValueError, "pending");
    return created(nullptr);
  });
  expect_error(panic_type(), "PyObject pointer is null", "null object is a fault");

  PyObject* ok = run([]() -> PyObject* { return new_u64(42).release(); });
  expect(ok && PyLong_AsLong(ok) == 42, "success returns the result");
  Py_XDECREF(ok);
}

static void test_noraise_guard() {
  guard_noraise(Py_None, [] { throw Fault("in dealloc"); });
  expect(!PyErr_Occurred(), "dealloc fault is reported, not left set");
}

static void test_missing_three() {
  ZELMO_SPEC(kThree, "f", "C", 3, "a", "b", "c", "d");
  PyObject* args = PyTuple_New(0);
  PyObject* r = guard([&]() -> PyObject* {
    match<4>(kThree, args, nullptr);
    return nullptr;
  });
  expect(r == nullptr, "missing arguments fail");
  expect_error(PyExc_TypeError, "C.f() missing 3 required positional arguments: 'a', 'b', and 'c'",
               "three missing names");
  Py_DECREF(args);

  ZELMO_SPEC(kOne, "g", nullptr, 1, "x");
  args = Py_BuildValue("(ii)", 1, 2);
  guard([&]() -> PyObject* {
    match<1>(kOne, args, nullptr);
    return nullptr;
  });
  expect_error(PyExc_TypeError, "g() takes 1 positional arguments but 2 were given", "one param");
  Py_DECREF(args);
  ZELMO_SPEC(kNone, "h", nullptr, 0, "x", "y");
  PyObject* three = Py_BuildValue("(iii)", 1, 2, 3);
  guard([&]() -> PyObject* {
    match<2>(kNone, three, nullptr);
    return nullptr;
  });
  expect_error(PyExc_TypeError, "h() takes from 0 to 2 positional arguments but 3 were given",
               "optional params");
  Py_DECREF(three);
}

// A type whose __qualname__ can't be read, or isn't a str, is named by the
// placeholder.
static void test_unnamed_type_mismatch() {
  PyObject* globals = run_python(
      "def meta(qualname):\n"
      "    class Meta(type):\n"
      "        def __getattribute__(cls, name):\n"
      "            if name == '__qualname__':\n"
      "                return qualname()\n"
      "            return super().__getattribute__(name)\n"
      "    return Meta\n"
      "def fail():\n"
      "    raise LookupError('no name')\n"
      "class Odd(metaclass=meta(fail)): pass\n"
      "class Numbered(metaclass=meta(lambda: 42)): pass\n"
      "odd = Odd(); numbered = Numbered()\n");
  for (const char* name : {"odd", "numbered"}) {
    PyObject* obj = PyDict_GetItemString(globals, name);
    if (!obj) continue;
    PyObject* out = guard([&]() -> PyObject* { raise_type_mismatch(obj, "str"); });
    expect(out == nullptr, "type mismatch fails");
    expect_error(PyExc_TypeError, "'<failed to extract type name>' object is not an instance of 'str'",
                 "unreadable type name becomes the placeholder");
  }
  Py_DECREF(globals);
}

static void test_bool_scalars() {
  PyObject* globals = run_python(
      "Fake = type('bool_', (), {'__module__': 'numpy'})\n"
      "Real = type('bool', (), {'__module__': 'numpy', '__bool__': lambda self: True})\n"
      "fake = Fake(); real = Real()\n");
  PyObject* fake = PyDict_GetItemString(globals, "fake");
  PyObject* real = PyDict_GetItemString(globals, "real");

  PyObject* out = guard([&] { return new_bool(to_bool(real)).release(); });
  expect(out == Py_True, "numpy-like bool scalar asked through __bool__");
  Py_XDECREF(out);

  guard([&] { return new_bool(to_bool(fake)).release(); });
  expect_error(PyExc_TypeError, "object of type 'bool_' does not define a '__bool__' conversion",
               "bool scalar without __bool__");

  guard([&] { return new_bool(to_bool(Py_None)).release(); });
  expect_error(PyExc_TypeError, "'None' is not an instance of 'bool'", "None is not a bool");
  Py_DECREF(globals);
}

static void test_without_gil_restores_on_throw() {
  try {
    without_gil([]() -> int { throw Fault("inside"); });
  } catch (const Fault&) {
  }
  expect(PyGILState_Check() == 1, "interpreter lock back after a throwing section");
  int v = without_gil([] { return 7; });
  expect(v == 7 && PyGILState_Check() == 1, "section returns its value");
}

static void test_narrowing() {
  expect(narrow_to_single(1e39) == HUGE_VALF, "beyond range is +inf");
  expect(narrow_to_single(-1e39) == -HUGE_VALF, "beyond range is -inf");
  const double midpoint = 3.4028235677973366e38;  // FLT_MAX + 2^103
  expect(narrow_to_single(3.4028235e38) == 3.4028234663852886e38f, "rounds down to FLT_MAX");
  expect(narrow_to_single(std::nextafter(midpoint, 0.0)) == 3.4028234663852886e38f,
         "just below the midpoint");
  expect(narrow_to_single(midpoint) == HUGE_VALF, "the midpoint ties to inf");
  expect(narrow_to_single(0.1) == 0.1f, "ordinary rounding");
}

int main() {
  Py_Initialize();
  test_access_guard();
  test_guard_outcomes();
  test_noraise_guard();
  test_missing_three();
  test_bool_scalars();
  test_unnamed_type_mismatch();
  test_without_gil_restores_on_throw();
  test_narrowing();
  if (PyErr_Occurred()) {
    PyErr_Print();
    expect(false, "no exception left pending");
  }
  Py_Finalize();
  return zelmo_test::check_summary();
}
