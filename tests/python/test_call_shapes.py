"""value() and implied_vol() as users call them: scalars of every kind, words in any spelling, pandas columns."""
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import sorvik as s
import sorvik_batch as sb
from conftest import raises_exactly
from sorvik_batch._book import _value_arrays
from sorvik_batch._implied import _implied_vol_arrays

FIELDS = ("price", "delta", "gamma", "theta", "vega", "rho")


def outcome(call):
    """What a call gives: its result, or the class and message of what it raised."""
    try:
        return call()
    except (ValueError, TypeError) as error:
        return type(error), str(error)


def same_bits(a, b):
    if isinstance(a, sb.Valuation) and isinstance(b, sb.Valuation):
        return all(same_bits(getattr(a, f), getattr(b, f)) for f in FIELDS)
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    return type(a) is type(b) and a == b


@st.composite
def number(draw):
    """One number in one of the kinds users hold them in, now and then an unusable one."""
    x = draw(st.sampled_from([100.0, 95.5, 1.25, 0.03, 0.0, -0.2, 0.35, math.nan, math.inf, 3.0]))
    kinds = [float, np.float64, np.float32, np.array, np.longdouble]
    if x == int(x) if math.isfinite(x) else False:
        kinds += [int, np.int64, np.uint16] if x >= 0 else [int, np.int64]
    return draw(st.sampled_from(kinds))(x)


words = st.sampled_from(["call", "Put", "C", "p", np.str_("CALL"), s.OptionType.Put, "cal", s.OptionType.Call])
styles = st.sampled_from(["european", "AMERICAN", np.str_("american"), s.ExerciseStyle.European, "bermudan"])
keywords = st.fixed_dictionaries({
    "method": st.sampled_from([None, "analytic", "fdm", "spectral", "tree"]),
    "nodes": st.sampled_from([21, 2]), "time_steps": st.sampled_from([4, 0]),
    "grid_std_devs": st.sampled_from([5.0, 0.0]), "precision": st.sampled_from(["standard", "high", "low"]),
    "threads": st.sampled_from([None, 1, 0]),
    "errors": st.sampled_from(["raise", "nan", "coerce"]),
})


@given(st.lists(number(), min_size=6, max_size=6), words, styles, keywords, st.booleans())
def test_one_option_of_any_kind_has_the_array_paths_bits_and_errors(x, kind, style, settings, bumped):
    args = (*x[:5], kind, style, x[5], settings["method"], settings["nodes"], settings["time_steps"],
            settings["grid_std_devs"], settings["precision"], settings["threads"], False, settings["errors"], bumped)
    fast = outcome(lambda: sb.value(*x[:5], option_type=kind, exercise=style, dividend_yield=x[5],
                                    bumped_vega_rho=bumped, **settings))
    assert same_bits(fast, outcome(lambda: _value_arrays(*args)))


@given(st.lists(number(), min_size=6, max_size=6), words, styles, keywords)
def test_one_quote_of_any_kind_has_the_array_paths_bits_and_errors(x, kind, style, settings):
    args = (*x[:5], kind, style, x[5], settings["method"], settings["nodes"], settings["time_steps"],
            settings["grid_std_devs"], settings["precision"], settings["threads"], False, settings["errors"])
    fast = outcome(lambda: sb.implied_vol(*x[:5], option_type=kind, exercise=style, dividend_yield=x[5], **settings))
    assert same_bits(fast, outcome(lambda: _implied_vol_arrays(*args)))


WORDS = np.array(["call", "put", "put", "call", "put"])


@pytest.mark.parametrize("types", [
    WORDS.astype("S"),
    np.array(["Call", "P", "put", "c", "PUT"]),
    np.array([s.OptionType.Call, "put", s.OptionType.Put, "call", "p"], dtype=object),
    pd.Series(WORDS, dtype="category"),
    pd.Series(WORDS, dtype="string"),
    list(WORDS),
])
def test_option_words_of_every_container_give_the_same_bits(types):
    spots = np.linspace(90.0, 110.0, 5)
    expected = sb.value(spots, 100.0, 0.5, 0.02, 0.3, option_type=WORDS)
    got = sb.value(spots, 100.0, 0.5, 0.02, 0.3, option_type=types)
    for field in FIELDS:
        np.testing.assert_array_equal(getattr(got, field), getattr(expected, field))


