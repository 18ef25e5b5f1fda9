// dehydrate(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "arguments.h"
#include "bindings.h"
#include "convert.h"
#include "core/block_model.h"
#include "core/dehydrate_pass.h"
#include "errors.h"
#include "refs.h"
#include "section.h"
#include "text.h"

namespace zelmo::py {
namespace {

ZELMO_SPEC(kSpec, "dehydrate", nullptr, 1, "messages", "half_life", "safe_threshold",
           "stable_prefix");

Interned k_kept("kept");
Interned k_blocks_in("blocks_in");
Interned k_blocks_kept("blocks_kept");
Interned k_blocks_purged("blocks_purged");
Interned k_tokens_before("tokens_before");
Interned k_tokens_after("tokens_after");
Interned k_reduction("reduction");
Interned k_stable_prefix_tokens("stable_prefix_tokens");
Interned k_kernel_latency_us("kernel_latency_us");

// The converted messages, one word each: a strong reference to the text with
// the message's class (BlockClass, 0..4) in the three low bits, which the
// alignment of every interpreter object leaves clear; the pass replaces the
// class with the verdict. Beside it, the message's token estimate, taken
// once when the message is read. The texts are not copied: the survivors go
// back in "kept" as the very same str objects (a str subclass is copied into
// a plain str there), so the call holds a word and a half per message.
class Messages final {
 public:
  static constexpr std::uintptr_t kTagBits = 7;
  static constexpr std::uintptr_t kPurged = 0, kKept = 1;

  Messages() = default;
  Messages(Messages&&) = default;  // leaves the source empty
  Messages(const Messages&) = delete;
  Messages& operator=(const Messages&) = delete;
  ~Messages() {
    // A thread ended during finalisation has no interpreter lock to release
    // the texts with; the process is ending, so they are left as they are.
    if (interpreter_lost()) return;
    for (std::uintptr_t w : words_) Py_DECREF(object_of(w));
  }

  void reserve(std::size_t n) {
    words_.reserve(n);
    tokens_.reserve(n);
  }
  // Stores one message; `text` is borrowed and gains a reference here.
  void push(PyObject* text, std::uint32_t tokens, BlockClass cls) {
    const auto bits = reinterpret_cast<std::uintptr_t>(text);
    if (bits & kTagBits) throw Fault("misaligned object");
    tokens_.push_back(tokens);  // first: a failure here leaves the words as they were
    words_.push_back(bits | static_cast<std::uintptr_t>(cls));
    Py_INCREF(text);  // taken once the word is stored
  }

  // The decision pass, oldest first: each class becomes its verdict. Returns
  // how many messages are kept. Touches no interpreter object.
  std::size_t judge(const DehydrateRule& rule, std::uint64_t stable_prefix) noexcept {
    const std::size_t n = words_.size();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
      std::uintptr_t& w = words_[i];
      const bool keep =
          keep_message(rule, stable_prefix, n, i, static_cast<BlockClass>(w & kTagBits));
      w = (w & ~kTagBits) | (keep ? kKept : kPurged);
      kept += keep;
    }
    return kept;
  }

  std::size_t size() const noexcept { return words_.size(); }
  PyObject* text(std::size_t i) const noexcept { return object_of(words_[i]); }
  std::uint32_t tokens(std::size_t i) const noexcept { return tokens_[i]; }
  bool kept(std::size_t i) const noexcept { return (words_[i] & kTagBits) == kKept; }

 private:
  static PyObject* object_of(std::uintptr_t w) noexcept {
    return reinterpret_cast<PyObject*>(w & ~kTagBits);
  }

