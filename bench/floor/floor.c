/* The benchmarks' floor: what the stable ABI makes any implementation pay.
 *
 * Every function here takes a workload's arguments through the same
 * interpreter calls zelmo_micro makes (the positional tuple and keyword dict
 * of METH_VARARGS | METH_KEYWORDS, the same conversions, the same way of
 * reading a str) and returns a result of the same shape, built with the same
 * calls, but computes nothing: no decay, no hashing, no word tests. A module
 * row's time divided by its floor's says how much of the time is the
 * module's own work.
 *
 * zelmo_floor_measure(fn, args, n) calls fn(*args) n times. Under callgrind
 * (bench/instructions.py) it is where the instruction counts come from: it
 * switches instrumentation and collection on around the calls and dumps one
 * profile part per measurement, so a count holds the calls and nothing of
 * the interpreter's start-up or of the workload's construction, which run
 * uninstrumented and so much faster.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <stdlib.h>

/* Callgrind's client requests, where valgrind's headers are installed: no
 * more than a few no-op instructions when the program runs natively. */
#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define FLOOR_CALLGRIND 1
#endif
#endif
#ifndef FLOOR_CALLGRIND
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#define CALLGRIND_TOGGLE_COLLECT
#define CALLGRIND_DUMP_STATS
#endif

/* ------------------------------------------------------------------------
 * Shared plumbing */

typedef PyObject *(*NoArgsFn)(PyObject *, PyObject *);
static NoArgsFn g_isascii;

/* The i-th positional argument, or NULL when absent; keyword arguments are
 * walked as the module walks them (every name read as UTF-8). */
static PyObject *positional(PyObject *args, Py_ssize_t i) {
  return i < PyTuple_Size(args) ? PyTuple_GetItem(args, i) : NULL;
}

static int walk_keywords(PyObject *kwargs) {
  if (!kwargs) return 0;
  Py_ssize_t pos = 0, len = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_AsUTF8AndSize(key, &len)) return -1;
  }
  return 0;
}

static int is_ascii(PyObject *str) {
  PyObject *r = g_isascii(str, NULL);
  if (!r) return -1;
  int ascii = r == Py_True;
  Py_DECREF(r);
  return ascii;
}

static int as_u32(PyObject *obj, uint32_t *out) {
  unsigned long v = PyLong_AsUnsignedLong(obj);
  if (v == (unsigned long)-1 && PyErr_Occurred()) return -1;
  *out = (uint32_t)v;
  return 0;
}

/* dict[key] = value, consuming value; the key is interned once per call
 * site, as the module keeps its keys. */
static int set_item_at(PyObject **slot, const char *key, PyObject *dict, PyObject *value) {
  if (!value) return -1;
  if (!*slot && !(*slot = PyUnicode_InternFromString(key))) {
    Py_DECREF(value);
    return -1;
  }
  int r = PyDict_SetItem(dict, *slot, value);
  Py_DECREF(value);
  return r;
}
#define set_item(dict, key, value) \
  __extension__({                  \
    static PyObject *slot_;        \
    set_item_at(&slot_, key, dict, value); \
  })

/* A str's text the way the module reads it: an ASCII str in place; another
 * copied out in one call (the module copies slices of the same total size).
 * Returns the number of bytes read, or -1 with an exception set. */
static Py_ssize_t read_text(PyObject *str) {
  if (!PyUnicode_Check(str)) {
    PyErr_SetString(PyExc_TypeError, "expected a str");
    return -1;
  }
  int ascii = is_ascii(str);
  if (ascii < 0) return -1;
  Py_ssize_t n = 0;
  if (ascii) return PyUnicode_AsUTF8AndSize(str, &n) ? n : -1;
  PyObject *utf16 = PyUnicode_AsUTF16String(str);
  if (!utf16) return -1;
  n = PyBytes_Size(utf16);
  Py_DECREF(utf16);
  return n;
}

/* ------------------------------------------------------------------------
 * A window session's calls besides render. window_insert(content, signal=0,
 * oxygen=None) reads the text as the module reads it and converts the
 * rest; window_dehydrate(reinforce_boost=0.5, absorb=False) converts both
 * and releases the interpreter lock once, as the module must around its
 * decay pass. They return what the module's methods return: None, an int. */

