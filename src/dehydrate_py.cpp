// dehydrate(messages, half_life=6.0, safe_threshold=0.35, stable_prefix=0)
#include <chrono>
#include <string>
#include <vector>

#include "bindings.h"
#include "block_model.h"
#include "dehydrate_pass.h"

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

struct Message {
  std::string text;
  std::uint32_t flags;
};

// Owned copies of the (content, signal_flags) pairs, in order.
struct Messages final : PairSink {
  std::vector<Message> items;
  void reserve(std::size_t n) override { items.reserve(n); }
  void push(std::string_view text, std::uint32_t flags) override {
    items.push_back(Message{std::string(text), flags});
  }
};

PyObject* dehydrate_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<4>(kSpec, args, kwargs);
    Messages messages;
    arg(kSpec, a, 0, [&](PyObject* obj) {
      to_pairs(obj, messages);
      return 0;
    });
    const float half_life = arg_or(kSpec, a, 1, to_single, 6.0f);
    const float threshold = arg_or(kSpec, a, 2, to_single, 0.35f);
    const std::uint64_t stable_prefix = arg_or(kSpec, a, 3, to_u64, std::uint64_t{0});

    const DehydrateRule rule = make_dehydrate_rule(half_life, threshold);
    const std::vector<Message>& items = messages.items;
    const std::size_t n = items.size();

    // The timed region is the decision pass alone, lock release and
    // re-acquisition included.
    const auto start = std::chrono::steady_clock::now();
    const std::vector<unsigned char> keep = without_gil([&] {
      return dehydrate_keep_mask(rule, stable_prefix, n, [&](std::size_t i) { return items[i].flags; });
    });
    const auto stop = std::chrono::steady_clock::now();

    DehydrateTotals totals;
    for (std::size_t i = 0; i < n; ++i)
      totals.count(estimate_tokens(items[i].text), i < stable_prefix, keep[i] != 0);

    Ref kept = new_list(static_cast<std::size_t>(totals.blocks_kept));
    for (std::size_t i = 0, k = 0; i < n; ++i)
      if (keep[i]) list_put(kept.get(), k++, new_text(items[i].text));

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