  std::vector<std::uintptr_t> words_;
  std::vector<std::uint32_t> tokens_;  // one more than words_ after a failed push
};

// A message's flags: a plain int within range is read directly; everything
// else (and every failure) takes the full conversion, which raises what it
// promises.
std::uint32_t read_flags(PyObject* flags) {
  if (PyLong_CheckExact(flags)) {
    const long x = PyLong_AsLong(flags);
    if (x >= 0 && static_cast<unsigned long>(x) <= 0xFFFFFFFFul) {
      return static_cast<std::uint32_t>(x);
    }
    if (x == -1 && PyErr_Occurred()) PyErr_Clear();
  }
  return to_u32(flags);
}

// messages: a sequence (not a str) of (str, u32) tuples, read in one walk:
// each text is checked and measured once, and its token estimate stored
// with it. A lying length only sizes a bounded reservation.
Messages read_messages(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) raise_type_mismatch(obj, "Sequence");  // collections.abc.Sequence
  Py_ssize_t hint = PyObject_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  Messages messages;
  messages.reserve(std::min(static_cast<std::size_t>(hint), kMaxReservationHint));
  Ref iter(check(PyObject_GetIter(obj)));
  while (PyObject* raw = PyIter_Next(iter.get())) {
    const Ref item(raw);
    if (!PyTuple_Check(raw)) raise_type_mismatch(raw, "tuple");
    const Py_ssize_t len = PyTuple_Size(raw);
    if (len != 2) {
      raise_formatted(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", len);
    }
    PyObject* text = PyTuple_GetItem(raw, 0);
    if (!PyUnicode_Check(text)) raise_type_mismatch(text, "str");
    const std::uint32_t tokens = estimate_tokens_for_bytes(utf8_length(text));
    const std::uint32_t flags = read_flags(PyTuple_GetItem(raw, 1));
    messages.push(text, tokens, block_class(flags));
  }
  if (PyErr_Occurred()) throw_error();
  return messages;
}

// The same text as a plain str: the object itself, or a copy of a subclass.
Ref plain_str(PyObject* text) {
  if (PyUnicode_CheckExact(text)) return Ref(Py_NewRef(text));
  return take(PyUnicode_FromObject(text));
}

PyObject* dehydrate_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<4>(kSpec, args, kwargs);
    Messages messages = arg(kSpec, a, 0, read_messages);
    const float half_life = arg_or(kSpec, a, 1, to_single, 6.0f);
    const float threshold = arg_or(kSpec, a, 2, to_single, 0.35f);
    const std::uint64_t stable_prefix = arg_or(kSpec, a, 3, to_u64, std::uint64_t{0});

    const DehydrateRule rule = make_dehydrate_rule(half_life, threshold);
    const std::size_t n = messages.size();

    // The timed region is the decision pass alone, lock release and
    // re-acquisition included. The pass reads and rewrites the tag bits only
    // and touches no interpreter object.
    const auto start = std::chrono::steady_clock::now();
    const std::size_t n_kept = without_gil([&] { return messages.judge(rule, stable_prefix); });
    const auto stop = std::chrono::steady_clock::now();

    // One walk: the totals, and the survivors in order.
    DehydrateTotals totals;
    Ref kept = new_list(n_kept);
    for (std::size_t i = 0, k = 0; i < n; ++i) {
      const bool keep = messages.kept(i);
      totals.count(messages.tokens(i), i < stable_prefix, keep);
      if (keep) list_put(kept.get(), k++, plain_str(messages.text(i)));
    }

    Ref out = new_dict();
    dict_set(out.get(), k_kept, std::move(kept));
    dict_set(out.get(), k_blocks_in, new_u64(n));
    dict_set(out.get(), k_blocks_kept, new_u64(totals.blocks_kept));
    dict_set(out.get(), k_blocks_purged, new_u64(totals.blocks_purged));
    dict_set(out.get(), k_tokens_before, new_u64(totals.tokens_before));
    dict_set(out.get(), k_tokens_after, new_u64(totals.tokens_after));
    dict_set(out.get(), k_reduction, new_float(totals.reduction()));
    dict_set(out.get(), k_stable_prefix_tokens, new_u64(totals.stable_prefix_tokens));
    dict_set(out.get(), k_kernel_latency_us, new_float(elapsed_us(start, stop)));
    return out;
  });
}

}  // namespace

PyMethodDef dehydrate_def = {
    "dehydrate", method(dehydrate_fn), METH_VARARGS | METH_KEYWORDS,
    "dehydrate(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0)\n--\n\n"
    "Dehydrate a whole message history in a single pass (oldest \xE2\x86\x92 newest).\n"
    "\n"
    "`messages` is a list of `(content, signal_flags)`. Older, lower-value blocks\n"
    "are decayed by recency-weighted half-life and purged below `safe_threshold`;\n"
    "durable classes (SYSTEM, FACT) always survive. Returns the surviving blocks\n"
    "plus audited savings and the pure-kernel latency in microseconds.\n"
    "\n"
    "`stable_prefix` is the cache-aware zone: the first N messages are kept\n"
    "verbatim no matter their class, so a provider prompt-cache prefix stays\n"
    "byte-identical between calls. Apoptosis only acts on the mobile suffix."};

}  // namespace zelmo::py