/* The keyword argument `name`, or the positional one at i, or NULL. */
static PyObject *argument(PyObject *args, PyObject *kwargs, Py_ssize_t i, const char *name) {
  PyObject *value = positional(args, i);
  if (!value && kwargs) value = PyDict_GetItemString(kwargs, name);
  return value;
}

static PyObject *window_insert(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  if (walk_keywords(kwargs) < 0) return NULL;
  PyObject *content = argument(args, kwargs, 0, "content");
  PyObject *signal = argument(args, kwargs, 1, "signal"), *oxygen = argument(args, kwargs, 2, "oxygen");
  uint32_t flags = 0;
  if (!content) {
    PyErr_SetString(PyExc_TypeError, "content missing");
    return NULL;
  }
  if (read_text(content) < 0 || (signal && as_u32(signal, &flags) < 0)) return NULL;
  if (oxygen && oxygen != Py_None && PyFloat_AsDouble(oxygen) == -1.0 && PyErr_Occurred()) return NULL;
  Py_RETURN_NONE;
}

static PyObject *window_dehydrate(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  if (walk_keywords(kwargs) < 0) return NULL;
  PyObject *boost = argument(args, kwargs, 0, "reinforce_boost"), *absorb = argument(args, kwargs, 1, "absorb");
  if (boost && PyFloat_AsDouble(boost) == -1.0 && PyErr_Occurred()) return NULL;
  if (absorb && PyObject_IsTrue(absorb) < 0) return NULL;
  PyEval_RestoreThread(PyEval_SaveThread());
  return PyLong_FromLong(0);
}

/* ------------------------------------------------------------------------
 * dehydrate: the pairs walked, each text's UTF-8 length read (an ASCII
 * str's is its length; another str is copied out as code points, as the
 * module does, and counted), the same nine-key dict with a list of the kept
 * texts. The kept texts are the durable ones and the protected prefix (one
 * AND and one compare per message), nearly all of what the module keeps. */

enum LengthRoute {
  BY_CODE_POINTS, /* a non-ASCII str copied out as code points and counted (uncached) */
  BY_CACHED_UTF8  /* PyUnicode_AsUTF8AndSize: leaves a UTF-8 copy on the str */
};

typedef struct {
  PyObject *text;
  Py_ssize_t bytes;
  uint32_t flags;
} Pair;

static Py_UCS4 g_points[4096];

/* Bytes beyond the first of each of n code points: the plainest count,
 * vectorised for the widest registers the processor has, as the module's
 * (surrogates are not looked for). */
#if defined(__GNUC__) && defined(__x86_64__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
static uint32_t utf8_extra(const Py_UCS4 *points, Py_ssize_t n) {
  uint32_t extra = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = points[i];
    extra += (uint32_t)(c >= 0x80) + (uint32_t)(c >= 0x800) + (uint32_t)(c >= 0x10000);
  }
  return extra;
}

static Py_ssize_t utf8_length(PyObject *text, enum LengthRoute route) {
  Py_ssize_t n = 0;
  if (route == BY_CACHED_UTF8) return PyUnicode_AsUTF8AndSize(text, &n) ? n : -1;
  n = PyUnicode_GetLength(text);
  int ascii = is_ascii(text);
  if (n < 0 || ascii < 0) return -1;
  if (ascii) return n;
  if (n <= 4096) {
    if (!PyUnicode_AsUCS4(text, g_points, 4096, 0)) return -1;
    return n + (Py_ssize_t)utf8_extra(g_points, n);
  }
  PyObject *bytes = PyUnicode_AsUTF8String(text);
  if (!bytes) return -1;
  n = PyBytes_Size(bytes);
  Py_DECREF(bytes);
  return n;
}

