"""HormonalSignal: conversion, attributes, representation and identity."""
import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import model
import zelmo_micro as z
from conftest import assert_raises_with_note

FLT_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
RANGE = "out of range integral type conversion attempted"


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Floaty:
    def __float__(self):
        return 0.25


def test_class_surface():
    assert z.HormonalSignal.__doc__ == (
        "A single hormonal signal: bitwise channel `flags` (`u32`) + `intensity` (`f32`).")
    assert z.HormonalSignal.__text_signature__ == "(flags, intensity=1.0)"


@pytest.mark.parametrize(
    "make, flags, intensity",
    [
        (lambda: z.HormonalSignal(1), 1, 1.0),
        (lambda: z.HormonalSignal(flags=0, intensity=0.5), 0, 0.5),
        (lambda: z.HormonalSignal(4294967295), 4294967295, 1.0),
        (lambda: z.HormonalSignal(True), 1, 1.0),
        (lambda: z.HormonalSignal(Index(7), Index(3)), 7, 3.0),
        (lambda: z.HormonalSignal(2, Floaty()), 2, 0.25),
        (lambda: z.HormonalSignal(1, 0.1), 1, 0.10000000149011612),
        (lambda: z.HormonalSignal(1, 1e39), 1, math.inf),
        (lambda: z.HormonalSignal(1, -1e39), 1, -math.inf),
        (lambda: z.HormonalSignal(1, FLT_MAX + 2.0**102), 1, FLT_MAX),  # below the midpoint to 2^128
    ],
)
def test_construction(make, flags, intensity):
    s = make()
    assert s.flags == flags and type(s.flags) is int
    assert s.intensity == intensity and type(s.intensity) is float


def test_nan_and_negative_zero_are_stored():
    assert math.isnan(z.HormonalSignal(1, math.nan).intensity)
    assert math.copysign(1.0, z.HormonalSignal(1, -0.0).intensity) == -1.0


@pytest.mark.parametrize(
    "args, kwargs, exc, message, note",
    [
        ((-1,), {}, OverflowError, RANGE, "flags"),
        ((4294967296,), {}, OverflowError, RANGE, "flags"),
        ((2**64,), {}, OverflowError, None, "flags"),  # the interpreter's own overflow
        ((1.0,), {}, TypeError, None, "flags"),
        (("1",), {}, TypeError, None, "flags"),
        ((None,), {}, TypeError, None, "flags"),
        ((1, None), {}, TypeError, None, "intensity"),
        ((1, "0.5"), {}, TypeError, None, "intensity"),
        ((-1, "bad"), {}, OverflowError, RANGE, "flags"),  # flags is converted first
        ((), {"intensity": 2.0}, TypeError,
         "HormonalSignal.__new__() missing 1 required positional argument: 'flags'", None),
        ((1, 2.0, 3), {}, TypeError,
         "HormonalSignal.__new__() takes from 1 to 2 positional arguments but 3 were given", None),
        ((1,), {"flag": 1}, TypeError, "HormonalSignal.__new__() got an unexpected keyword argument 'flag'", None),
    ],
)
def test_construction_failures(args, kwargs, exc, message, note):
    assert_raises_with_note(exc, message, note and f"while processing '{note}'", z.HormonalSignal, *args, **kwargs)


