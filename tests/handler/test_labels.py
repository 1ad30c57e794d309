"""Label merging: text keys and values, None skipped, the second set overriding in place
(native and reference alike)."""
import copy

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorbel
import reference


Text = type("Text", (str,), {"__str__": lambda self: "converted:" + str.__str__(self)})
PlainText = type("PlainText", (str,), {})


@pytest.mark.parametrize("base, extra, expected", [
    (None, None, []),
    ({}, None, []),
    ({}, {}, []),
    (None, {"a": "b"}, [("a", "b")]),
    ({"env": "prod", "app": "api"}, {"env": "dev"}, [("env", "dev"), ("app", "api")]),
    ({"env": "prod"}, {"env": None}, [("env", "prod")]),
    ({"a": None}, None, []),
    ({"a": 1, "b": 2}, {"c": 3, "a": 4}, [("a", "4"), ("b", "2"), ("c", "3")]),
    ({7: 1.5, "t": True, None: "n", "f": 0, "e": ""}, None,
     [("7", "1.5"), ("t", "True"), ("None", "n"), ("f", "0"), ("e", "")]),
    # Keys meet as text: the later of two keys with the same text wins, in the first one's place.
    ({1: "a", "1": "b"}, None, [("1", "b")]),
    ({1: "x", "b": "y", "1": "z"}, None, [("1", "z"), ("b", "y")]),
    ({1: "a"}, {"1": "b", 2: "c"}, [("1", "b"), ("2", "c")]),
    ({"z": "1", "y": "2"}, {"x": "3", "w": None, "y": "4"}, [("z", "1"), ("y", "4"), ("x", "3")]),
    ({"é": "ü", "键": ("t", 1)}, None, [("é", "ü"), ("键", "('t', 1)")]),
    # Keys are compared by value, not by identity.
    ({"region": "eu"}, {"".join(["re", "gion"]): "us", "zone": 0},
     [("region", "us"), ("zone", "0")]),
    ({"k%d" % i: i for i in range(16)}, {"extra": "one more"},
     [("k%d" % i, str(i)) for i in range(16)] + [("extra", "one more")]),
    ({i: i * 2 for i in range(2000)}, {str(i): "x" for i in range(1000, 3000)},
     [(str(i), str(i * 2) if i < 1000 else "x") for i in range(3000)]),
    # Only an exact str is taken as it is: a subclass is converted with its own __str__.
    ({Text("k"): Text("v"), PlainText("p"): PlainText("q")}, None,
     [("converted:k", "converted:v"), ("p", "q")]),
])
def test_merge_rules(impl, base, extra, expected):
    result = impl._merge_labels(base, extra)
    assert type(result) is dict
    assert list(result.items()) == expected
    assert all(type(k) is str and type(v) is str for k, v in result.items())


@pytest.mark.parametrize("base, extra", [
    ({"a": "b", 1: [2]}, None),
    (None, {"a": "b"}),
    ({}, {"a": None}),
    ({"a": "1"}, {}),
    ({"x": {"nested": 1}}, {"y": [1, 2]}),
])
def test_inputs_are_left_alone_and_never_returned(impl, base, extra):
    before = copy.deepcopy((base, extra))
    result = impl._merge_labels(base, extra)
    assert (base, extra) == before
    assert result is not base and result is not extra
    assert impl._merge_labels(base, extra) is not result


class Recorder:
    def __init__(self, log, tag):
        self.log = log
        self.tag = tag

    def __str__(self):
        self.log.append(self.tag)
        return self.tag

    def __hash__(self):
        return hash(self.tag)


def test_each_value_is_converted_before_its_key(impl):
    log = []
    impl._merge_labels({Recorder(log, "k1"): Recorder(log, "v1"), Recorder(log, "k2"): None},
          {Recorder(log, "k3"): Recorder(log, "v3")})
    # The key of a skipped None value is never converted.
    assert log == ["v1", "k1", "v3", "k3"]


StrBoom = type("StrBoom", (Exception,), {})
NotText = type("NotText", (), {"__str__": lambda self: 5})


class RaisingStr:
    def __str__(self):
        raise StrBoom("str")


@pytest.mark.parametrize("base, extra, bad", [
    ({"k": RaisingStr()}, None, RaisingStr()),
    ({RaisingStr(): "v"}, None, RaisingStr()),
    ({"a": "b"}, {"k": RaisingStr()}, RaisingStr()),
    (None, {RaisingStr(): 1}, RaisingStr()),
    ({"k": NotText()}, None, NotText()),  # str() returning no text: the host's own error
    ({NotText(): "v"}, None, NotText()),
])
def test_an_error_of_str_propagates(impl, base, extra, bad):
    with pytest.raises(Exception) as info:
        impl._merge_labels(base, extra)
    with pytest.raises(Exception) as expected:
        str(bad)
    assert (type(info.value), str(info.value)) == (type(expected.value), str(expected.value))


class Mutator:
    """Changes a dict when converted to text, then returns a fixed text."""

    def __init__(self, target, action):
        self.target = target
        self.action = action

    def __str__(self):
        self.action(self.target)
        return "m"

    def __hash__(self):
        return id(self)


def _grow(d):
    d["new-key"] = "v"


def _shrink(d):
    d.popitem()


@pytest.mark.parametrize("action", [_grow, _shrink])
@pytest.mark.parametrize("where", ["base value", "base key", "extra value", "extra key"])
def test_size_change_during_the_walk_raises(impl, where, action):
    target = {}
    m = Mutator(target, action)
    # The changing entry comes first, so the walk has entries left after it.
    if where.endswith("value"):
        target["a"] = m
    else:
        target[m] = "x"
    target.update(b="2", c="3")
    other = {"z": "9"}
    base, extra = (target, other) if where.startswith("base") else (other, target)
    with pytest.raises(RuntimeError) as info:
        impl._merge_labels(base, extra)
    assert str(info.value) == "dictionary changed size during iteration"


def test_changing_the_other_input_is_not_a_size_change_of_the_walked_one(impl):
    extra = {"c": "3", "d": "4"}
    base = {"a": Mutator(extra, _shrink)}
    assert impl._merge_labels(base, extra) == {"a": "m", "c": "3"}


def _swap_key(d):
    # Same size afterwards, but the entry being walked and its key object are gone.
    key = next(iter(d))
    del d[key]
    d["".join(["re", "placed"])] = "".join(["fresh", "value"])


@pytest.mark.parametrize("walked", ["base", "extra"])
def test_replacing_the_walked_entry_does_not_crash(impl, walked):
    base, extra = {}, {}
    target = base if walked == "base" else extra
    target["".join(["only", "key"])] = Mutator(target, _swap_key)
    try:
        result = impl._merge_labels(base, extra)
    except RuntimeError:
        return
    assert all(type(k) is str and type(v) is str for k, v in result.items())


scalars = st.one_of(st.text(max_size=4), st.integers(-3, 3), st.floats(allow_nan=False),
                    st.booleans(), st.none())
label_sets = st.one_of(st.none(), st.dictionaries(scalars, scalars, max_size=6))


@settings(max_examples=200, deadline=None)
@given(base=label_sets, extra=label_sets)
def test_generated_merges_match_the_reference(base, extra):
    expected = reference._merge_labels(base, extra)
    assert list(quorbel._merge_labels(base, extra).items()) == list(expected.items())
