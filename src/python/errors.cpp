// Raising, the argument note, the panic exception and the conversion of a
// C++ failure into the Python exception the caller sees.
#include "errors.h"

#include <cstdarg>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "refs.h"

namespace zelmo::py {
namespace {

// PyErr_Fetch/PyErr_Restore are the exception-state calls that every
// supported interpreter offers in its stable ABI; newer headers mark them
// deprecated in favour of calls that 3.10 lacks.
#if defined(__GNUC__)
#define ZELMO_ALLOW_DEPRECATED_BEGIN \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"")
#define ZELMO_ALLOW_DEPRECATED_END _Pragma("GCC diagnostic pop")
#else
#define ZELMO_ALLOW_DEPRECATED_BEGIN
#define ZELMO_ALLOW_DEPRECATED_END
#endif

// The pending exception, taken off the thread (normalised) and put back.
struct Pending {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;

  static Pending fetch() noexcept {
    Pending p;
    ZELMO_ALLOW_DEPRECATED_BEGIN
    PyErr_Fetch(&p.type, &p.value, &p.traceback);
    PyErr_NormalizeException(&p.type, &p.value, &p.traceback);
    ZELMO_ALLOW_DEPRECATED_END
    return p;
  }
  void restore() noexcept {
    ZELMO_ALLOW_DEPRECATED_BEGIN
    PyErr_Restore(type, value, traceback);
    ZELMO_ALLOW_DEPRECATED_END
    type = value = traceback = nullptr;
  }
};

PyObject* g_panic_type = nullptr;
Interned g_qualname("__qualname__");
Interned g_add_note("add_note");

// The `__qualname__` of an object's type, or the placeholder when it can't be
// read as a str.
Ref type_qualname(PyObject* obj) {
  PyObject* qn = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), g_qualname.get());
  if (qn && PyUnicode_Check(qn)) return Ref(qn);
  Py_XDECREF(qn);
  PyErr_Clear();
  return take(PyUnicode_FromString("<failed to extract type name>"));
}

[[noreturn]] void raise_object(PyObject* type, Ref message) {
  PyErr_SetObject(type, message.get());
  throw_error();
}

bool is_panic_pending() noexcept {
  return g_panic_type && PyErr_ExceptionMatches(g_panic_type);
}

// The str() of an exception value as UTF-8; empty when it has none.
std::string str_of(PyObject* value) noexcept {
  std::string out;
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  if (text) {
    Py_ssize_t n = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &n)) {
      out.assign(utf8, static_cast<std::size_t>(n));
    }
    Py_DECREF(text);
  }
  PyErr_Clear();
  return out;
}

// A panic raised by Python code into the module: print it and raise it again
// as a fault with the same message.
void resume_panic() noexcept {
  Pending p = Pending::fetch();
  std::string message = str_of(p.value);
  p.restore();
  PyErr_PrintEx(0);
  set_panic(message.c_str());
}

}  // namespace

std::string take_error_text() noexcept {
  Pending p = Pending::fetch();
  std::string text = str_of(p.value);
  Py_XDECREF(p.type);
  Py_XDECREF(p.value);
  Py_XDECREF(p.traceback);
  return text;
}

[[noreturn]] void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw_error();
}

[[noreturn]] void raise_formatted(PyObject* type, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  PyObject* message = PyUnicode_FromFormatV(format, args);
  va_end(args);
  raise_object(type, take(message));
}

[[noreturn]] void raise_naming_type(PyObject* type, const char* format, PyObject* obj) {
  Ref name = type_qualname(obj);
  raise_formatted(type, format, name.get());
}

[[noreturn]] void raise_type_mismatch(PyObject* obj, const char* target) {
  if (obj == Py_None) raise_formatted(PyExc_TypeError, "'None' is not an instance of '%s'", target);
  Ref name = type_qualname(obj);
  raise_formatted(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), target);
}

[[noreturn]] void rethrow_with_note(const char* param) {
  if (!PyErr_Occurred() || is_panic_pending()) throw_error();
  Pending p = Pending::fetch();
  if (p.value) {
    PyObject* note = PyUnicode_FromFormat("while processing '%s'", param);
    PyObject* r = note ? PyObject_CallMethodObjArgs(p.value, g_add_note.get(), note, nullptr)
                       : nullptr;
    Py_XDECREF(note);
    Py_XDECREF(r);
    // No add_note (before 3.11) or a failing one: the first exception wins.
    if (!r) PyErr_Clear();
  }
  p.restore();
  throw_error();
}

// ---------------------------------------------------------------------------
// The panic exception and the call guard.

PyObject* panic_type() {
  if (!g_panic_type) {
    static const char kDoc[] =
        "Raised when native code called from Python fails in a way it cannot recover from.\n\n"
        "Like SystemExit, this exception derives from BaseException, not Exception, so it\n"
        "normally propagates through the whole stack and ends the interpreter.";
    PyObject* t = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kDoc,
                                            PyExc_BaseException, nullptr);
    if (!t) return nullptr;
    g_panic_type = t;
  }
  return g_panic_type;
}

void set_panic(const char* message) noexcept {
  // When the panic itself can't be made (no memory, or a caller replaced the
  // class's __init__), what the interpreter raised on the way stands instead.
  PyObject* type = panic_type();
  PyObject* text = type ? PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                               "replace")
                        : nullptr;
  PyObject* value = text ? PyObject_CallFunctionObjArgs(type, text, nullptr) : nullptr;
  Py_XDECREF(text);
  if (!value) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return;
  }
  PyErr_SetObject(type, value);
  Py_DECREF(value);
}

void set_current_failure() noexcept {
  try {
    throw;
  } catch (const Error&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    } else if (is_panic_pending()) {
      resume_panic();
    }
  } catch (const Fault& f) {
    set_panic(f.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("unknown internal fault");
  }
}

}  // namespace zelmo::py
