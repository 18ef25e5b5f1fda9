// The Python boundary: argument matching, conversions, argument notes, the
// panic exception, the call guard and the access guard.
#include "boundary.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <string>

#include "core/utf8.h"

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
Interned g_name("__name__");
Interned g_module("__module__");
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

// The name of a callable as its messages show it: "f()" or "Class.f()".
std::string callable_name(const FunctionSpec& spec) {
  std::string s;
  if (spec.class_name) {
    s += spec.class_name;
    s += '.';
  }
  s += spec.name;
  s += "()";
  return s;
}

[[noreturn]] void raise_format(PyObject* type, Ref message) {
  PyErr_SetObject(type, message.get());
  throw_error();
}

bool is_panic_pending() noexcept {
  return g_panic_type && PyErr_ExceptionMatches(g_panic_type);
}

// A panic raised by Python code into the module: print it and raise it again
// as a fault with the same message.
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

void resume_panic() noexcept {
  Pending p = Pending::fetch();
  std::string message = str_of(p.value);
  p.restore();
  PyErr_PrintEx(0);
  set_panic(message.c_str());
}

}  // namespace

// ---------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------
// Panic exception and call guard.

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

// ---------------------------------------------------------------------------
// Lock-free sections.

namespace {
thread_local bool t_interpreter_lost = false;
}  // namespace

bool interpreter_lost() noexcept { return t_interpreter_lost; }

void end_section(PyThreadState* state) {
  leave_section();
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    // Only the interpreter's pthread_exit unwinds out of this call: it is
    // finalising and ends this thread, which never gets the lock back. The
    // unwinding goes on, flagged for the frames and destructors on its way.
    t_interpreter_lost = true;
    throw;
  }
}

// ---------------------------------------------------------------------------
// Argument matching.

void match_into(const FunctionSpec& spec, PyObject* args, PyObject* kwargs, PyObject** slots) {
  const std::size_t n = spec.n_params;
  for (std::size_t i = 0; i < n; ++i) slots[i] = nullptr;

  const std::size_t given = args ? static_cast<std::size_t>(PyTuple_Size(args)) : 0;
  if (given > n) {
    const char* verb = given == 1 ? "was" : "were";
    std::string who = callable_name(spec);
    if (spec.required == n) {
      raise_format(PyExc_TypeError,
                   take(PyUnicode_FromFormat("%s takes %zu positional arguments but %zu %s given",
                                             who.c_str(), n, given, verb)));
    }
    raise_format(PyExc_TypeError,
                 take(PyUnicode_FromFormat(
                     "%s takes from %zu to %zu positional arguments but %zu %s given", who.c_str(),
                     spec.required, n, given, verb)));
  }
  for (std::size_t i = 0; i < given; ++i) {
    slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  }

  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::size_t found = n;
      if (PyUnicode_Check(key)) {
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
        if (!utf8) {
          PyErr_Clear();  // an unencodable name matches no parameter
        } else {
          std::string_view name(utf8, static_cast<std::size_t>(len));
          for (std::size_t i = 0; i < n; ++i) {
            if (name == spec.params[i]) {
              found = i;
              break;
            }
          }
        }
      }
      if (found == n) {
        std::string who = callable_name(spec);
        Ref shown = PyUnicode_Check(key) ? Ref(Py_NewRef(key)) : take(PyObject_Str(key));
        raise_format(PyExc_TypeError,
                     take(PyUnicode_FromFormat("%s got an unexpected keyword argument '%U'",
                                               who.c_str(), shown.get())));
      }
      if (slots[found]) {
        std::string who = callable_name(spec);
        raise_format(PyExc_TypeError,
                     take(PyUnicode_FromFormat("%s got multiple values for argument '%s'",
                                               who.c_str(), spec.params[found])));
      }
      slots[found] = value;
    }
  }

  if (given < spec.required) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < spec.required; ++i) missing += slots[i] == nullptr;
    if (missing > 0) {
      std::string list;
      std::size_t listed = 0;
      for (std::size_t i = 0; i < spec.required; ++i) {
        if (slots[i]) continue;
        ++listed;
        if (listed > 1) {
          if (missing > 2) list += ',';
          if (listed == missing) list += " and";
          list += ' ';
        }
        list += '\'';
        list += spec.params[i];
        list += '\'';
      }
      std::string who = callable_name(spec);
      raise_format(PyExc_TypeError,
                   take(PyUnicode_FromFormat("%s missing %zu required positional argument%s: %s",
                                             who.c_str(), missing, missing == 1 ? "" : "s",
                                             list.c_str())));
    }
  }
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
// Conversions.

