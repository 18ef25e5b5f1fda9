// The self-dehydrating context window.
//
// A window holds blocks in insertion order, a purpose header and a bounded,
// deduplicated STATE ledger. Each of the three is guarded by its own
// mutex and no operation ever holds two of them at once, so there is no lock
// order. Two atomic counters track inserted and reclaimed tokens; they only
// grow and reclaimed never exceeds inserted.
//
// A dehydrate cycle is split for the binding: plan_cycle() fixes every input
// while the interpreter lock is held, decay_and_purge() is the pure part that
// runs under the blocks lock (and without the interpreter lock), and
// absorb_digests() appends the digests afterwards, outside the blocks lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelmo {

struct Block {
  std::string content;
  float oxygen;
  uint32_t signal;
  uint32_t tokens;  // estimate_tokens(content), fixed at insertion
  uint64_t id = 0;  // 1, 2, 3, ... in insertion order, unique in its window
};

// A ledger entry is kept as its rendered line, "- " text "\n", so that
// render hands out the line itself.
struct StateEntry {
  uint64_t hash;  // content_hash(text())
  std::string line;
  uint64_t id = 0;  // 1, 2, 3, ... in ledger order, unique in its window
  std::string_view text() const noexcept { return std::string_view(line).substr(2, line.size() - 3); }
};

// Names one piece of a render (see ContextWindow::visit_render_pieces): a
// block and the separator before it carry the block's id, an entry its id,
// the purpose line the version set_purpose gave it. Two pieces with the same
// key, in any two renders of a window, have the same text; that is what
// RenderDiff's result rests on. The pieces of one render have distinct keys
// in increasing order of rank(), which keeps its edits few.
struct PieceKey {
  enum Kind : uint8_t { purpose, state_header, entry, separator, block };
  Kind kind;
  uint64_t id;

  // The key as one number, in render order: the part (purpose, header,
  // entries, blocks) in the top two bits, then the id, then one bit that
  // puts a block after the separator before it. Ids count calls one by one
  // from 1, so they stay far below the 2^61 this leaves them, and two keys
  // have the same rank exactly when they are equal.
  uint64_t rank() const noexcept {
    const uint64_t part = kind < separator ? kind : separator;
    return part << 62 | id << 1 | uint64_t{kind == block};
  }
};

inline constexpr std::string_view kStateHeader = "STATE:\n";
inline constexpr std::string_view kSeparator = "\n";

// Inputs of one dehydrate cycle, fixed before the pure part runs.
struct CyclePlan {
  float decay;            // exp2f(-1 / half_life)
  float threshold;        // safe_threshold
  float reinforce_boost;  // added to durable blocks
  bool absorb;            // digest purged conversational blocks
};

struct CycleOutcome {
  uint64_t purged = 0;
  std::vector<std::string> digests;  // one per purged conversational block, in block order
};

// Words joined by single spaces, clipped after 120 bytes at the next
// character boundary with "…" appended when anything follows.
std::string one_line_digest(std::string_view text);

// Oxygen given to a block: the requested value, or the class weight when none
// was given or it is negative. Zero, -0.0 and NaN are kept as given.
float initial_oxygen(uint32_t signal, std::optional<float> oxygen) noexcept;

// The ledger's hash of an entry's text (content_hash unless a test injects
// one that collides).
using LedgerHash = uint64_t (*)(std::string_view) noexcept;
uint64_t ledger_content_hash(std::string_view text) noexcept;

// Python: ContextApoptosis. The core is named for what it holds, a window of blocks; the module keeps its users' name.
class ContextWindow {
 public:
  // half_life goes through clamp_half_life (at least 0.1f, NaN too); state_capacity 0 means 1.
  // Reserves room for `capacity` blocks: an unrepresentable reservation
  // throws Fault("capacity overflow"), an unobtainable one std::bad_alloc.
  ContextWindow(float half_life, float safe_threshold, size_t capacity, size_t state_capacity,
                LedgerHash ledger_hash = ledger_content_hash);

  ContextWindow(const ContextWindow&) = delete;
  ContextWindow& operator=(const ContextWindow&) = delete;

  float half_life() const noexcept { return half_life_; }
  float safe_threshold() const noexcept { return safe_threshold_; }
  size_t state_capacity() const noexcept { return state_capacity_; }

  // The new block's id and the number of blocks held right after it went in.
  struct Inserted {
    uint64_t id;
    size_t held;
  };
  Inserted insert(std::string content, uint32_t signal, std::optional<float> oxygen);

  size_t size() const;
  std::vector<std::string> active_context() const;
  uint64_t active_tokens() const;
  uint64_t inserted_tokens() const noexcept;
  uint64_t reclaimed_tokens() const noexcept;
  float reduction_ratio() const noexcept;
  // A copy of the blocks held now (content, oxygen, signal, tokens).
  std::vector<Block> blocks_snapshot() const;

