// effort_gauge(text)
#include "arguments.h"
#include "bindings.h"
#include "convert.h"
#include "errors.h"
#include "refs.h"
#include "text.h"
#include "core/effort_gauge.h"

namespace zelmo::py {
namespace {

ZELMO_SPEC(kSpec, "effort_gauge", nullptr, 1, "text");

Interned k_score("score");
Interned k_tier("tier");
Interned k_budget("budget_tokens");
Interned k_signals("signals");
Interned k_words("words");
Interned k_len_score("len_score");
Interned k_hard_hits("hard_hits");
Interned k_constraint_hits("constraint_hits");
Interned k_code_hits("code_hits");
Interned k_digit_ratio("digit_ratio");
Interned k_novelty("novelty");
Interned k_trivial_hits("trivial_hits");

// Keys go in in this order; callers iterate the dicts in it.
Ref signals_dict(const EffortSignals& s) {
  Ref d = new_dict();
  dict_set(d.get(), k_words, new_u64(s.words));
  dict_set(d.get(), k_len_score, new_float(s.len_score));
  dict_set(d.get(), k_hard_hits, new_u64(s.hard_hits));
  dict_set(d.get(), k_constraint_hits, new_u64(s.constraint_hits));
  dict_set(d.get(), k_code_hits, new_u64(s.code_hits));
  dict_set(d.get(), k_digit_ratio, new_float(s.digit_ratio));
  dict_set(d.get(), k_novelty, new_float(s.novelty));
  dict_set(d.get(), k_trivial_hits, new_u64(s.trivial_hits));
  return d;
}

PyObject* effort_gauge_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<1>(kSpec, args, kwargs);
    const Utf8 utf8 = arg(kSpec, a, 0, to_utf8);
    const std::string_view text = utf8.view();

    const EffortResult r = effort_gauge(text);

    Ref out = new_dict();
    dict_set(out.get(), k_score, new_float(r.score));
    dict_set(out.get(), k_tier, new_text(effort_tier_name(r.tier)));
    dict_set(out.get(), k_budget, new_u32(r.budget_tokens));
    dict_set(out.get(), k_signals, signals_dict(r.signals));
    return out;
  });
}

}  // namespace

PyMethodDef effort_gauge_def = {
    "effort_gauge", method(effort_gauge_fn), METH_VARARGS | METH_KEYWORDS,
    "effort_gauge(text)\n--\n\n"
    "Gauge the reasoning effort a request deserves. Returns a dict:\n"
    "`score` (0..1), `tier` (\"off\" | \"low\" | \"medium\" | \"high\"),\n"
    "`budget_tokens` (0 | 1024 | 4096 | 16384) and the raw `signals`."};

}  // namespace zelmo::py