[[noreturn]] void raise_type_mismatch(PyObject* obj, const char* target) {
  if (obj == Py_None) {
    raise_format(PyExc_TypeError,
                 take(PyUnicode_FromFormat("'None' is not an instance of '%s'", target)));
  }
  Ref name = type_qualname(obj);
  raise_format(PyExc_TypeError, take(PyUnicode_FromFormat("'%U' object is not an instance of '%s'",
                                                          name.get(), target)));
}

namespace {

// str.isascii's C function (METH_NOARGS), looked up once through the public
// method object, so that an ASCII str is recognised by its flag alone.
using NoArgsFn = PyObject* (*)(PyObject*, PyObject*);
NoArgsFn g_isascii = nullptr;
bool g_isascii_probed = false;

NoArgsFn isascii_function() {
  if (!g_isascii_probed) {
    g_isascii_probed = true;
    Ref empty(PyUnicode_FromStringAndSize("", 0));
    Ref bound(empty ? PyObject_GetAttrString(empty.get(), "isascii") : nullptr);
    if (bound && PyCFunction_Check(bound.get()) && PyCFunction_GetFlags(bound.get()) == METH_NOARGS) {
      g_isascii = reinterpret_cast<NoArgsFn>(PyCFunction_GetFunction(bound.get()));
    }
    PyErr_Clear();  // without the fast path every str takes the counting path
  }
  return g_isascii;
}

bool is_ascii(PyObject* str) {
  NoArgsFn fn = isascii_function();
  if (!fn) return false;
  PyObject* r = fn(str, nullptr);
  if (!r) throw_error();
  const bool ascii = r == Py_True;
  Py_DECREF(r);
  return ascii;
}

// Characters counted through a stack buffer; longer texts are encoded once.
constexpr Py_ssize_t kCountedChars = 4096;

}  // namespace

std::size_t utf8_length(PyObject* str) {
  const Py_ssize_t n = PyUnicode_GetLength(str);
  if (n < 0) throw_error();
  if (is_ascii(str)) return static_cast<std::size_t>(n);
  if (n <= kCountedChars) {
    Py_UCS4 buf[kCountedChars];
    if (!PyUnicode_AsUCS4(str, buf, kCountedChars, 0)) throw_error();
    const std::size_t length = utf8_length_of_points(buf, static_cast<std::size_t>(n));
    if (length != kNotScalar) return length;
  }
  // Long texts, and texts with a lone surrogate: the interpreter's encoder
  // gives the length, or raises exactly what the text conversion raises.
  Ref bytes(check(PyUnicode_AsUTF8String(str)));
  return static_cast<std::size_t>(PyBytes_Size(bytes.get()));
}

namespace {
// Characters converted per slice: the slice and its copy stay small enough
// for the cache and for the allocator's reused memory. The first slice is
// shorter: it tells which copy suits the text before much is spent on it.
constexpr Py_ssize_t kSliceChars = 16 << 10, kFirstSliceChars = 1 << 10;

// The slice's UTF-16, or null when it holds a lone surrogate (no exception
// set then).
Ref utf16_of(PyObject* slice) {
  Ref utf16(PyUnicode_AsUTF16String(slice));
  if (!utf16) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_error();
    PyErr_Clear();
  }
  return utf16;
}

