"""_serialize: JSON-compatible rebuilding of arbitrary values."""
import collections
import datetime
import enum
import json

import pytest
from conftest import module_entries
from hypothesis import given, settings, strategies as st

from ombrix.workers import custom_worker

SER = "ombrix.workers.custom_worker._serialize"


class Color(enum.IntEnum):
    RED = 1


class Tag(str, enum.Enum):
    A = "a"


class Text(str):
    pass


class Boom:
    def __str__(self):
        raise LookupError("no text")


@pytest.mark.parametrize("value", [
    True, False, 0, 10**40, -1.5, float("nan"), float("inf"), "", "text",
    Color.RED, Tag.A, Text("sub"),
])
def test_scalars_come_back_as_the_same_object(cw, value):
    assert cw._serialize(value) is value


def test_containers_are_rebuilt_as_lists_and_dicts(cw):
    Point = collections.namedtuple("Point", "x y")
    nested = {"pairs": [(1, 2), (3, (4,))], "empty": (), "point": Point(5, 6)}
    out = cw._serialize(nested)
    assert out == {"pairs": [[1, 2], [3, [4]]], "empty": [], "point": [5, 6]}
    assert type(out["pairs"][0]) is list and type(out["point"]) is list
    for empty in ([], (), {}):
        rebuilt = cw._serialize(empty)
        assert rebuilt == type(rebuilt)() and rebuilt is not empty
    # The input is left as it was.
    assert nested["pairs"] == [(1, 2), (3, (4,))]


def test_other_objects_become_their_str_text(cw):
    day = datetime.date(2024, 5, 17)
    values = [{3}, frozenset(), b"x\x00", day, None, 1j, object]
    assert cw._serialize(values) == ["{3}", "frozenset()", "b'x\\x00'", "2024-05-17", None,
                                     "1j", "<class 'object'>"]
    assert cw._serialize(b"") == "b''"


def test_dict_keys_become_str_text_and_collide_in_place(cw):
    out = cw._serialize({1: "a", None: "n", True: "t", 2.5: "f", (1, 2): "p"})
    # True == 1, so the literal dict already merged them under the key 1.
    assert list(out.items()) == [("1", "t"), ("None", "n"), ("2.5", "f"), ("(1, 2)", "p")]
    # Later keys with the same text replace the value at the first key's place.
    out = cw._serialize({1: "int", "x": 0, "1": "str"})
    assert list(out.items()) == [("1", "str"), ("x", 0)]
    out = cw._serialize({"1": "str", 1: ("int",)})
    assert list(out.items()) == [("1", ["int"])]


def test_str_subclass_key_goes_through_str(cw):
    class Key(str):
        def __str__(self):
            return "renamed"

    assert cw._serialize({Key("k"): 1}) == {"renamed": 1}
    assert cw._serialize({Text("k"): 1}) == {"k": 1}
    assert all(type(k) is str for k in cw._serialize({Text("k"): 1}))


def test_subclasses_are_walked_through_their_own_protocols(cw):
    class Backwards(list):
        def __iter__(self):
            return reversed(list(super().__iter__()))

    class Pairs(tuple):
        def __iter__(self):
            yield from ("a", "b")

    class Renamed(dict):
        def items(self):
            return iter([("k", 1), ["k2", (2,)], "xy"])

    assert cw._serialize(Backwards([1, 2, 3])) == [3, 2, 1]
    assert cw._serialize(Pairs((1,))) == ["a", "b"]
    assert cw._serialize(Renamed(ignored=True)) == {"k": 1, "k2": [2], "x": "y"}


@pytest.mark.parametrize("items, error, message", [
    ([(1, 2, 3)], ValueError, "too many values to unpack (expected 2)"),
    (((1,),), ValueError, "need more than 1 value to unpack"),
    ([[]], ValueError, "need more than 0 values to unpack"),
    (iter(["abc"]), ValueError, "too many values to unpack (expected 2)"),
    ([iter("a")], ValueError, "need more than 1 value to unpack"),
    ([None], TypeError, "'NoneType' object is not iterable"),
])
def test_dict_subclass_items_must_unpack_into_pairs(cw, items, error, message):
    class Mapping(dict):
        def items(self):
            return items

    with pytest.raises(error) as info:
        cw._serialize(Mapping())
    assert str(info.value) == message
    assert module_entries(info.value) == [(195, SER)]


