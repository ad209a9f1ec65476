"""The shared native layer: rounding, LRU caches and host subclasses."""
import abc
import enum
import math
import random
import struct

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from tessel_mod_fund import _shared


class TestRound4:
    @pytest.mark.parametrize(
        "x, expected",
        [
            (10.00004, 10.0),
            (10.00005, 10.0),  # the double lies just below the midpoint
            (10.00015, 10.0001),
            (0.00005, 0.0001),
            (0.12345, 0.1235),
            (-10.00015, -10.0001),
            (2.00025, 2.0002),
        ],
    )
    def test_known_values(self, x, expected):
        assert _shared.round4(x) == expected == round(x, 4)

    def test_random_bit_patterns_match_python(self):
        rng = random.Random(20261208)
        mismatches = []
        for _ in range(100_000):
            x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
            if math.isnan(x):
                continue
            if _shared.round4(x) != round(x, 4):
                mismatches.append(x)
        assert mismatches == []

    @settings(max_examples=3000, deadline=None)
    @given(st.floats(allow_nan=False, min_value=-1e12, max_value=1e12))
    def test_money_sized_values_match_python(self, x):
        got = _shared.round4(x)
        assert got == round(x, 4)
        assert math.copysign(1.0, got) == math.copysign(1.0, round(x, 4))

    def test_ties_on_exact_binary_halves_go_to_even(self):
        # 0.00005 * 2**k style values that are exact in binary: k/2**14 etc.
        for x in (0.5 / 10**4 * 2, 1.03125, 2.5e-5 * 4, 0.000125, 0.000375):
            assert _shared.round4(x) == round(x, 4)

    def test_special_and_extreme_values(self):
        for x in (float("inf"), float("-inf"), 1e300, -1e300, 1e-300, 5e-324, 1.7976931348623157e308):
            assert _shared.round4(x) == round(x, 4)
        assert math.isnan(_shared.round4(float("nan")))
        neg_zero = _shared.round4(-0.00001)
        assert neg_zero == 0.0 and math.copysign(1.0, neg_zero) == -1.0

    def test_result_types_follow_python(self):
        assert type(_shared.round4(7)) is int and _shared.round4(7) == 7
        assert type(_shared.round4(10**30)) is int
        assert type(_shared.round4(True)) is int
        # numpy floats are rounded to the nearest value too (numpy's own
        # __round__ would give 10.0002 here) and come back as plain floats
        v = _shared.round4(np.float64(10.00015))
        assert v == round(10.00015, 4) == 10.0001 and type(v) is float
        assert _shared.round4_many([1.23456, 2, 3.00005]) == [1.2346, 2, 3.0]


class TestLruCache:
    def make(self, maxsize):
        calls = []

        def fn(*args, **kwargs):
            calls.append((args, tuple(sorted(kwargs.items()))))
            if args and args[0] == "boom":
                raise ValueError("boom")
            return [args, kwargs]

        return _shared.lru_cache(fn, maxsize), calls

    def test_hit_returns_the_same_object(self):
        f, calls = self.make(4)
        first = f("a", 1)
        assert f("a", 1) is first
        assert len(calls) == 1
        assert f.cache_info() == (1, 1, 4, 1)

    def test_keywords_are_part_of_the_key(self):
        f, calls = self.make(4)
        f("a", n=1)
        f("a", n=2)
        f("a", n=1)
        assert len(calls) == 2

    def test_least_recently_used_is_dropped_first(self):
        f, calls = self.make(2)
        f(1), f(2), f(1), f(3)  # 2 is the least recently used now
        f(1)
        assert [c[0] for c in calls] == [(1,), (2,), (3,)]
        f(2)
        assert [c[0] for c in calls][-1] == (2,)

    def test_a_raising_call_caches_nothing(self):
        f, calls = self.make(2)
        for _ in range(2):
            with pytest.raises(ValueError):
                f("boom")
        assert len(calls) == 2
        assert f.cache_info()[3] == 0

    def test_unbounded_and_clear(self):
        f, calls = self.make(0)
        for i in range(5000):
            f(i)
        assert f.cache_info()[2] is None and f.cache_info()[3] == 5000
        f(0)
        assert len(calls) == 5000
        f.cache_clear()
        f(0)
        assert len(calls) == 5001

    def test_unhashable_arguments_raise_type_error(self):
        f, _ = self.make(2)
        with pytest.raises(TypeError):
            f([1, 2])

    def test_binds_as_a_method_keyed_by_instance(self):
        calls = []

        def area(self, scale):
            calls.append(self)
            return object()

        class Shape:
            pass

        Shape.area = _shared.lru_cache(area, 8)
        a, b = Shape(), Shape()
        assert a.area(2) is a.area(2)
        assert a.area(2) is not b.area(2)
        assert calls == [a, b]


class TestMakeSubclass:
    def test_abstract_methods_are_honoured(self):
        class Base(abc.ABC):
            @abc.abstractmethod
            def run(self):
                ...

            @abc.abstractmethod
            def stop(self):
                ...

        Partial = _shared.make_subclass("Partial", Base, {"run": lambda self: 1})
        with pytest.raises(TypeError, match="abstract"):
            Partial()
        Full = _shared.make_subclass("Full", Base, {"run": lambda self: 1, "stop": lambda self: 2})
        assert issubclass(Full, Base) and Full().stop() == 2

    def test_init_subclass_hooks_see_the_namespace(self):
        seen = []

        class Base:
            def __init_subclass__(cls, **kw):
                super().__init_subclass__(**kw)
                seen.append((cls.__name__, cls.__dict__.get("__instrument_types__")))

        _shared.make_subclass("Sub", Base, {"__instrument_types__": ("X",)})
        assert seen == [("Sub", ("X",))]

    def test_enum_members_are_created_through_the_enum_metaclass(self):
        class Base(str, enum.Enum):
            pass

        Colour = _shared.make_subclass("Colour", Base, {"RED": "red", "BLUE": "blue"})
        assert [m.name for m in Colour] == ["RED", "BLUE"]
        assert Colour.RED == "red" and Colour("blue") is Colour.BLUE
