// HormonalSignal(flags, intensity=1.0) and
// HormonalBus(num_signals=32, event_capacity=4096).
//
// The signal is a plain value under the instance's access guard. The bus
// instance owns its core through a pointer (the core's ring positions sit on
// their own cache lines, an alignment the interpreter's allocator does not
// promise). inject, secrete, sense and tick convert and copy everything they
// need first, then release the interpreter lock for the numeric work only.
//
// The bus's methods take no access on its guard: the bus is never taken
// exclusively (all its state is atomic words and the lock-free ring), so
// shared access would always be granted and counting it would only add two
// locked instructions on a line every thread touches to each call.
#include <algorithm>
#include <bit>
#include <memory>
#include <vector>

#include "access.h"
#include "arguments.h"
#include "bindings.h"
#include "convert.h"
#include "errors.h"
#include "refs.h"
#include "section.h"
#include "types.h"
#include "core/hormonal_bus.h"

namespace zelmo::py {
namespace {

using SignalInstance = Instance<SignalEvent>;
using BusInstance = Instance<std::unique_ptr<Bus>>;

ZELMO_SPEC(kSignalNew, "__new__", "HormonalSignal", 1, "flags", "intensity");
ZELMO_SPEC(kBusNew, "__new__", "HormonalBus", 0, "num_signals", "event_capacity");
ZELMO_SPEC(kInject, "inject", "HormonalBus", 1, "signal");
ZELMO_SPEC(kSecrete, "secrete", "HormonalBus", 2, "flags", "intensity");
ZELMO_SPEC(kSense, "sense", "HormonalBus", 1, "mask");
ZELMO_SPEC(kConcentration, "concentration", "HormonalBus", 1, "signal_bit");
ZELMO_SPEC(kTick, "tick", "HormonalBus", 1, "decay");
ZELMO_SPEC(kDrain, "drain_events", "HormonalBus", 1, "max");

Interned k_num_signals("num_signals");
Interned k_secretions("secretions");
Interned k_total("total_concentration");

PyObject* g_signal_type = nullptr;
PyObject* g_bus_type = nullptr;

// ---------------------------------------------------------------------------
// HormonalSignal

PyObject* signal_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<2>(kSignalNew, args, kwargs);
    const std::uint32_t flags = arg(kSignalNew, a, 0, to_u32);
    const float intensity = arg_or(kSignalNew, a, 1, to_single, 1.0f);
    return new_instance(type, SignalEvent{flags, intensity});
  });
}

// The fields, copied under shared access.
SignalEvent read_signal(PyObject* self) {
  SignalInstance* inst = as_instance<SignalEvent>(self);
  SharedAccess access(inst->access);
  return inst->value;
}

// A property setter's value converted before any access is taken; a failure
// carries the property's note and leaves the signal as it was.
template <class Convert>
auto property_value(PyObject* value, const char* name, Convert convert) -> decltype(convert(value)) {
  if (!value) raise(PyExc_AttributeError, "property has no deleter");
  try {
    return convert(value);
  } catch (const Error&) {
    rethrow_with_note(name);
  }
}

PyObject* signal_get_flags(PyObject* self, void*) {
  return guard([&] { return new_u32(read_signal(self).flags); });
}

PyObject* signal_get_intensity(PyObject* self, void*) {
  return guard([&] { return new_float(static_cast<double>(read_signal(self).intensity)); });
}

int signal_set_flags(PyObject* self, PyObject* value, void*) {
  return guard_with(
      [&]() -> int {
        const std::uint32_t flags = property_value(value, "flags", to_u32);
        SignalInstance* inst = as_instance<SignalEvent>(self);
        ExclusiveAccess access(inst->access);
        inst->value.flags = flags;
        return 0;
      },
      -1);
}

int signal_set_intensity(PyObject* self, PyObject* value, void*) {
  return guard_with(
      [&]() -> int {
        const float intensity = property_value(value, "intensity", to_single);
        SignalInstance* inst = as_instance<SignalEvent>(self);
        ExclusiveAccess access(inst->access);
        inst->value.intensity = intensity;
        return 0;
      },
      -1);
}

PyObject* signal_repr_slot(PyObject* self) {
  return guard([&] {
    const SignalEvent s = read_signal(self);
    return new_text(signal_repr(s.flags, s.intensity));
  });
}