// A non-ASCII str's UTF-8, a slice at a time, converted here from what the
// interpreter hands over fastest, where its UTF-8 encoder goes character by
// character. A slice comes back in the narrowest form that holds its own
// characters. The first slice, and any after a slice with no character
// beyond U+FFFF, is taken as UTF-16 (a widening or a plain copy); a slice
// after one with such a character is taken as code points (a plain copy;
// the interpreter builds the UTF-16 of such characters slowly). At most 4
// bytes a character. Nothing, with no exception set, when the str holds a
// lone surrogate, which UTF-8 can't carry.
std::optional<Utf8> utf8_by_slices(PyObject* obj) {
  const Py_ssize_t length = PyUnicode_GetLength(obj);
  if (length < 0) throw_error();
  const std::size_t chars = static_cast<std::size_t>(length);
  if (chars > (SIZE_MAX - kUtf8Overrun) / 4) throw std::bad_alloc();
  // Most text is mostly ASCII: room for that first, grown by half as needed
  // up to the most any text of this length can take.
  const std::size_t most = 4 * chars + kUtf8Overrun;
  std::size_t room = std::min(most, chars + chars / 8 + 4 * static_cast<std::size_t>(kSliceChars) + kUtf8Overrun);
  Utf8::Buffer out(static_cast<unsigned char*>(std::malloc(room)));
  if (!out) throw std::bad_alloc();
  std::unique_ptr<Py_UCS4[]> points;  // made for the first slice taken as code points
  bool beyond = false;                 // the last slice had a character beyond U+FFFF
  std::size_t size = 0;
  for (Py_ssize_t at = 0, end = 0; at < length; at = end) {
    end = std::min(length, at + (at == 0 ? kFirstSliceChars : kSliceChars));
    const std::size_t slice_chars = static_cast<std::size_t>(end - at);
    const std::size_t need = size + 4 * slice_chars + kUtf8Overrun;
    if (need > room) {
      room = std::max(need, room + std::min(room / 2, most - room));
      auto* grown = static_cast<unsigned char*>(std::realloc(out.get(), room));
      if (!grown) throw std::bad_alloc();
      (void)out.release();
      out.reset(grown);
    }
    const Ref slice(check(at == 0 && end == length ? Py_NewRef(obj) : PyUnicode_Substring(obj, at, end)));
    if (beyond) {
      if (!points) points = std::make_unique_for_overwrite<Py_UCS4[]>(static_cast<std::size_t>(kSliceChars));
      if (!PyUnicode_AsUCS4(slice.get(), points.get(), end - at, 0)) throw_error();
      const std::size_t n = utf32_to_utf8(points.get(), slice_chars, out.get() + size, beyond);
      if (n == kNotScalar) return std::nullopt;
      size += n;
      continue;
    }
    const Ref utf16 = utf16_of(slice.get());
    if (!utf16) return std::nullopt;
    char* data = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(utf16.get(), &data, &n) < 0) throw_error();
    // Native byte order, after a byte-order mark (always there: the slice is
    // not empty); a character beyond U+FFFF takes two units.
    if (n < 2) return std::nullopt;
    const std::size_t units = static_cast<std::size_t>(n) / 2 - 1;
    size += utf16_to_utf8(reinterpret_cast<const char16_t*>(data) + 1, units, out.get() + size);
    beyond = units != slice_chars;
  }
  return Utf8(std::move(out), size);
}
}  // namespace

Utf8 to_utf8(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise_type_mismatch(obj, "str");
  Py_ssize_t n = 0;
  if (is_ascii(obj)) {
    // A compact ASCII str is its own UTF-8: nothing is allocated or cached.
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!utf8) throw_error();
    return Utf8(Ref(), {utf8, static_cast<std::size_t>(n)});
  }
  if (utf8_conversion_vectorised()) {
    if (std::optional<Utf8> converted = utf8_by_slices(obj)) return std::move(*converted);
  }
  // Without the vector conversion, and for a str with a lone surrogate: the
  // interpreter's UTF-8 encoder converts it or raises exactly what text
  // conversion promises.
  Ref bytes(check(PyUnicode_AsUTF8String(obj)));
  char* data = nullptr;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &n) < 0) throw_error();
  const std::string_view view(data, static_cast<std::size_t>(n));
  return Utf8(std::move(bytes), view);
}

std::optional<std::string> to_optional_text(PyObject* obj) {
  if (obj == Py_None) return std::nullopt;
  return to_text(obj);
}

namespace {
// An int as is, anything else through the index protocol.
Ref as_index(PyObject* obj) {
  if (PyLong_Check(obj)) return Ref(Py_NewRef(obj));
  return Ref(check(PyNumber_Index(obj)));
}
}  // namespace

std::uint32_t to_u32(PyObject* obj) {
  Ref v = as_index(obj);
  // Read as a signed 64-bit value first, as the interpreter's own overflow
  // error for huge values is part of the interface.
  long long x;
  if constexpr (sizeof(long) == 8) {
    x = PyLong_AsLong(v.get());
  } else {
    x = PyLong_AsLongLong(v.get());
  }
  if (x == -1 && PyErr_Occurred()) throw_error();
  if (x < 0 || x > 0xFFFFFFFFLL) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  return static_cast<std::uint32_t>(x);
}

std::uint64_t to_u64(PyObject* obj) {
  Ref v = as_index(obj);
  unsigned long long x = PyLong_AsUnsignedLongLong(v.get());
  if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_error();
  return x;
}