  CyclePlan plan_cycle(float reinforce_boost, bool absorb) const noexcept;
  // Takes and releases the blocks lock. On std::bad_alloc nothing changed.
  CycleOutcome decay_and_purge(const CyclePlan& plan);
  // append_state of each digest, in order; results are dropped.
  void absorb_digests(std::vector<std::string>& digests);
  // The whole cycle in one call (for callers without an interpreter lock).
  uint64_t dehydrate(float reinforce_boost, bool absorb);

  // Ledger append with roll-off of the oldest. A text already in the ledger
  // is refused; the hash only narrows down which entries to compare.
  // Python: note_state (kept below as an alias); append_state says what it does to the ledger.
  bool append_state(std::string text);
  bool note_state(std::string fact) { return append_state(std::move(fact)); }
  void set_purpose(std::optional<std::string> text);
  std::vector<std::string> state_entries() const;

  // The rendered text: the pieces of visit_render_pieces, concatenated.
  std::string render() const;

  // Each piece of the rendered text, in order, as `piece(key, text)`:
  //   purpose "\n"                      when there is a purpose
  //   "STATE:\n", then "- " entry "\n"   per ledger entry, when there is one
  //   each block's content, with a "\n" piece before every block but the first
  // The three parts are read in turn, each under its own lock; `text` lives
  // until that lock is released. The callback must not call back into the
  // window.
  template <class PieceFn>
  void visit_render_pieces(PieceFn&& piece) const {
    {
      std::lock_guard lock(purpose_mu_);
      if (purpose_line_) piece(PieceKey{PieceKey::purpose, purpose_version_}, std::string_view(*purpose_line_));
    }
    {
      std::lock_guard lock(ledger_mu_);
      if (!ledger_.empty()) piece(PieceKey{PieceKey::state_header, 0}, kStateHeader);
      for (const StateEntry& e : ledger_) piece(PieceKey{PieceKey::entry, e.id}, std::string_view(e.line));
    }
    {
      std::lock_guard lock(blocks_mu_);
      for (size_t i = 0; i < blocks_.size(); ++i) {
        const Block& b = blocks_[i];
        if (i != 0) piece(PieceKey{PieceKey::separator, b.id}, kSeparator);
        piece(PieceKey{PieceKey::block, b.id}, std::string_view(b.content));
      }
    }
  }

  // `block(id, content)` per block, oldest first, under the blocks lock.
  template <class BlockFn>
  void visit_blocks(BlockFn&& block) const {
    std::lock_guard lock(blocks_mu_);
    for (const Block& b : blocks_) block(b.id, std::string_view(b.content));
  }

 private:
  const float half_life_;
  const float safe_threshold_;
  const size_t state_capacity_;
  const LedgerHash ledger_hash_;

  mutable std::mutex blocks_mu_;
  std::vector<Block> blocks_;
  uint64_t last_block_id_ = 0;  // under blocks_mu_
  mutable std::mutex purpose_mu_;
  std::optional<std::string> purpose_line_;  // the purpose and "\n"
  uint64_t purpose_version_ = 0;  // under purpose_mu_
  mutable std::mutex ledger_mu_;
  std::deque<StateEntry> ledger_;
  uint64_t last_entry_id_ = 0;  // under ledger_mu_

  std::atomic<uint64_t> inserted_{0};
  std::atomic<uint64_t> reclaimed_{0};
};

// Turns a sequence of render pieces that a caller keeps (its own objects, one
// per piece of the last render it made) into the pieces of the window's
// render now, touching only what changed. It holds the keys of the kept
// pieces; update() walks them beside the window's pieces, both in increasing
// key order, and tells the caller, in order, what to do to its sequence:
//   erase(pos, count)        drop `count` kept pieces from index `pos`
//   insert(pos, key, text)   put a new piece at index `pos`
// Done one after the other, they leave the caller's sequence equal, piece for
// piece, to the window's render. The callbacks run under the window's locks
// (see visit_render_pieces). If update() throws (std::bad_alloc, or from a
// callback), the caller's pieces and the held keys no longer match: the
// caller must drop its pieces and reset().
class RenderDiff {
 public:
  template <class Erase, class Insert>
  void update(const ContextWindow& window, Erase&& erase, Insert&& insert) {
    next_.clear();
    next_.reserve(held_.size() + 8);
    size_t i = 0, pos = 0, gone = 0;
    window.visit_render_pieces([&](PieceKey key, std::string_view text) {
      const uint64_t rank = key.rank();
      while (i < held_.size() && held_[i] < rank) {
        ++i;
        ++gone;
      }
      if (gone != 0) {
        erase(pos, gone);
        gone = 0;
      }
      if (i < held_.size() && held_[i] == rank) {
        ++i;
      } else {
        insert(pos, key, text);
      }
      ++pos;
      next_.push_back(rank);
    });
    gone += held_.size() - i;
    if (gone != 0) erase(pos, gone);
    held_.swap(next_);
  }

  // The caller holds no pieces.
  void reset() noexcept { held_.clear(); }
  size_t size() const noexcept { return held_.size(); }

 private:
  std::vector<uint64_t> held_;  // ranks of the caller's pieces' keys, in order
  std::vector<uint64_t> next_;  // kept for its capacity
};

}  // namespace zelmo
