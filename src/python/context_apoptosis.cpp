// ContextApoptosis(half_life=2.0, safe_threshold=0.35, capacity=256, state_capacity=64)
//
// Lock discipline: every method keeps the interpreter lock, except dehydrate,
// whose decay-and-purge pass runs without it. That pass takes and releases
// the blocks lock entirely inside the lock-free section, so no thread ever
// waits for the interpreter lock while holding the blocks lock. The core
// copies out under its locks and never calls back into the interpreter, so
// Python objects are built only after every window lock is released.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "access.h"
#include "arguments.h"
#include "bindings.h"
#include "convert.h"
#include "errors.h"
#include "refs.h"
#include "section.h"
#include "text.h"
#include "types.h"
#include "core/context_apoptosis.h"

namespace zelmo::py {
namespace {

// A rendered piece kept for the next render: the window's id for it and
// an owned reference to its str.
struct Piece {
  std::uint64_t id;
  PyObject* str;
};

// Owned pieces, ids increasing.
class Pieces {
 public:
  Pieces() = default;
  Pieces(const Pieces&) = delete;
  Pieces& operator=(const Pieces&) = delete;
  Pieces(Pieces&& o) noexcept : items_(std::move(o.items_)) {}
  Pieces& operator=(Pieces&& o) noexcept {
    clear();
    items_ = std::move(o.items_);
    return *this;
  }
  ~Pieces() { clear(); }

  void clear() noexcept {
    for (Piece& p : items_) Py_DECREF(p.str);
    items_.clear();
  }
  void reserve(std::size_t n) { items_.reserve(n); }
  // Takes the reference.
  void push(std::uint64_t id, Ref str) {
    items_.push_back(Piece{id, nullptr});
    items_.back().str = str.release();
  }
  std::size_t size() const noexcept { return items_.size(); }
  const Piece& operator[](std::size_t i) const noexcept { return items_[i]; }
  // Keeps the pieces whose id is in `ids` (increasing), in order.
  void retain(const std::vector<std::uint64_t>& ids) noexcept {
    std::size_t kept = 0, k = 0;
    for (Piece& p : items_) {
      while (k < ids.size() && ids[k] < p.id) ++k;
      if (k < ids.size() && ids[k] == p.id) {
        items_[kept++] = p;
      } else {
        Py_DECREF(p.str);
      }
    }
    items_.resize(kept);
  }

 private:
  std::vector<Piece> items_;
};

// One edit of the kept list, as RenderDiff gives it under the window's
// locks, applied after they are released: erase `count` items at `pos`, or
// insert at `pos` the str of a new piece, which is `str` when the piece is
// a block inserted with an exact str (a reference taken at once, since
// objects made later may run a collection, and finalizers, and so an insert
// or a render), a shared separator or header, or else the piece's text,
// copied into `texts` at [text_begin, text_end).
struct Edit {
  std::size_t pos;
  std::size_t count;  // 0 for an insertion
  PieceKey key;
  Ref str;
  std::size_t text_begin, text_end;
};

// What render keeps between calls: a list of the last render's pieces as
// strs (the purpose line, "STATE:\n", each "- entry\n" line, each block and
// each "\n" between blocks), which the next render edits as the window's
// RenderDiff says and joins, so that only new pieces are decoded and the
// rest is neither decoded nor copied but once, into the result; and the
// caller's strs of blocks inserted since, by block id. Touched only with the
// interpreter lock held. Only exact strs are kept, so dropping one never runs
// Python code.
struct RenderCache {
  bool rendered = false;  // render has run: insert starts keeping texts
  Ref parts;              // a list, or null when nothing is kept
  RenderDiff diff;        // the keys of `parts`
  Pieces inserted;        // strs of blocks inserted since the last render
  // Empty between renders, kept for their capacity while it is small (a
  // first render, which copies every text, leaves nothing large behind).
  std::vector<Edit> edits;
  std::string texts;
};

// The window holds three mutexes and cannot move, so the instance owns it
// through a pointer; it is built before the Python object exists, so a failed
// construction leaves nothing half-made.
struct WindowState {
  std::unique_ptr<ContextWindow> window;
  RenderCache cache;
};
using Self = Instance<WindowState>;

constexpr const char kClass[] = "ContextApoptosis";

ZELMO_SPEC(kNew, "__new__", kClass, 0, "half_life", "safe_threshold", "capacity", "state_capacity");
ZELMO_SPEC(kInsert, "insert", kClass, 1, "content", "signal", "oxygen");
ZELMO_SPEC(kDehydrate, "dehydrate", kClass, 0, "reinforce_boost", "absorb");
ZELMO_SPEC(kNoteState, "note_state", kClass, 1, "fact");
ZELMO_SPEC(kSetPurpose, "set_purpose", kClass, 1, "text");

// Runs `op(window)` under shared access to the instance.
template <class Op>
auto with_window(PyObject* self, Op&& op) {
  Self* inst = as_instance<WindowState>(self);
  SharedAccess access(inst->access);
  return op(*inst->value.window);
}

Ref text_list(const std::vector<std::string>& texts) {
  Ref list = new_list(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) list_put(list.get(), i, new_text(texts[i]));
  return list;
}

PyObject* ca_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<4>(kNew, args, kwargs);
    const float half_life = arg_or(kNew, a, 0, to_single, 2.0f);
    const float threshold = arg_or(kNew, a, 1, to_single, 0.35f);
    const std::size_t capacity = arg_or(kNew, a, 2, to_size, std::size_t{256});
    const std::size_t state_capacity = arg_or(kNew, a, 3, to_size, std::size_t{64});
    WindowState state{std::make_unique<ContextWindow>(half_life, threshold, capacity, state_capacity), {}};
    return new_instance(type, std::move(state));
  });
}

