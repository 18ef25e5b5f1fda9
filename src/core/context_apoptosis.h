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

struct StateEntry {
  uint64_t hash;  // content_hash(text)
  std::string text;
  uint64_t id = 0;  // 1, 2, 3, ... in ledger order, unique in its window
};

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
  // half_life is raised to at least 0.1f (NaN too); state_capacity 0 means 1.
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

  // [purpose "\n"] ["STATE:\n" ("- " entry "\n")*] blocks joined by "\n",
  // each part read under its own lock in turn.
  std::string render() const;

  // What render() joins, read the same way (each part under its own lock in
  // turn), for a caller that keeps the pieces it has seen: `purpose(text,
  // version)` once (text null when absent; the version changes with every
  // set_purpose), then `entry(id, text)` per ledger entry and `block(id,
  // content)` per block, oldest first. Ids only grow, so a caller can tell
  // new pieces from known ones. The callbacks run under the window's locks:
  // they must not call back into the window.
  template <class Purpose, class Entry, class BlockFn>
  void visit_render_parts(Purpose&& purpose, Entry&& entry, BlockFn&& block) const {
    {
      std::lock_guard lock(purpose_mu_);
      purpose(purpose_ ? &*purpose_ : nullptr, purpose_version_);
    }
    {
      std::lock_guard lock(ledger_mu_);
      for (const StateEntry& e : ledger_) entry(e.id, std::string_view(e.text));
    }
    visit_blocks(block);
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
  std::optional<std::string> purpose_;
  uint64_t purpose_version_ = 0;  // under purpose_mu_
  mutable std::mutex ledger_mu_;
  std::deque<StateEntry> ledger_;
  uint64_t last_entry_id_ = 0;  // under ledger_mu_

  std::atomic<uint64_t> inserted_{0};
  std::atomic<uint64_t> reclaimed_{0};
};

}  // namespace zelmo