static PyObject *dehydrate_by(PyObject *args, PyObject *kwargs, enum LengthRoute route) {
  PyObject *messages = positional(args, 0);
  if (!messages || walk_keywords(kwargs) < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "messages missing");
    return NULL;
  }
  PyObject *h = positional(args, 1), *t = positional(args, 2), *p = positional(args, 3);
  if ((h && PyFloat_AsDouble(h) == -1.0 && PyErr_Occurred()) ||
      (t && PyFloat_AsDouble(t) == -1.0 && PyErr_Occurred()))
    return NULL;
  unsigned long long prefix = p ? PyLong_AsUnsignedLongLong(p) : 0;
  if (prefix == (unsigned long long)-1 && PyErr_Occurred()) return NULL;
  if (PyUnicode_Check(messages) || !PySequence_Check(messages)) {
    PyErr_SetString(PyExc_TypeError, "expected a sequence of pairs");
    return NULL;
  }
  Py_ssize_t hint = PyObject_Size(messages);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  size_t cap = hint > 0 ? (size_t)hint : 16, n = 0, kept = 0;
  Pair *pairs = malloc(cap * sizeof(Pair));
  PyObject *iter = pairs ? PyObject_GetIter(messages) : NULL;
  PyObject *item = NULL, *out = NULL, *list = NULL;
  if (!iter) goto done;
  while ((item = PyIter_Next(iter))) {
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 2) {
      PyErr_SetString(PyExc_TypeError, "expected a pair");
      goto done;
    }
    PyObject *text = PyTuple_GetItem(item, 0);
    if (!PyUnicode_Check(text)) {
      PyErr_SetString(PyExc_TypeError, "expected a str");
      goto done;
    }
    Pair pair = {text, utf8_length(text, route), 0};
    if (pair.bytes < 0 || as_u32(PyTuple_GetItem(item, 1), &pair.flags) < 0) goto done;
    if (n == cap) {
      Pair *grown = realloc(pairs, 2 * cap * sizeof(Pair));
      if (!grown) goto done;
      pairs = grown;
      cap *= 2;
    }
    Py_INCREF(text);
    pairs[n++] = pair;
    Py_CLEAR(item);
  }
  if (PyErr_Occurred()) goto done;

  uint64_t before = 0, after = 0, in_prefix = 0;
  for (size_t i = 0; i < n; ++i) kept += (pairs[i].flags & 9u) || i < prefix;
  list = PyList_New((Py_ssize_t)kept);
  if (!list) goto done;
  for (size_t i = 0, k = 0; i < n; ++i) {
    uint64_t tokens = (uint64_t)pairs[i].bytes / 4 + 1;
    before += tokens;
    if (i < prefix) in_prefix += tokens;
    if ((pairs[i].flags & 9u) || i < prefix) {
      after += tokens;
      Py_INCREF(pairs[i].text);
      PyList_SetItem(list, (Py_ssize_t)k++, pairs[i].text);
    }
  }
  out = PyDict_New();
  if (!out || set_item(out, "kept", list) < 0 ||
      set_item(out, "blocks_in", PyLong_FromSize_t(n)) < 0 ||
      set_item(out, "blocks_kept", PyLong_FromSize_t(kept)) < 0 ||
      set_item(out, "blocks_purged", PyLong_FromSize_t(n - kept)) < 0 ||
      set_item(out, "tokens_before", PyLong_FromUnsignedLongLong(before)) < 0 ||
      set_item(out, "tokens_after", PyLong_FromUnsignedLongLong(after)) < 0 ||
      set_item(out, "reduction", PyFloat_FromDouble(before ? 1.0 - (double)after / before : 0.0)) < 0 ||
      set_item(out, "stable_prefix_tokens", PyLong_FromUnsignedLongLong(in_prefix)) < 0 ||
      set_item(out, "kernel_latency_us", PyFloat_FromDouble(0.0)) < 0)
    Py_CLEAR(out);
  list = NULL; /* set_item consumed it */
done:
  Py_XDECREF(item);
  Py_XDECREF(iter);
  Py_XDECREF(list);
  for (size_t i = 0; i < n; ++i) Py_DECREF(pairs[i].text);
  free(pairs);
  if (!out && !PyErr_Occurred()) PyErr_NoMemory();
  return out;
}

static PyObject *dehydrate(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  return dehydrate_by(args, kwargs, BY_CODE_POINTS);
}

static PyObject *dehydrate_cached(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  return dehydrate_by(args, kwargs, BY_CACHED_UTF8);
}

/* ------------------------------------------------------------------------
 * The bus: arguments converted, the same result kind returned. */

static PyObject *secrete(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  uint32_t flags;
  PyObject *f = positional(args, 0), *x = positional(args, 1);
  if (!f || !x || walk_keywords(kwargs) < 0 || as_u32(f, &flags) < 0) return NULL;
  if (PyFloat_AsDouble(x) == -1.0 && PyErr_Occurred()) return NULL;
  Py_RETURN_NONE;
}

