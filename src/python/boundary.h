// The Python boundary: everything that turns interpreter objects into plain
// values and back, in one place.
//
// Every entry point (module function, method, constructor, slot) is written as
//
//     static PyObject* fn(PyObject* self, PyObject* args, PyObject* kwargs) {
//       return py::guard([&] {
//         py::Slots<2> a = py::match(kSpec, args, kwargs);     // argument matching
//         auto x = py::arg(kSpec, a, 0, py::to_text);          // conversion + note
//         auto y = a[1] ? py::arg(kSpec, a, 1, py::to_u32) : 0u;
//         ... pure work on plain values ...
//         return py::take(PyLong_FromLong(...));               // result building
//       });
//     }
//
// Failures travel as C++ exceptions inside the guard and leave exactly one
// Python exception set when the guard returns:
//   py::Error        a Python exception is already set (conversion, container
//                    operation, argument matching);
//   zelmo::Fault     an internal fault: the panic exception with its message;
//   std::bad_alloc   MemoryError.
// The cores never see a PyObject*; they only throw Fault and bad_alloc.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/fault.h"
#include "core/section_gate.h"

namespace zelmo::py {

// A Python exception is set on the current thread.
struct Error {};

[[noreturn]] inline void throw_error() { throw Error{}; }

// Takes the pending exception off the thread and returns its str().
std::string take_error_text() noexcept;

// Raises `type` with `message` and unwinds.
[[noreturn]] void raise(PyObject* type, const char* message);

// ---------------------------------------------------------------------------
// Owned references.

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
// fault. The pending exception is reported as unraisable first.
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

// ---------------------------------------------------------------------------
// The panic exception and the call guard.

// The panic exception class ("pyo3_runtime.PanicException", a BaseException
// only), created on first need. Null when it could not be created.
PyObject* panic_type();

// Sets the panic exception with `message` as the current exception.
void set_panic(const char* message) noexcept;

// Turns the C++ failure in flight into exactly one Python exception.
void set_current_failure() noexcept;

// Whether this thread is being ended because it asked for the interpreter
// lock back during finalisation (the interpreter then ends it with
// pthread_exit, which unwinds its stack). Frames on the way let that pass,
// and destructors that would release interpreter objects leave them alone:
// the thread no longer holds the lock and the process is ending.
bool interpreter_lost() noexcept;

// Runs `op` and converts its outcome into the interpreter's convention:
// the result object, or `failure` with one exception set.
//
// Not noexcept, on purpose: a daemon thread that asks for the interpreter lock
// back while the interpreter finalises is ended by the interpreter with
// pthread_exit, whose unwinding must cross this frame (a noexcept frame would
// turn it into std::terminate and abort the process at exit). That unwinding
// is passed on (see interpreter_lost()); every other exception is caught here.
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

// Entries that return an object: `op` returns a Ref (or a raw new reference).
template <class Op>
PyObject* guard(Op&& op) {
  try {
    if constexpr (std::is_same_v<decltype(op()), Ref>) {
      return op().release();
    } else {
      return op();
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

// ---------------------------------------------------------------------------
// Argument matching.

struct FunctionSpec {
  const char* name;        // "dehydrate", "insert", "__new__"
  const char* class_name;  // nullptr for module functions
  const char* const* params;
  std::size_t n_params;
  std::size_t required;
};

template <std::size_t N>
struct Params {
  const char* names[N];
};

// Defines a FunctionSpec with its parameter list, e.g.
//   ZELMO_SPEC(kInsert, "insert", "ContextApoptosis", 1, "content", "signal", "oxygen");
#define ZELMO_SPEC(ident, fname, cname, required_count, ...)                                   \
  static constexpr const char* ident##_params[] = {__VA_ARGS__};                               \
  static constexpr ::zelmo::py::FunctionSpec ident = {                                         \
      fname, cname, ident##_params, sizeof(ident##_params) / sizeof(ident##_params[0]),        \
      required_count}

// One borrowed object (or null when absent) per parameter.
template <std::size_t N>
struct Slots {
  std::array<PyObject*, N> obj{};
  PyObject* operator[](std::size_t i) const noexcept { return obj[i]; }
};

// Fills `slots` (length spec.n_params) from the call's arguments, or raises
// the matching TypeError.
void match_into(const FunctionSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots);

template <std::size_t N>
Slots<N> match(const FunctionSpec& spec, PyObject* args, PyObject* kwargs) {
  Slots<N> s;
  match_into(spec, args, kwargs, s.obj.data());
  return s;
}

// Attaches "while processing '{param}'" to the current exception (when the
// interpreter offers add_note), then unwinds.
[[noreturn]] void rethrow_with_note(const char* param);

// Converts one filled slot with `convert`, noting the parameter on failure.
template <std::size_t N, class Convert>
auto arg(const FunctionSpec& spec, const Slots<N>& slots, std::size_t i, Convert&& convert)
    -> decltype(convert(static_cast<PyObject*>(nullptr))) {
  try {
    return convert(slots[i]);
  } catch (const Error&) {
    rethrow_with_note(spec.params[i]);
  }
}

// The same for a slot that may be absent: `fallback` when it is.
template <std::size_t N, class Convert, class T>
auto arg_or(const FunctionSpec& spec, const Slots<N>& slots, std::size_t i, Convert&& convert,
            T fallback) -> decltype(convert(static_cast<PyObject*>(nullptr))) {
  if (!slots[i]) return fallback;
  return arg(spec, slots, i, std::forward<Convert>(convert));
}

// ---------------------------------------------------------------------------
// Conversions, one per kind. Each raises (Error) with the interpreter's or
// the frame's exception.

// "'{type}' object is not an instance of '{target}'".
[[noreturn]] void raise_type_mismatch(PyObject* obj, const char* target);

// text: the str's UTF-8 bytes for the length of a call. An ASCII str is read
// in place; any other str is converted into a buffer of ours or encoded into
// a bytes object, which this holder owns, so no UTF-8 copy stays cached on
// the caller's object.
class Utf8 {
 public:
  Utf8(Ref bytes, std::string_view view) noexcept : bytes_(std::move(bytes)), view_(view) {}
  // A buffer from malloc (grown with realloc), freed by this holder.
  struct Free {
    void operator()(unsigned char* p) const noexcept { std::free(p); }
  };
  using Buffer = std::unique_ptr<unsigned char, Free>;
  Utf8(Buffer buffer, std::size_t size) noexcept
      : buffer_(std::move(buffer)), view_(reinterpret_cast<const char*>(buffer_.get()), size) {}
  std::string_view view() const noexcept { return view_; }

 private:
  Ref bytes_;
  Buffer buffer_;
  std::string_view view_;
};
Utf8 to_utf8(PyObject* obj);
// text: an owned copy.
inline std::string to_text(PyObject* obj) { return std::string(to_utf8(obj).view()); }
// optional text: None is absent.
std::optional<std::string> to_optional_text(PyObject* obj);
std::uint32_t to_u32(PyObject* obj);
std::uint64_t to_u64(PyObject* obj);
std::size_t to_size(PyObject* obj);
double to_double(PyObject* obj);
float to_single(PyObject* obj);
bool to_bool(PyObject* obj);

// Rounds a double to the nearest single (ties to even); beyond the single
// range the result is the infinity of the same sign, NaN stays NaN. Written
// out so that no out-of-range float conversion (undefined in C++) happens.
float narrow_to_single(double d) noexcept;

// The UTF-8 byte length of a str, checked as the text conversion checks it (a
// lone surrogate raises the interpreter's UnicodeEncodeError), without
// encoding it and without leaving a cached UTF-8 copy on the object.
std::size_t utf8_length(PyObject* str);

// sequence of pairs: feeds `sink.reserve(n)` once with a bounded hint, then
// `sink.push(text, utf8_bytes, flags)` per item, in order. `text` is the
// item's str (or str subclass) after the text check, borrowed: the item may
// die after the push, so a sink that keeps it takes its own reference. A
// template, so that the per-item push inlines into the walk.
struct Pair {
  PyObject* text;  // borrowed from the item
  std::size_t utf8_bytes;
  std::uint32_t flags;
};
// The reservation hint of a pair sequence, after the checks that reject a
// str and a non-sequence.
std::size_t pairs_hint(PyObject* obj);
// One item: a 2-tuple of a str and a u32, read; raises what the conversion
// of a pair sequence raises.
Pair read_pair(PyObject* item);

template <class Sink>
void to_pairs(PyObject* obj, Sink& sink) {
  sink.reserve(pairs_hint(obj));
  Ref iter(check(PyObject_GetIter(obj)));
  while (PyObject* raw = PyIter_Next(iter.get())) {
    Ref item(raw);
    const Pair pair = read_pair(raw);
    sink.push(pair.text, pair.utf8_bytes, pair.flags);
  }
  if (PyErr_Occurred()) throw_error();
}

// Upper bound on how much a caller-reported length may reserve up front.
inline constexpr std::size_t kMaxReservationHint = std::size_t{1} << 16;

// ---------------------------------------------------------------------------
// The access guard: an atomic counter per instance. Shared access is counted;
// exclusive access swaps 0 for the exclusive mark.

class AccessGuard {
 public:
  bool try_shared() noexcept;
  void end_shared() noexcept { count_.fetch_sub(1, std::memory_order_release); }
  bool try_exclusive() noexcept;
  void end_exclusive() noexcept { count_.store(0, std::memory_order_release); }

 private:
  static constexpr std::intptr_t kExclusive = -1;
  std::atomic<std::intptr_t> count_{0};
};

// RAII shared access; raises RuntimeError "Already mutably borrowed".
class SharedAccess {
 public:
  explicit SharedAccess(AccessGuard& g);
  ~SharedAccess() { g_.end_shared(); }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;

 private:
  AccessGuard& g_;
};

// RAII exclusive access; raises RuntimeError "Already borrowed".
class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(AccessGuard& g);
  ~ExclusiveAccess() { g_.end_exclusive(); }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

 private:
  AccessGuard& g_;
};

// ---------------------------------------------------------------------------
// Class instances: a Python object header, the access guard and one native
// value that the instance owns.

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

// Casts for method tables.
inline PyCFunction method(PyCFunctionWithKeywords f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}
inline PyCFunction method(PyObject* (*f)(PyObject*, PyObject*)) noexcept { return f; }
template <class F>
inline void* slot(F f) noexcept {
  return reinterpret_cast<void*>(f);
}

// ---------------------------------------------------------------------------
// Lock-free section: runs pure work with the interpreter lock released and
// takes it back before anything else happens, also when the work throws.
//
// The section passes the fork gate (section_gate.h), so a fork never copies
// it half-done. Taking the lock back is an ordinary call, never one made from
// a destructor: while the interpreter finalises, it ends a daemon thread
// right there with pthread_exit, and that unwinding may cross only frames
// that let it pass and destructors that don't touch the interpreter (see
// interpreter_lost()).

// Leaves the section and takes the interpreter lock back.
void end_section(PyThreadState* state);

template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  PyThreadState* state = PyEval_SaveThread();
  enter_section();
  if constexpr (std::is_void_v<decltype(work())>) {
    try {
      work();
    } catch (...) {
      end_section(state);
      throw;
    }
    end_section(state);
  } else {
    std::optional<decltype(work())> result;
    try {
      result.emplace(work());
    } catch (...) {
      end_section(state);
      throw;
    }
    end_section(state);
    return std::move(*result);
  }
}

}  // namespace zelmo::py