@pytest.mark.parametrize("dtype", ["U", "S"])
def test_a_long_column_of_many_spellings_reads_each_row_as_its_word(dtype):
    # More distinct words than a worker keeps decoded, in random order, so that they displace one another.
    known = ("call", "put", "c", "p")
    words = ["".join(ch.upper() if mask >> i & 1 else ch for i, ch in enumerate(word))
             for word in known for mask in range(1 << len(word))] + ["cal", "putt", "pu", "x"]
    rng = np.random.default_rng(3)
    column = np.array(words)[rng.integers(0, len(words), 20_000)]
    spots = rng.uniform(80.0, 120.0, column.size)
    got = sb.value(spots, 100.0, 0.5, 0.02, 0.3, option_type=column.astype(dtype), errors="nan")
    calls = sb.value(spots, 100.0, 0.5, 0.02, 0.3, option_type="call").price
    puts = sb.value(spots, 100.0, 0.5, 0.02, 0.3, option_type="put").price
    lower = np.char.lower(column)
    expected = np.where(np.isin(lower, ["call", "c"]), calls, np.where(np.isin(lower, ["put", "p"]), puts, np.nan))
    np.testing.assert_array_equal(got.price, expected)


def test_inputs_of_any_number_of_dimensions_numpy_makes_broadcast():
    deep = sb.value(np.full((1,) * 40 + (2,), 100.0), 100.0, 1.0, 0.05, [0.2, 0.3], option_type="put")
    flat = sb.value(100.0, 100.0, 1.0, 0.05, np.array([0.2, 0.3]), option_type="put")
    assert deep.price.shape == (1,) * 40 + (2,)
    np.testing.assert_array_equal(deep.price.ravel(), flat.price)


def test_an_unknown_word_in_a_column_of_objects_is_named():
    with raises_exactly(ValueError, "option_type at index 2: unknown value 'straddle' "
                                    "(expected 'call', 'put', 'c' or 'p')"):
        sb.value([90.0, 95.0, 100.0], 100.0, 0.5, 0.02, 0.3, option_type=np.array(["c", s.OptionType.Put, "straddle"],
                                                                                   dtype=object))


def test_series_are_read_by_their_labels_and_the_result_keeps_them():
    index = pd.Index(["b", "c", "a"], name="ticker")
    spot = pd.Series([100.0, 90.0, 110.0], index=index)
    vol = pd.Series({"a": 0.4, "b": 0.2, "c": 0.3})  # the same labels in another order
    result = sb.value(spot, 100.0, 1.0, 0.05, vol, option_type=pd.Series(["put", "call", "put"], index=index))
    expected = sb.value(spot.to_numpy(), 100.0, 1.0, 0.05, np.array([0.2, 0.3, 0.4]),
                        option_type=["put", "call", "put"])
    np.testing.assert_array_equal(result.price, expected.price)
    assert result.index is index
    frame = result.to_frame()
    assert list(frame.columns) == list(FIELDS) and frame.index.equals(index)
    np.testing.assert_array_equal(frame["gamma"].to_numpy(), expected.gamma)


def test_series_with_other_labels_are_refused():
    spot = pd.Series([100.0, 90.0], index=[0, 1])
    strike = pd.Series([100.0, 90.0], index=[1, 2])
    with raises_exactly(ValueError, "strike and spot are pandas Series with different indexes: align them first "
                                    "(for example strike.reindex(spot.index))"):
        sb.value(spot, strike, 1.0, 0.05, 0.2, option_type="call")


def test_valuation_behaves_as_before_whatever_made_it():
    fast = sb.value(100.0, 100.0, 1.0, 0.05, 0.2, option_type="call")
    made = sb.Valuation(*(getattr(fast, f) for f in FIELDS))
    assert fast == made and hash(fast) == hash(made)
    assert repr(fast).startswith("Valuation(price=10.45058357") and "index" not in repr(fast)
    with pytest.raises(AttributeError):
        fast.price = 1.0  # type: ignore[misc]
    import pickle
    assert pickle.loads(pickle.dumps(fast)) == fast
    assert fast.to_frame().index.tolist() == [0]