PyGetSetDef g_signal_getset[] = {
    {"flags", signal_get_flags, signal_set_flags, nullptr, nullptr},
    {"intensity", signal_get_intensity, signal_set_intensity, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_signal_slots[] = {
    {Py_tp_doc, const_cast<char*>("HormonalSignal(flags, intensity=1.0)\n--\n\n"
                                  "A single hormonal signal: bitwise channel `flags` (`u32`) + "
                                  "`intensity` (`f32`).")},
    {Py_tp_new, slot(signal_new)},
    {Py_tp_dealloc, slot(dealloc_instance<SignalEvent>)},
    {Py_tp_repr, slot(signal_repr_slot)},
    {Py_tp_getset, g_signal_getset},
    {0, nullptr},
};

PyType_Spec g_signal_spec = {
    "builtins.HormonalSignal",
    static_cast<int>(sizeof(SignalInstance)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_signal_slots,
};

// ---------------------------------------------------------------------------
// HormonalBus

Bus& bus_of(PyObject* self) { return *as_instance<std::unique_ptr<Bus>>(self)->value; }

PyObject* bus_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<2>(kBusNew, args, kwargs);
    const std::uint64_t num_signals = arg_or(kBusNew, a, 0, to_u64, std::uint64_t{32});
    const std::uint64_t event_capacity = arg_or(kBusNew, a, 1, to_u64, std::uint64_t{4096});
    auto bus = std::make_unique<Bus>(num_signals, event_capacity);
    return new_instance(type, std::move(bus));
  });
}

// The signal argument of inject: its fields copied under the signal's shared
// access, while the interpreter lock is still held.
SignalEvent to_signal_copy(PyObject* obj) {
  SignalInstance* inst = to_instance<SignalEvent>(obj, hormonal_signal_type(), "HormonalSignal");
  SharedAccess access(inst->access);
  return inst->value;
}

PyObject* bus_inject(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<1>(kInject, args, kwargs);
    const SignalEvent s = arg(kInject, a, 0, to_signal_copy);
    Bus& bus = bus_of(self);
    without_gil([&] { bus.deposit(s.flags, s.intensity); });
    return new_none();
  });
}

PyObject* bus_secrete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<2>(kSecrete, args, kwargs);
    const std::uint32_t flags = arg(kSecrete, a, 0, to_u32);
    const float intensity = arg(kSecrete, a, 1, to_single);
    Bus& bus = bus_of(self);
    without_gil([&] { bus.deposit(flags, intensity); });
    return new_none();
  });
}

PyObject* bus_sense(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<1>(kSense, args, kwargs);
    const std::uint32_t mask = arg(kSense, a, 0, to_u32);
    const ChannelBank& bank = bus_of(self).bank();
    const float sum = without_gil([&] { return bank.sense(mask); });
    return new_float(static_cast<double>(sum));
  });
}

PyObject* bus_concentration(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<1>(kConcentration, args, kwargs);
    const std::uint64_t index = arg(kConcentration, a, 0, to_u64);
    return new_float(static_cast<double>(bus_of(self).bank().concentration(index)));
  });
}

PyObject* bus_tick(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<1>(kTick, args, kwargs);
    const float decay = arg(kTick, a, 0, to_single);
    ChannelBank& bank = bus_of(self).bank();
    without_gil([&] { bank.tick(decay); });
    return new_none();
  });
}

PyObject* bus_snapshot(PyObject* self, PyObject*) {
  return guard([&] {
    const ChannelBank& bank = bus_of(self).bank();
    const auto values = bank.snapshot();
    Ref out = new_list(bank.size());
    for (unsigned i = 0; i < bank.size(); ++i) {
      list_put(out.get(), i, new_float(static_cast<double>(values[i])));
    }
    return out;
  });
}

// The list of (flags, intensity) tuples for `n` events. Equal neighbours
// share one tuple (a stream of deposits often repeats one signal).
Ref events_list(const SignalEvent* events, std::size_t n) {
  Ref list = new_list(n);
  PyObject* last = nullptr;  // borrowed from the list
  SignalEvent last_event{};
  for (std::size_t i = 0; i < n; ++i) {
    const SignalEvent e = events[i];
    if (last && e.flags == last_event.flags &&
        std::bit_cast<std::uint32_t>(e.intensity) == std::bit_cast<std::uint32_t>(last_event.intensity)) {
      list_put(list.get(), i, Ref(Py_NewRef(last)));
      continue;
    }
    Ref pair = new_tuple(2);
    tuple_put(pair.get(), 0, new_u32(e.flags));
    tuple_put(pair.get(), 1, new_float(static_cast<double>(e.intensity)));
    last = pair.get();
    last_event = e;
    list_put(list.get(), i, std::move(pair));
  }
  return list;
}

