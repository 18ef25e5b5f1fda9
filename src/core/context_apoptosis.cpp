// The context window: insertion, counting, dehydrate cycle, ledger, render.
#include "context_apoptosis.h"

#include <math.h>

#include <utility>

#include "block_model.h"
#include "fault.h"
#include "half_life.h"
#include "utf8.h"

namespace zelmo {

namespace {

constexpr size_t kDigestBytes = 120;
constexpr std::string_view kEllipsis = "\xE2\x80\xA6";  // U+2026

}  // namespace

std::string one_line_digest(std::string_view text) {
  // Join the words with single spaces. A character is at most 4 bytes, so the
  // first boundary at or after byte 120 lies at or before byte 123; once 124
  // bytes are joined the clip point and "something follows" are both known,
  // and the rest of the text need not be read.
  constexpr size_t enough = kDigestBytes + 4;
  char joined[enough];
  const size_t n = join_words_prefix(text, joined, enough);
  size_t keep = n;
  bool clipped = false;
  if (n > kDigestBytes) {
    size_t cut = kDigestBytes;
    while (cut < n && is_utf8_continuation(static_cast<unsigned char>(joined[cut]))) ++cut;
    // No boundary before the end (only possible when the whole text was
    // read): the character covering byte 120 is the last one, keep it all.
    clipped = cut != n;
    keep = cut;
  }
  // One allocation: room for the digest, and for the "- " and "\n" that the
  // ledger puts around an entry (append_state frames it in place).
  std::string digest;
  digest.reserve(keep + kEllipsis.size() + 3);
  digest.append(joined, keep);
  if (clipped) digest.append(kEllipsis);
  return digest;
}

float initial_oxygen(uint32_t signal, std::optional<float> oxygen) noexcept {
  if (!oxygen || *oxygen < 0.0f) return metabolic_weight(signal);
  return *oxygen;
}

uint64_t ledger_content_hash(std::string_view text) noexcept { return content_hash(text); }

ContextWindow::ContextWindow(float half_life, float safe_threshold, size_t capacity,
                             size_t state_capacity, LedgerHash ledger_hash)
    : half_life_(clamp_half_life(half_life)),
      safe_threshold_(safe_threshold),
      state_capacity_(state_capacity == 0 ? 1 : state_capacity),
      ledger_hash_(ledger_hash) {
  // The reservation is made in full: reserve() touches no page, so even a
  // large one costs address space only, and an impossible one fails cleanly.
  if (capacity > blocks_.max_size()) capacity_overflow();
  blocks_.reserve(capacity);
}

ContextWindow::Inserted ContextWindow::insert(std::string content, uint32_t signal, std::optional<float> oxygen) {
  const uint32_t tokens = estimate_tokens(content);
  // Counted before the block is visible, so a cycle that purges it can never
  // push reclaimed past inserted; relaxed because the blocks mutex orders it
  // before any such cycle.
  inserted_.fetch_add(tokens, std::memory_order_relaxed);
  Block block{std::move(content), initial_oxygen(signal, oxygen), signal, tokens};
  try {
    std::lock_guard lock(blocks_mu_);
    block.id = last_block_id_ + 1;
    blocks_.push_back(std::move(block));
    last_block_id_ = blocks_.back().id;  // counted only once the block is in
    return Inserted{last_block_id_, blocks_.size()};
  } catch (...) {
    inserted_.fetch_sub(tokens, std::memory_order_relaxed);  // the block never arrived
    throw;
  }
}

size_t ContextWindow::size() const {
  std::lock_guard lock(blocks_mu_);
  return blocks_.size();
}

std::vector<std::string> ContextWindow::active_context() const {
  std::lock_guard lock(blocks_mu_);
  std::vector<std::string> out;
  out.reserve(blocks_.size());
  for (const Block& b : blocks_) out.push_back(b.content);
  return out;
}

uint64_t ContextWindow::active_tokens() const {
  std::lock_guard lock(blocks_mu_);
  uint64_t sum = 0;
  for (const Block& b : blocks_) sum += b.tokens;
  return sum;
}

std::vector<Block> ContextWindow::blocks_snapshot() const {
  std::lock_guard lock(blocks_mu_);
  return blocks_;
}

uint64_t ContextWindow::inserted_tokens() const noexcept {
  return inserted_.load(std::memory_order_relaxed);
}

uint64_t ContextWindow::reclaimed_tokens() const noexcept {
  return reclaimed_.load(std::memory_order_relaxed);
}

float ContextWindow::reduction_ratio() const noexcept {
  // Acquire pairs with the release add in decay_and_purge: every insertion
  // counted in that reclaimed value is then visible in the inserted load.
  const uint64_t reclaimed = reclaimed_.load(std::memory_order_acquire);
  const uint64_t inserted = inserted_.load(std::memory_order_relaxed);
  if (inserted == 0) return 0.0f;
  return static_cast<float>(reclaimed) / static_cast<float>(inserted);
}

CyclePlan ContextWindow::plan_cycle(float reinforce_boost, bool absorb) const noexcept {
  return CyclePlan{::exp2f(-1.0f / half_life_), safe_threshold_, reinforce_boost, absorb};
}

CycleOutcome ContextWindow::decay_and_purge(const CyclePlan& plan) {
  CycleOutcome out;
  std::lock_guard lock(blocks_mu_);
  // Digests first, before anything changes, so that a failed allocation
  // leaves the window exactly as it was. The survival test is the same
  // single-precision product as below.
  if (plan.absorb) {
    for (const Block& b : blocks_) {
      if (is_durable(b.signal) || !is_conversational(b.signal)) continue;
      if (!(b.oxygen * plan.decay >= plan.threshold)) out.digests.push_back(one_line_digest(b.content));
    }
  }
  // Decay or reinforce, then close up the survivors in place (a stable
  // filter; survivors are moved, never copied). Nothing here can throw.
  const size_t n = blocks_.size();
  size_t kept = 0;
  uint64_t reclaimed = 0;
  for (size_t i = 0; i < n; ++i) {
    Block& b = blocks_[i];
    bool keep;
    if (is_durable(b.signal)) {
      b.oxygen = b.oxygen + plan.reinforce_boost;
      keep = true;
    } else {
      b.oxygen = b.oxygen * plan.decay;
      keep = b.oxygen >= plan.threshold;  // NaN oxygen or threshold purges
    }
    if (!keep) {
      reclaimed += b.tokens;
      continue;
    }
    if (kept != i) blocks_[kept] = std::move(b);
    ++kept;
  }
  blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(kept), blocks_.end());
  out.purged = n - kept;
  // Release: publishes, with the count, the insertions this cycle has seen.
  reclaimed_.fetch_add(reclaimed, std::memory_order_release);
  return out;
}