std::size_t to_size(PyObject* obj) {
  // A machine-size count is read like any unsigned 64-bit one, so its errors
  // are the same; where size_t is narrower the interpreter's overflow text
  // for a too-large int is reused.
  const std::uint64_t x = to_u64(obj);
  if (x > SIZE_MAX) raise(PyExc_OverflowError, "int too big to convert");
  return static_cast<std::size_t>(x);
}

double to_double(PyObject* obj) {
  double d = PyFloat_AsDouble(obj);
  if (d == -1.0 && PyErr_Occurred()) throw_error();
  return d;
}

float narrow_to_single(double d) noexcept {
  if (std::isnan(d)) return static_cast<float>(d);
  const double mag = std::fabs(d);
  if (mag > static_cast<double>(FLT_MAX)) {
    // FLT_MAX + half an ulp is the midpoint to 2^128; FLT_MAX is odd, so the
    // tie rounds away to infinity.
    const double midpoint = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
    const float r = mag < midpoint ? FLT_MAX : HUGE_VALF;
    return d < 0 ? -r : r;
  }
  return static_cast<float>(d);
}

float to_single(PyObject* obj) { return narrow_to_single(to_double(obj)); }

bool to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  // A numpy boolean scalar, recognised by its type's module and name so that
  // numpy is not a dependency.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Ref module(PyObject_GetAttr(type, g_module.get()));
  Ref name(PyObject_GetAttr(type, g_name.get()));
  PyErr_Clear();
  if (module && name && PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
      (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
       PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0)) {
    auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(obj), Py_nb_bool));
    if (PyErr_Occurred()) PyErr_Clear();
    if (!nb_bool) {
      Ref qn = type_qualname(obj);
      raise_format(PyExc_TypeError,
                   take(PyUnicode_FromFormat(
                       "object of type '%U' does not define a '__bool__' conversion", qn.get())));
    }
    int r = nb_bool(obj);
    if (r < 0) throw_error();
    return r != 0;
  }
  raise_type_mismatch(obj, "bool");
}

std::size_t pairs_hint(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) {
    raise_type_mismatch(obj, "Sequence");  // collections.abc.Sequence
  }
  Py_ssize_t hint = PyObject_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  return std::min(static_cast<std::size_t>(hint), kMaxReservationHint);
}

Pair read_pair(PyObject* item) {
  if (!PyTuple_Check(item)) raise_type_mismatch(item, "tuple");
  const Py_ssize_t len = PyTuple_Size(item);
  if (len != 2) {
    raise_format(PyExc_ValueError,
                 take(PyUnicode_FromFormat("expected tuple of length 2, but got tuple of length %zd", len)));
  }
  PyObject* text = PyTuple_GetItem(item, 0);
  if (!PyUnicode_Check(text)) raise_type_mismatch(text, "str");
  const std::size_t bytes = utf8_length(text);
  PyObject* flags = PyTuple_GetItem(item, 1);
  // A plain int within range is read directly; everything else (and every
  // failure) takes the full conversion, which raises what it promises.
  if (PyLong_CheckExact(flags)) {
    const long x = PyLong_AsLong(flags);
    if (x >= 0 && static_cast<unsigned long>(x) <= 0xFFFFFFFFul) {
      return Pair{text, bytes, static_cast<std::uint32_t>(x)};
    }
    if (x == -1 && PyErr_Occurred()) PyErr_Clear();
  }
  return Pair{text, bytes, to_u32(flags)};
}

// ---------------------------------------------------------------------------
// Access guard.

bool AccessGuard::try_shared() noexcept {
  std::intptr_t c = count_.load(std::memory_order_relaxed);
  do {
    if (c == kExclusive) return false;
    // acquire: see everything the last exclusive holder wrote.
  } while (!count_.compare_exchange_weak(c, c + 1, std::memory_order_acquire,
                                         std::memory_order_relaxed));
  return true;
}

bool AccessGuard::try_exclusive() noexcept {
  std::intptr_t expected = 0;
  // acquire: see everything earlier shared holders published.
  return count_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                        std::memory_order_relaxed);
}

SharedAccess::SharedAccess(AccessGuard& g) : g_(g) {
  if (!g_.try_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
}

ExclusiveAccess::ExclusiveAccess(AccessGuard& g) : g_(g) {
  if (!g_.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
}

// ---------------------------------------------------------------------------

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
