// Text at the boundary: a caller's str read as UTF-8, and its UTF-8 length
// measured without encoding it. Neither leaves a UTF-8 copy cached on the
// caller's object.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "refs.h"

namespace zelmo::py {

// The str's UTF-8 bytes for the length of a call. An ASCII str is read in
// place; any other str is converted into a buffer of ours or encoded into a
// bytes object, which this holder owns.
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

// text: a str (or subclass) as UTF-8; a lone surrogate raises the
// interpreter's UnicodeEncodeError.
Utf8 to_utf8(PyObject* obj);
// text: an owned copy.
inline std::string to_text(PyObject* obj) { return std::string(to_utf8(obj).view()); }
// optional text: None is absent.
std::optional<std::string> to_optional_text(PyObject* obj);

// The UTF-8 byte length of a str, checked as the text conversion checks it (a
// lone surrogate raises the interpreter's UnicodeEncodeError), without
// encoding it.
std::size_t utf8_length(PyObject* str);

}  // namespace zelmo::py
