// consolidation_gain(prefix_tokens, purgeable_tokens, calls_ahead=8,
//                    cache_read_ratio=0.1, cache_write_ratio=1.25)
#include "arguments.h"
#include "bindings.h"
#include "convert.h"
#include "errors.h"
#include "refs.h"
#include "core/consolidation_gain.h"

namespace zelmo::py {
namespace {

ZELMO_SPEC(kSpec, "consolidation_gain", nullptr, 2, "prefix_tokens", "purgeable_tokens",
           "calls_ahead", "cache_read_ratio", "cache_write_ratio");

Interned k_consolidate("consolidate");
Interned k_gain("gain_token_equiv");
Interned k_cost_keep("cost_keep");
Interned k_cost_consolidate("cost_consolidate");
Interned k_break_even("break_even_calls");

PyObject* consolidation_gain_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<5>(kSpec, args, kwargs);
    const std::uint64_t prefix = arg(kSpec, a, 0, to_u64);
    const std::uint64_t purgeable = arg(kSpec, a, 1, to_u64);
    const std::uint32_t calls = arg_or(kSpec, a, 2, to_u32, std::uint32_t{8});
    const double read_ratio = arg_or(kSpec, a, 3, to_double, 0.1);
    const double write_ratio = arg_or(kSpec, a, 4, to_double, 1.25);

    const ConsolidationGain g =
        consolidation_gain(prefix, purgeable, calls, read_ratio, write_ratio);

    Ref out = new_dict();
    dict_set(out.get(), k_consolidate, new_bool(g.consolidate));
    dict_set(out.get(), k_gain, new_float(g.gain_token_equiv));
    dict_set(out.get(), k_cost_keep, new_float(g.cost_keep));
    dict_set(out.get(), k_cost_consolidate, new_float(g.cost_consolidate));
    dict_set(out.get(), k_break_even, new_float(g.break_even_calls));
    return out;
  });
}

}  // namespace

PyMethodDef consolidation_gain_def = {
    "consolidation_gain", method(consolidation_gain_fn), METH_VARARGS | METH_KEYWORDS,
    "consolidation_gain(prefix_tokens, purgeable_tokens, calls_ahead=8, cache_read_ratio=0.1, "
    "cache_write_ratio=1.25)\n--\n\n"
    "Decide whether consolidating (rewriting) a provider-cached prefix pays off.\n"
    "\n"
    "Rewriting a cached prefix purges `purgeable_tokens` of ballast but forfeits\n"
    "the cache discount on the next call (a fresh cache write). Keeping it stale\n"
    "re-pays the cached read of the ballast on every future call. In input-token\n"
    "equivalents (uncached input = 1.0), over the next `calls_ahead` calls:\n"
    "\n"
    "  keep:        calls_ahead \xC2\xB7 prefix \xC2\xB7 read_ratio\n"
    "  consolidate: (prefix \xE2\x88\x92 purgeable) \xC2\xB7 write_ratio\n"
    "               + (calls_ahead \xE2\x88\x92 1) \xC2\xB7 (prefix \xE2\x88\x92 purgeable) \xC2\xB7 "
    "read_ratio\n"
    "\n"
    "Default ratios match current Anthropic pricing (cache read = 0.1\xC3\x97 input,\n"
    "cache write = 1.25\xC3\x97 input). Returns the net gain (positive \xE2\x86\x92 consolidate\n"
    "now) plus the break-even number of calls."};

}  // namespace zelmo::py