// A new block's text is the caller's str: kept as the block's piece for the
// next render, which then joins it instead of decoding the block (a str
// subclass is left to render, which must join plain strs). Pieces of blocks
// purged before a render are dropped once they outnumber the blocks held.
// A window that is never rendered keeps nothing. The block is in by now, so
// a failure here only leaves the piece out.
void remember_block(WindowState& state, ContextWindow::Inserted added, PyObject* content) noexcept {
  if (!state.cache.rendered || !PyUnicode_CheckExact(content)) return;
  Pieces& blocks = state.cache.inserted;
  if (blocks.size() != 0 && blocks[blocks.size() - 1].id >= added.id) return;
  try {
    if (blocks.size() >= 2 * added.held + 32) {
      std::vector<std::uint64_t> held;
      held.reserve(added.held);
      state.window->visit_blocks([&](std::uint64_t id, std::string_view) { held.push_back(id); });
      blocks.retain(held);
    }
    blocks.push(added.id, Ref(Py_NewRef(content)));
  } catch (const std::bad_alloc&) {
  }
}

PyObject* ca_insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<3>(kInsert, args, kwargs);
    std::string content = arg(kInsert, a, 0, to_text);
    const std::uint32_t signal = arg_or(kInsert, a, 1, to_u32, std::uint32_t{0});
    const std::optional<float> oxygen = arg_or(
        kInsert, a, 2, [](PyObject* o) { return std::optional<float>(to_single(o)); },
        std::optional<float>());
    Self* inst = as_instance<WindowState>(self);
    SharedAccess access(inst->access);
    const ContextWindow::Inserted added = inst->value.window->insert(std::move(content), signal, oxygen);
    remember_block(inst->value, added, a[0]);
    return new_none();
  });
}

Py_ssize_t ca_len(PyObject* self) {
  return guard_with(
      [&]() -> Py_ssize_t {
        return with_window(self, [](ContextWindow& w) { return static_cast<Py_ssize_t>(w.size()); });
      },
      -1);
}

PyObject* ca_active_context(PyObject* self, PyObject*) {
  return guard([&] { return text_list(with_window(self, [](ContextWindow& w) { return w.active_context(); })); });
}

PyObject* ca_active_tokens(PyObject* self, PyObject*) {
  return guard([&] { return new_u64(with_window(self, [](ContextWindow& w) { return w.active_tokens(); })); });
}

PyObject* ca_inserted_tokens(PyObject* self, PyObject*) {
  return guard([&] { return new_u64(with_window(self, [](ContextWindow& w) { return w.inserted_tokens(); })); });
}

PyObject* ca_reduction_ratio(PyObject* self, PyObject*) {
  return guard([&] {
    const float ratio = with_window(self, [](ContextWindow& w) { return w.reduction_ratio(); });
    return new_float(static_cast<double>(ratio));
  });
}