def test_exact_list_is_walked_to_its_current_end(cw):
    data = []

    class Grow:
        def __str__(self):
            if len(data) < 4:
                data.append(Grow())
            return "g"

    class Shrink:
        def __str__(self):
            del data[1:]
            return "s"

    data.append(Grow())
    assert cw._serialize(data) == ["g"] * 4
    data[:] = [Shrink(), 1, 2]
    assert cw._serialize(data) == ["s"]


def test_dict_that_changes_size_during_the_walk_raises(cw):
    data = {}

    class Adder:
        def __str__(self):
            data["new"] = 1
            return "a"

    data["x"] = Adder()
    data["y"] = 2
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$") as info:
        cw._serialize(data)
    assert module_entries(info.value) == [(195, SER)]
    # A value replaced without a change of size is fine.
    data = {"x": None}

    class Replacer:
        def __str__(self):
            data["x"] = "other"
            return "r"

    data["x"] = Replacer()
    assert cw._serialize(data) == {"x": "r"}


def test_failures_carry_one_entry_per_level(cw):
    with pytest.raises(LookupError) as info:
        cw._serialize([{"k": (Boom(),)}])
    assert module_entries(info.value) == [(193, SER), (195, SER), (193, SER), (196, SER)]
    with pytest.raises(LookupError) as info:
        cw._serialize({Boom(): 1})
    assert module_entries(info.value) == [(195, SER)]

    class BadIter(list):
        def __iter__(self):
            raise OSError("iteration")

    with pytest.raises(OSError):
        cw._serialize(BadIter())


def test_self_containing_containers_end_in_recursion_error(cw):
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        cw._serialize(loop)
    cyclic = {}
    cyclic["again"] = [cyclic]
    with pytest.raises(RecursionError):
        cw._serialize(cyclic)
    # The depth bookkeeping is balanced: deep but finite data still works.
    deep = 0
    for _ in range(200):
        deep = [deep]
    assert json.dumps(cw._serialize(deep)) == "[" * 200 + "0" + "]" * 200


def test_recursion_calls_the_module_global(cw, monkeypatch):
    original = cw._serialize
    seen = []

    def replacement(obj):
        seen.append(obj)
        return "<replaced>"

    monkeypatch.setattr(cw, "_serialize", replacement)
    assert original([1, (2,)]) == ["<replaced>", "<replaced>"]
    assert original({"a": 3}) == {"a": "<replaced>"}
    assert seen == [1, (2,), 3]
    # Scalars and the str fallback do not recurse.
    assert original(4) == 4 and original({5}) == "{5}"

    monkeypatch.delattr(cw, "_serialize")
    with pytest.raises(NameError, match="^name '_serialize' is not defined$") as info:
        original([1])
    assert module_entries(info.value) == [(193, SER)]
    assert original(()) == []


# ---------------------------------------------------------------------------
# Property: the result follows the rules, and the JSON encoder accepts it.
# ---------------------------------------------------------------------------

def model(obj):
    if obj is None:
        return None
    if isinstance(obj, (str, int, float)):
        return obj
    if isinstance(obj, (list, tuple)):
        return [model(x) for x in obj]
    if isinstance(obj, dict):
        out = {}
        for k, v in obj.items():
            out[k if type(k) is str else str(k)] = model(v)
        return out
    return str(obj)


def same(a, b):
    """Equal, with the same exact types, scalars identical."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a is b or a == b


scalars = st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8) \
    | st.binary(max_size=8)
keys = st.none() | st.booleans() | st.integers(-3, 3) | st.floats(allow_nan=False) \
    | st.text(max_size=3) | st.binary(max_size=3) | st.tuples(st.integers(0, 2))
values = st.recursive(
    scalars | st.frozensets(st.integers(0, 5), max_size=3),
    lambda inner: st.lists(inner, max_size=4)
    | st.lists(inner, max_size=4).map(tuple)
    | st.dictionaries(keys, inner, max_size=4)
    | st.sets(st.integers(0, 9), max_size=3),
    max_leaves=20,
)


@settings(max_examples=300, deadline=None)
@given(values)
def test_serialize_matches_model_and_encodes(value):
    out = custom_worker._serialize(value)
    assert same(out, model(value))
    json.dumps(out)
