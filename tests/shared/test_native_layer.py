"""The shared native layer: rounding, LRU caches and host subclasses."""
import abc
import enum
import functools
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

    def test_values_next_to_ties_and_steps_match_python(self):
        """Doubles a few ulps around k/10**4 and (k + 1/2)/10**4, where the nearest step is decided."""
        rng = random.Random(8)
        values = []
        for _ in range(20_000):
            k = rng.choice([rng.randrange(0, 10**5), rng.randrange(0, 10**10), rng.randrange(0, 4 * 10**15)])
            centre = (k + rng.choice([0.0, 0.5])) / 10**4
            for steps in range(-3, 4):
                x = centre
                for _ in range(abs(steps)):
                    x = math.nextafter(x, math.inf if steps > 0 else -math.inf)
                values.extend((x, -x))
        got = _shared.round4_many(values)
        bad = [(x, g, round(x, 4)) for x, g in zip(values, got)
               if g != round(x, 4) or math.copysign(1.0, g) != math.copysign(1.0, round(x, 4))]
        assert bad == []

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

    @pytest.mark.parametrize("maxsize", [1, 2, 3, 8, 9, 32])
    def test_random_calls_hit_and_miss_like_functools(self, maxsize):
        # Caches of up to eight entries keep a short array and larger ones a
        # hash map: both must drop and find entries as functools does,
        # equal keys of other types ((1, 2) and (1.0, 2.0)) included.
        rng = random.Random(maxsize)
        ours, our_calls = self.make(maxsize)
        theirs_calls = []

        def fn(*args, **kwargs):
            theirs_calls.append((args, tuple(sorted(kwargs.items()))))
            return [args, kwargs]

        theirs = functools.lru_cache(maxsize)(fn)
        keys = [0, 1, 0.5, "a", (1, 2), (1.0, 2.0), None] + list(range(3, 12))
        for step in range(600):
            key = rng.choice(keys)
            kwargs = {"n": rng.randrange(2)} if rng.random() < 0.2 else {}
            got, expected = ours(key, **kwargs), theirs(key, **kwargs)
            assert got == expected, step
            assert our_calls == theirs_calls, step
            hits, misses, size, currsize = theirs.cache_info()
            assert ours.cache_info() == (hits, misses, size, currsize), step

    @pytest.mark.parametrize("maxsize", [2, 16])
    def test_a_call_that_reenters_its_cache_keeps_it_whole(self, maxsize):
        calls = []

        def fib(n):
            calls.append(n)
            return n if n < 2 else f(n - 1) + f(n - 2)

        f = _shared.lru_cache(fib, maxsize)
        assert [f(n) for n in range(25)] == [fib_plain for fib_plain in _fibs(25)]
        assert f.cache_info()[3] == min(maxsize, 25)
        f.cache_clear()
        assert f.cache_info() == (0, 0, maxsize, 0)
        assert f(10) == 55

    def test_a_key_whose_eq_empties_the_cache_is_still_answered(self):
        calls = []
        f = _shared.lru_cache(lambda key: calls.append(key) or [key], 2)

        class Clearing:
            def __hash__(self):
                return 7

            def __eq__(self, other):
                f.cache_clear()
                return True

        first, second = Clearing(), Clearing()
        f(first)
        assert f(second) == [second]  # the entry it matched was dropped meanwhile: computed anew
        assert len(calls) == 2


def _fibs(n):
    a, b = 0, 1
    for _ in range(n):
        yield a
        a, b = b, a + b


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