// Events leave the ring only once their list is built: copies are taken
// first, the list made from them, and only then are those very events
// removed. A failure on the way (MemoryError) leaves every event in place.
PyObject* bus_drain_events(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    auto a = match<1>(kDrain, args, kwargs);
    const std::uint64_t max = arg(kDrain, a, 0, to_u64);
    EventRing& ring = bus_of(self).ring();
    for (;;) {
      // Sized by what the ring holds, never by max.
      const std::size_t want = static_cast<std::size_t>(std::min(max, ring.size_hint()));
      auto copies = std::make_unique_for_overwrite<SignalEvent[]>(want);
      const EventRing::Peeked peeked = ring.peek(copies.get(), want);
      Ref out = events_list(copies.get(), peeked.count);
      if (ring.take(peeked)) return out;
      // Another drain (run by a finalizer while objects were made) removed
      // some of them first: start over from the ring as it is now.
    }
  });
}

PyObject* bus_stats(PyObject* self, PyObject*) {
  return guard([&] {
    const ChannelBank& bank = bus_of(self).bank();
    Ref out = new_dict();
    dict_set(out.get(), k_num_signals, new_float(static_cast<double>(bank.size())));
    dict_set(out.get(), k_secretions, new_float(static_cast<double>(bank.secretions())));
    dict_set(out.get(), k_total, new_float(static_cast<double>(bank.total())));
    return out;
  });
}

PyMethodDef g_bus_methods[] = {
    {"inject", method(bus_inject), METH_VARARGS | METH_KEYWORDS,
     "inject($self, signal)\n--\n\nInject a typed `HormonalSignal` (the primary API)."},
    {"secrete", method(bus_secrete), METH_VARARGS | METH_KEYWORDS,
     "secrete($self, flags, intensity)\n--\n\n"
     "Raw injection by `(flags, intensity)` \xE2\x80\x94 the microsecond hot path."},
    {"sense", method(bus_sense), METH_VARARGS | METH_KEYWORDS,
     "sense($self, mask)\n--\n\nCurrent summed concentration across every channel in `mask`."},
    {"concentration", method(bus_concentration), METH_VARARGS | METH_KEYWORDS,
     "concentration($self, signal_bit)\n--\n\nConcentration of a single channel bit."},
    {"tick", method(bus_tick), METH_VARARGS | METH_KEYWORDS,
     "tick($self, decay)\n--\n\n"
     "Multiplicative decay/dissipation of every channel (temporal homeostasis)."},
    {"snapshot", method(bus_snapshot), METH_NOARGS, "snapshot($self)\n--\n\n"},
    {"drain_events", method(bus_drain_events), METH_VARARGS | METH_KEYWORDS,
     "drain_events($self, max)\n--\n\n"
     "Drain up to `max` buffered signal events as `(flags, intensity)` pairs."},
    {"stats", method(bus_stats), METH_NOARGS, "stats($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_bus_slots[] = {
    {Py_tp_doc, const_cast<char*>("HormonalBus(num_signals=32, event_capacity=4096)\n--\n\n"
                                  "Lock-free hormonal signalling bus. `inject`/`secrete` are "
                                  "O(popcount) and\nrelease the GIL; `sense` reads the current "
                                  "concentration for a channel mask.")},
    {Py_tp_new, slot(bus_new)},
    {Py_tp_dealloc, slot(dealloc_instance<std::unique_ptr<Bus>>)},
    {Py_tp_methods, g_bus_methods},
    {0, nullptr},
};

PyType_Spec g_bus_spec = {
    "builtins.HormonalBus",
    static_cast<int>(sizeof(BusInstance)),
    0,
    Py_TPFLAGS_DEFAULT,
    g_bus_slots,
};

}  // namespace

PyTypeObject* hormonal_signal_type() { return type_once(g_signal_type, g_signal_spec); }
PyTypeObject* hormonal_bus_type() { return type_once(g_bus_type, g_bus_spec); }

}  // namespace zelmo::py