void ContextWindow::absorb_digests(std::vector<std::string>& digests) {
  for (std::string& d : digests) append_state(std::move(d));
}

uint64_t ContextWindow::dehydrate(float reinforce_boost, bool absorb) {
  CycleOutcome outcome = decay_and_purge(plan_cycle(reinforce_boost, absorb));
  absorb_digests(outcome.digests);
  return outcome.purged;
}

bool ContextWindow::append_state(std::string text) {
  const uint64_t h = ledger_hash_(text);  // outside the lock
  // The entry's line, made from the text in place when it has the room.
  std::string line = std::move(text);
  line.insert(0, "- ");
  line.push_back('\n');
  std::lock_guard lock(ledger_mu_);
  // Equal hashes usually mean equal texts, but the hash's key is public, so
  // two texts can be made to collide: only the same text (the same line) is
  // a repeat.
  for (const StateEntry& e : ledger_)
    if (e.hash == h && e.line == line) return false;  // a repeat keeps its place
  ledger_.push_back(StateEntry{h, std::move(line), last_entry_id_ + 1});
  ++last_entry_id_;
  while (ledger_.size() > state_capacity_) ledger_.pop_front();
  return true;
}

void ContextWindow::set_purpose(std::optional<std::string> text) {
  if (text) text->push_back('\n');
  std::lock_guard lock(purpose_mu_);
  purpose_line_.swap(text);  // the old purpose is freed after the lock is released
  ++purpose_version_;
}

std::vector<std::string> ContextWindow::state_entries() const {
  std::lock_guard lock(ledger_mu_);
  std::vector<std::string> out;
  out.reserve(ledger_.size());
  for (const StateEntry& e : ledger_) out.emplace_back(e.text());
  return out;
}

std::string ContextWindow::render() const {
  std::string out;
  visit_render_pieces([&](PieceKey, std::string_view text) { out.append(text); });
  return out;
}

}  // namespace zelmo
