// Reading a str as UTF-8 and measuring its UTF-8 length, each by the
// quickest route the interpreter's stable interface allows.
#include "text.h"

#include <algorithm>
#include <cstdint>

#include "core/utf8.h"

namespace zelmo::py {
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

}  // namespace zelmo::py
