// Failures at the boundary: how they travel through a frame and how each
// leaves the frame as exactly one Python exception.
//
// Every entry point (module function, method, constructor, slot) runs its
// body inside a guard:
//
//     static PyObject* fn(PyObject* self, PyObject* args, PyObject* kwargs) {
//       return py::guard([&] {
//         ... match and convert the arguments, do the work, build the result ...
//       });
//     }
//
// Inside the guard failures are C++ exceptions:
//   py::Error        a Python exception is already set (conversion, container
//                    operation, argument matching);
//   zelmo::Fault     an internal fault: the panic exception with its message;
//   std::bad_alloc   MemoryError.
// The cores never see a PyObject*; they only throw Fault and bad_alloc.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <type_traits>

#include "core/fault.h"
#include "section.h"

namespace zelmo::py {

// A Python exception is set on the current thread.
struct Error {};

[[noreturn]] inline void throw_error() { throw Error{}; }

// Takes the pending exception off the thread and returns its str().
std::string take_error_text() noexcept;

// Raises `type` with `message` and unwinds.
[[noreturn]] void raise(PyObject* type, const char* message);

// Raises `type` with a message built by PyUnicode_FromFormat and unwinds.
// When the message can't be built, the interpreter's MemoryError stands
// instead; any other failure to build it is a fault.
[[noreturn]] void raise_formatted(PyObject* type, const char* format, ...);

// Raises `type` with a message whose one "%U" is the `__qualname__` of
// obj's type (a placeholder when that can't be read as a str).
[[noreturn]] void raise_naming_type(PyObject* type, const char* format, PyObject* obj);

// "'{type}' object is not an instance of '{target}'" (a TypeError).
[[noreturn]] void raise_type_mismatch(PyObject* obj, const char* target);

// Attaches "while processing '{param}'" to the current exception (when the
// interpreter offers add_note; a panic is left as it is), then unwinds.
[[noreturn]] void rethrow_with_note(const char* param);

// ---------------------------------------------------------------------------
// The panic exception.

// The panic exception class ("pyo3_runtime.PanicException", a BaseException
// only), created on first need. Null when it could not be created.
PyObject* panic_type();

// Sets the panic exception with `message` as the current exception.
void set_panic(const char* message) noexcept;

// ---------------------------------------------------------------------------
// The call guard.

// Turns the C++ failure in flight into exactly one Python exception.
void set_current_failure() noexcept;

// Runs `op` and converts its outcome into the interpreter's convention:
// the result object, or `failure` with one exception set.
//
// Not noexcept, on purpose: a daemon thread that asks for the interpreter lock
// back while the interpreter finalises is ended by the interpreter with
// pthread_exit, whose unwinding must cross this frame (a noexcept frame would
// turn it into std::terminate and abort the process at exit). That unwinding
// is passed on (see interpreter_lost() in section.h); every other exception
// is caught here.
template <class Op>
auto guard_with(Op&& op, decltype(op()) failure) -> decltype(op()) {
  try {
    return op();
  } catch (...) {
    if (interpreter_lost()) throw;
    set_current_failure();
    return failure;
  }
}

// Entries that return an object: `op` returns an owned reference (a Ref) or
// a raw new reference.
template <class Op>
PyObject* guard(Op&& op) {
  try {
    if constexpr (std::is_same_v<decltype(op()), PyObject*>) {
      return op();
    } else {
      return op().release();
    }
  } catch (...) {
    if (interpreter_lost()) throw;
    set_current_failure();
    return nullptr;
  }
}

// Deallocation: a fault is raised and reported at once as unraisable; the
// slot then returns normally.
template <class Op>
void guard_noraise(PyObject* context, Op&& op) noexcept {
  try {
    op();
  } catch (...) {
    set_current_failure();
    PyErr_WriteUnraisable(context);
  }
}

}  // namespace zelmo::py