static PyObject *inject(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  if (!positional(args, 0) || walk_keywords(kwargs) < 0) return NULL;
  Py_RETURN_NONE;
}

static PyObject *sense(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  uint32_t mask;
  PyObject *m = positional(args, 0);
  if (!m || walk_keywords(kwargs) < 0 || as_u32(m, &mask) < 0) return NULL;
  return PyFloat_FromDouble((double)(mask & 1u));
}

static PyObject *tick(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  PyObject *d = positional(args, 0);
  if (!d || walk_keywords(kwargs) < 0) return NULL;
  if (PyFloat_AsDouble(d) == -1.0 && PyErr_Occurred()) return NULL;
  Py_RETURN_NONE;
}

/* The same four with the interpreter lock released and taken back once, as
 * the bus's contract makes the module do around its work (other threads run
 * meanwhile): the floor of any implementation that keeps that promise. */
static PyObject *released(PyObject *result) {
  if (result) PyEval_RestoreThread(PyEval_SaveThread());
  return result;
}
#define RELEASED(name)                                                                   \
  static PyObject *name##_released(PyObject *self, PyObject *args, PyObject *kwargs) { \
    return released(name(self, args, kwargs));                                          \
  }
RELEASED(secrete)
RELEASED(inject)
RELEASED(sense)
RELEASED(tick)

/* drain_events(max): the list of max (int, float) tuples, the events a bus
 * filled with secrete(i & 0xFF, 1.0) holds. */
static PyObject *drain_events(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  PyObject *m = positional(args, 0);
  if (!m || walk_keywords(kwargs) < 0) return NULL;
  Py_ssize_t max = PyLong_AsSsize_t(m);
  if (max == -1 && PyErr_Occurred()) return NULL;
  PyObject *out = PyList_New(max);
  for (Py_ssize_t i = 0; out && i < max; ++i) {
    PyObject *pair = PyTuple_New(2);
    PyObject *flags = PyLong_FromUnsignedLong((unsigned long)(i & 0xFF));
    PyObject *x = PyFloat_FromDouble(1.0);
    if (!pair || !flags || !x) {
      Py_XDECREF(pair);
      Py_XDECREF(flags);
      Py_XDECREF(x);
      Py_CLEAR(out);
      break;
    }
    PyTuple_SetItem(pair, 0, flags);
    PyTuple_SetItem(pair, 1, x);
    PyList_SetItem(out, i, pair);
  }
  return out;
}

/* ------------------------------------------------------------------------
 * The stateless kernels. */

static PyObject *consolidation_gain(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  PyObject *a = positional(args, 0), *b = positional(args, 1);
  if (!a || !b || walk_keywords(kwargs) < 0) return NULL;
  unsigned long long prefix = PyLong_AsUnsignedLongLong(a);
  unsigned long long purgeable = PyLong_AsUnsignedLongLong(b);
  if (PyErr_Occurred()) return NULL;
  double x = (double)prefix, y = (double)purgeable;
  PyObject *out = PyDict_New();
  if (!out || set_item(out, "consolidate", Py_NewRef(Py_True)) < 0 ||
      set_item(out, "gain_token_equiv", PyFloat_FromDouble(x)) < 0 ||
      set_item(out, "cost_keep", PyFloat_FromDouble(y)) < 0 ||
      set_item(out, "cost_consolidate", PyFloat_FromDouble(x + 1.0)) < 0 ||
      set_item(out, "break_even_calls", PyFloat_FromDouble(y + 1.0)) < 0)
    Py_CLEAR(out);
  return out;
}

static PyObject *saturation_scan(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  PyObject *text = positional(args, 0);
  if (!text || walk_keywords(kwargs) < 0) return NULL;
  Py_ssize_t n = read_text(text);
  return n < 0 ? NULL : PyFloat_FromDouble((double)(n & 1));
}