PyObject* ca_dehydrate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<2>(kDehydrate, args, kwargs);
    const float boost = arg_or(kDehydrate, a, 0, to_single, 0.5f);
    const bool absorb = arg_or(kDehydrate, a, 1, to_bool, false);
    const std::uint64_t purged = with_window(self, [&](ContextWindow& w) {
      const CyclePlan plan = w.plan_cycle(boost, absorb);  // fixed before the release
      CycleOutcome outcome = without_gil([&] { return w.decay_and_purge(plan); });
      // The blocks lock is free again and the interpreter lock is held.
      w.absorb_digests(outcome.digests);
      return outcome.purged;
    });
    return new_u64(purged);
  });
}

PyObject* ca_set_purpose(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<1>(kSetPurpose, args, kwargs);
    std::optional<std::string> text = arg(kSetPurpose, a, 0, to_optional_text);
    with_window(self, [&](ContextWindow& w) { w.set_purpose(std::move(text)); });
    return new_none();
  });
}

PyObject* ca_note_state(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<1>(kNoteState, args, kwargs);
    std::string fact = arg(kNoteState, a, 0, to_text);
    return new_bool(with_window(self, [&](ContextWindow& w) { return w.note_state(std::move(fact)); }));
  });
}

PyObject* ca_state_entries(PyObject* self, PyObject*) {
  return guard([&] { return text_list(with_window(self, [](ContextWindow& w) { return w.state_entries(); })); });
}

Interned k_newline("\n");
Interned k_state_header("STATE:\n");
Interned k_empty("");

// Finds a block's str among those kept since insert, ids increasing.
class Matcher {
 public:
  explicit Matcher(const Pieces& pieces) : pieces_(pieces) {}
  PyObject* find(std::uint64_t id) noexcept {
    while (next_ < pieces_.size() && pieces_[next_].id < id) ++next_;
    return next_ < pieces_.size() && pieces_[next_].id == id ? pieces_[next_].str : nullptr;
  }

 private:
  const Pieces& pieces_;
  std::size_t next_ = 0;
};

// The edits that turn the kept list, whose keys `diff` holds, into this
// render's pieces.
void plan_edits(const ContextWindow& window, RenderDiff& diff, const Pieces& inserted,
                std::vector<Edit>& edits, std::string& texts) {
  Matcher known_blocks(inserted);
  diff.update(
      window, [&](std::size_t pos, std::size_t count) { edits.push_back(Edit{pos, count, {}, Ref(), 0, 0}); },
      [&](std::size_t pos, PieceKey key, std::string_view text) {
        edits.push_back(Edit{pos, 0, key, Ref(), 0, 0});
        Edit& e = edits.back();
        if (key.kind == PieceKey::separator || key.kind == PieceKey::state_header) return;
        if (key.kind == PieceKey::block) {
          if (PyObject* known = known_blocks.find(key.id)) {
            e.str = Ref(Py_NewRef(known));
            return;
          }
        }
        e.text_begin = texts.size();
        texts.append(text);
        e.text_end = texts.size();
      });
}

// The str an insertion puts in the list.
Ref piece_str(Edit& e, const std::string& texts) {
  if (e.str) return std::move(e.str);
  if (e.key.kind == PieceKey::separator) return Ref(Py_NewRef(k_newline.get()));
  if (e.key.kind == PieceKey::state_header) return Ref(Py_NewRef(k_state_header.get()));
  return new_text(std::string_view(texts).substr(e.text_begin, e.text_end - e.text_begin));
}

void apply_edits(PyObject* parts, std::vector<Edit>& edits, const std::string& texts) {
  for (Edit& e : edits) {
    const auto pos = static_cast<Py_ssize_t>(e.pos);
    if (e.count != 0) {
      check(PyList_SetSlice(parts, pos, pos + static_cast<Py_ssize_t>(e.count), nullptr));
    } else {
      Ref str = piece_str(e, texts);
      check(PyList_Insert(parts, pos, str.get()));
    }
  }
}