@pytest.mark.parametrize(
    "flags, intensity, text",
    [
        (5, 1.0, "HormonalSignal(flags=0x5, intensity=1.000)"),
        (0, 0.5, "HormonalSignal(flags=0x0, intensity=0.500)"),
        (255, 2.0, "HormonalSignal(flags=0xFF, intensity=2.000)"),
        (4294967295, 0.1, "HormonalSignal(flags=0xFFFFFFFF, intensity=0.100)"),
        (1, -0.0, "HormonalSignal(flags=0x1, intensity=-0.000)"),
        (1, -0.0004, "HormonalSignal(flags=0x1, intensity=-0.000)"),
        (1, 0.0005, "HormonalSignal(flags=0x1, intensity=0.001)"),
        (1, 0.0625, "HormonalSignal(flags=0x1, intensity=0.062)"),
        (1, 0.1875, "HormonalSignal(flags=0x1, intensity=0.188)"),
        (1, 1e-45, "HormonalSignal(flags=0x1, intensity=0.000)"),
        (1, FLT_MAX, "HormonalSignal(flags=0x1, intensity=340282346638528859811704183484516925440.000)"),
        (1, -FLT_MAX, "HormonalSignal(flags=0x1, intensity=-340282346638528859811704183484516925440.000)"),
        (1, math.inf, "HormonalSignal(flags=0x1, intensity=inf)"),
        (1, -math.inf, "HormonalSignal(flags=0x1, intensity=-inf)"),
        (1, math.nan, "HormonalSignal(flags=0x1, intensity=NaN)"),
        (0xDEADBEEF, 16777217.0, "HormonalSignal(flags=0xDEADBEEF, intensity=16777216.000)"),
    ],
)
def test_repr(flags, intensity, text):
    s = z.HormonalSignal(flags, intensity)
    assert repr(s) == str(s) == repr(model.Signal(flags, intensity)) == text


@settings(max_examples=300, deadline=None)
@given(st.floats(width=32, allow_nan=False, allow_infinity=False), st.integers(0, 2**32 - 1))
def test_repr_matches_exact_decimal_rounding(x, flags):
    # The widened single is exact as a double, and Python formats doubles with
    # correct half-to-even rounding of the exact binary value.
    s = z.HormonalSignal(flags, x)
    assert repr(s) == repr(model.Signal(flags, x)) == f"HormonalSignal(flags=0x{flags:X}, intensity={x:.3f})"


def test_setters_convert_and_store():
    s = z.HormonalSignal(1)
    s.flags = 0xABCDEF
    s.intensity = 0.1
    assert (s.flags, s.intensity) == (0xABCDEF, 0.10000000149011612)
    s.flags = Index(3)
    s.intensity = 1e39
    assert (s.flags, s.intensity) == (3, math.inf)


@pytest.mark.parametrize(
    "name, value, exc, message",
    [
        ("flags", -1, OverflowError, RANGE),
        ("flags", 2**32, OverflowError, RANGE),
        ("flags", 1.5, TypeError, None),
        ("flags", None, TypeError, None),
        ("intensity", "strong", TypeError, None),
        ("intensity", None, TypeError, None),
    ],
)
def test_failed_setter_leaves_signal_unchanged(name, value, exc, message):
    s = z.HormonalSignal(9, 0.75)
    assert_raises_with_note(exc, message, f"while processing '{name}'", setattr, s, name, value)
    assert (s.flags, s.intensity) == (9, 0.75)


@pytest.mark.parametrize("name", ["flags", "intensity"])
def test_attributes_cannot_be_deleted(name):
    s = z.HormonalSignal(1)
    with pytest.raises(AttributeError) as info:
        delattr(s, name)
    assert str(info.value) == "property has no deleter"
    assert s.flags == 1


def test_equality_and_hash_are_identity():
    a, b = z.HormonalSignal(3, 0.5), z.HormonalSignal(3, 0.5)
    assert a == a and a != b and not (a == b)
    assert hash(a) == object.__hash__(a) and hash(b) == object.__hash__(b)
    assert len({a, b}) == 2


def test_no_other_attributes():
    s = z.HormonalSignal(1)
    with pytest.raises(AttributeError):
        s.mask = 1  # noqa: B010 - no instance dict, no other attributes
    public = {n for n in dir(z.HormonalSignal) if not n.startswith("_")}
    assert public == {"flags", "intensity"}


@settings(max_examples=100, deadline=None)
@given(st.floats(allow_nan=False))
def test_intensity_narrowing(x):
    # Beyond the single range: the infinity of the sign.
    assert model.same(z.HormonalSignal(0, x).intensity, model.f32(x))