static PyObject *effort_gauge(PyObject *self, PyObject *args, PyObject *kwargs) {
  (void)self;
  PyObject *text = positional(args, 0);
  if (!text || walk_keywords(kwargs) < 0) return NULL;
  Py_ssize_t n = read_text(text);
  if (n < 0) return NULL;
  PyObject *signals = PyDict_New(), *out = PyDict_New();
  if (!signals || !out || set_item(signals, "words", PyLong_FromSsize_t(n)) < 0 ||
      set_item(signals, "len_score", PyFloat_FromDouble(0.5)) < 0 ||
      set_item(signals, "hard_hits", PyLong_FromSsize_t(n + 1)) < 0 ||
      set_item(signals, "constraint_hits", PyLong_FromSsize_t(n + 2)) < 0 ||
      set_item(signals, "code_hits", PyLong_FromSsize_t(n + 3)) < 0 ||
      set_item(signals, "digit_ratio", PyFloat_FromDouble(0.25)) < 0 ||
      set_item(signals, "novelty", PyFloat_FromDouble(0.75)) < 0 ||
      set_item(signals, "trivial_hits", PyLong_FromSsize_t(n + 4)) < 0 ||
      set_item(out, "score", PyFloat_FromDouble(0.125)) < 0 ||
      set_item(out, "tier", PyUnicode_InternFromString("low")) < 0 ||
      set_item(out, "budget_tokens", PyLong_FromLong(1024)) < 0) {
    Py_XDECREF(signals);
    Py_XDECREF(out);
    return NULL;
  }
  if (set_item(out, "signals", signals) < 0) Py_CLEAR(out);
  return out;
}

/* ------------------------------------------------------------------------ */

PyObject *zelmo_floor_measure(PyObject *self, PyObject *args) {
  (void)self;
  PyObject *fn, *call_args;
  Py_ssize_t n;
  if (!PyArg_ParseTuple(args, "OO!n", &fn, &PyTuple_Type, &call_args, &n)) return NULL;
  int ok = 1;
  CALLGRIND_START_INSTRUMENTATION;
  CALLGRIND_TOGGLE_COLLECT;
  for (Py_ssize_t i = 0; ok && i < n; ++i) {
    PyObject *r = PyObject_Call(fn, call_args, NULL);
    ok = r != NULL;
    Py_XDECREF(r);
  }
  CALLGRIND_TOGGLE_COLLECT;
  CALLGRIND_DUMP_STATS;
  CALLGRIND_STOP_INSTRUMENTATION;
  if (!ok) return NULL;
  Py_RETURN_NONE;
}

#define KW(name, doc) {#name, (PyCFunction)(void (*)(void))name, METH_VARARGS | METH_KEYWORDS, doc}

static PyMethodDef methods[] = {
    KW(dehydrate, "dehydrate's floor; a non-ASCII text's length read through its code points"),
    KW(dehydrate_cached, "dehydrate's floor; every text's length read through the cached UTF-8"),
    KW(secrete, "secrete(flags, intensity)'s floor"),
    KW(inject, "inject(signal)'s floor"),
    KW(sense, "sense(mask)'s floor"),
    KW(tick, "tick(decay)'s floor"),
    KW(secrete_released, "secrete's floor, the interpreter lock released once"),
    KW(inject_released, "inject's floor, the interpreter lock released once"),
    KW(sense_released, "sense's floor, the interpreter lock released once"),
    KW(tick_released, "tick's floor, the interpreter lock released once"),
    KW(drain_events, "drain_events(max)'s floor: max (int, float) tuples"),
    KW(window_insert, "ContextApoptosis.insert's floor: the text read, None returned"),
    KW(window_dehydrate, "ContextApoptosis.dehydrate's floor: the lock released once, an int returned"),
    KW(consolidation_gain, "consolidation_gain's floor: the five-key dict"),
    KW(saturation_scan, "saturation_scan's floor: the text read, a float returned"),
    KW(effort_gauge, "effort_gauge's floor: the text read, the nested dict built"),
    {"measure", zelmo_floor_measure, METH_VARARGS, "measure(fn, args, n): fn(*args), n times"},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "zelmo_floor", NULL, -1, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_zelmo_floor(void) {
  PyObject *empty = PyUnicode_FromStringAndSize("", 0);
  PyObject *bound = empty ? PyObject_GetAttrString(empty, "isascii") : NULL;
  Py_XDECREF(empty);
  if (!bound) return NULL;
  g_isascii = (NoArgsFn)PyCFunction_GetFunction(bound);
  Py_DECREF(bound);
  if (!g_isascii) return NULL;
  return PyModule_Create(&module);
}