// render(): the window's pieces joined. The kept list is taken out of the
// cache while it is edited (a render that runs meanwhile, from a finalizer,
// finds none and starts afresh) and put back once it matches the window
// again; if anything fails on the way it is dropped, and the next render
// starts afresh.
PyObject* ca_render(PyObject* self, PyObject*) {
  return guard([&] {
    Self* inst = as_instance<WindowState>(self);
    SharedAccess access(inst->access);
    RenderCache& cache = inst->value.cache;
    Ref parts = std::move(cache.parts);
    RenderDiff diff = std::move(cache.diff);
    if (!parts) {
      diff.reset();
      parts = new_list(0);
    }
    std::vector<Edit> edits = std::move(cache.edits);
    std::string texts = std::move(cache.texts);
    edits.clear();
    texts.clear();
    plan_edits(*inst->value.window, diff, cache.inserted, edits, texts);
    cache.inserted.clear();
    cache.rendered = true;
    apply_edits(parts.get(), edits, texts);
    edits.clear();
    Ref text = take(PyUnicode_Join(k_empty.get(), parts.get()));
    cache.parts = std::move(parts);
    cache.diff = std::move(diff);
    if (edits.capacity() <= 64) cache.edits = std::move(edits);
    if (texts.capacity() <= 4096) cache.texts = std::move(texts);
    return text;
  });
}

PyMethodDef g_methods[] = {
    {"insert", method(ca_insert), METH_VARARGS | METH_KEYWORDS,
     "insert($self, content, signal=0, oxygen=...)\n--\n\n"
     "Insert a context block. `oxygen < 0` (default) \xE2\x86\x92 auto metabolic weight."},
    {"active_context", method(ca_active_context), METH_NOARGS, "active_context($self)\n--\n\n"},
    {"active_tokens", method(ca_active_tokens), METH_NOARGS, "active_tokens($self)\n--\n\n"},
    {"inserted_tokens", method(ca_inserted_tokens), METH_NOARGS, "inserted_tokens($self)\n--\n\n"},
    {"reduction_ratio", method(ca_reduction_ratio), METH_NOARGS,
     "reduction_ratio($self)\n--\n\nFraction of inserted tokens reclaimed by apoptosis (0..1)."},
    {"dehydrate", method(ca_dehydrate), METH_VARARGS | METH_KEYWORDS,
     "dehydrate($self, reinforce_boost=0.5, absorb=False)\n--\n\n"
     "One half-life decay cycle \xE2\x86\x92 returns the number of purged blocks. Durable\n"
     "classes are reinforced by `reinforce_boost`; everything else decays by\n"
     "`2^(-1/half_life)` and is purged in place if it drops below the threshold.\n"
     "\n"
     "With `absorb=True`, purged USER/ASSISTANT cells leave a one-line digest\n"
     "in the STATE ledger instead of vanishing without trace (TOOL/THINKING\n"
     "ballast is still dropped silently \xE2\x80\x94 it is noise by definition)."},
    {"set_purpose", method(ca_set_purpose), METH_VARARGS | METH_KEYWORDS,
     "set_purpose($self, text)\n--\n\n"
     "Set (or clear, with `None`) the purpose contract \xE2\x80\x94 the stable header\n"
     "rendered above the history. Keep it byte-identical between calls so it\n"
     "stays inside a provider prompt-cache prefix."},
    {"note_state", method(ca_note_state), METH_VARARGS | METH_KEYWORDS,
     "note_state($self, fact)\n--\n\n"
     "Append a durable fact/decision to the consolidated STATE ledger.\n"
     "Deduplicated by content hash; oldest entries roll off past capacity."},
    {"state_entries", method(ca_state_entries), METH_NOARGS,
     "state_entries($self)\n--\n\nThe current STATE ledger entries, oldest first."},
    {"render", method(ca_render), METH_NOARGS,
     "render($self)\n--\n\n"
     "The dehydrated context, newline-joined, ready to dispatch. Layout is\n"
     "cache-friendly: [purpose contract (stable)] + [STATE ledger] + [survivors]."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "ContextApoptosis(half_life=2.0, safe_threshold=0.35, capacity=256, "
                    "state_capacity=64)\n--\n\n"
                    "A self-dehydrating context window. Insert blocks, then run `dehydrate` cycles;\n"
                    "each cycle halves oxygen over `half_life` and purges anything below the\n"
                    "`safe_threshold` (durable classes are reinforced and survive).")},
    {Py_tp_new, slot(ca_new)},
    {Py_tp_dealloc, slot(dealloc_instance<WindowState>)},
    {Py_tp_methods, g_methods},
    {Py_mp_length, slot(ca_len)},
    {0, nullptr},
};

PyType_Spec g_spec = {"builtins.ContextApoptosis", static_cast<int>(sizeof(Self)), 0,
                      Py_TPFLAGS_DEFAULT, g_slots};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* context_apoptosis_type() { return type_once(g_type, g_spec); }

}  // namespace zelmo::py
