"""Random nested values full of hostile objects: whatever their dunder
methods do to the containers being encoded, the encoder gives one
well-formed MessagePack value or a clean exception, never a crash."""

import gc

import msgpack
from hypothesis import given, settings
from hypothesis import strategies as st

from vesh import _vesh

dump = _vesh._native_dump_msgpack


class Hostile:
    """Acts on one of the value's containers whenever Python code of its own
    runs: repr, __module__, __del__."""

    def __init__(self, action, target, pool):
        self.action, self.target, self.pool = action, target, pool

    def act(self):
        if not self.pool:
            return
        box = self.pool[self.target % len(self.pool)]
        try:
            if self.action == "clear":
                box.clear()
            elif self.action == "grow" and isinstance(box, list):
                box.extend([Hostile("clear", self.target + 1, self.pool), 7, [8]] * 20)
            elif self.action == "grow" and isinstance(box, dict):
                box.update({f"g{i}": Hostile("clear", i, self.pool) for i in range(20)})
            elif self.action == "self" and isinstance(box, list):
                box.append(box)
            elif self.action == "self" and isinstance(box, dict):
                box["self"] = box
            elif self.action == "drop":
                del self.pool[self.target % len(self.pool)]
                del box
                gc.collect()
        except (TypeError, KeyError, IndexError):
            pass

    def __repr__(self):
        self.act()
        if self.action == "raise":
            raise ValueError("no repr")
        if self.action == "recurse":
            raise RecursionError("deep")
        return f"hostile {self.action}"

    @property
    def __module__(self):
        self.act()
        self.__class__ = Plain
        gc.collect()
        return "hostile_module"


class Plain:
    pass


class Finalized:
    def __init__(self, hostile):
        self.hostile = hostile

    def __del__(self):
        self.hostile.act()


class DictSub(dict):
    pass


class TupleSub(tuple):
    pass


class IntSub(int):
    def bit_length(self):
        return self.bits


def released_view():
    view = memoryview(b"abc")
    view.release()
    return view


ACTIONS = ["clear", "grow", "self", "drop", "raise", "recurse"]

leaf_specs = (
    st.none()
    | st.integers(min_value=-(2**70), max_value=2**70)
    | st.text(max_size=5)
    | st.just("a\ud800")
    | st.binary(max_size=5)
    | st.tuples(st.just("hostile"), st.sampled_from(ACTIONS), st.integers(0, 30))
    | st.tuples(st.just("finalized"), st.sampled_from(ACTIONS), st.integers(0, 30))
    | st.tuples(st.just("intsub"), st.sampled_from([-3, 0, 2**80, "x", None]))
    | st.just(("released",))
)
specs = st.recursive(
    leaf_specs,
    lambda children: st.tuples(
        st.sampled_from(["list", "dict", "tuple", "dictsub", "tuplesub", "set"]), st.lists(children, max_size=5)
    ),
    max_leaves=25,
)


def build(spec, pool):
    if not isinstance(spec, tuple):
        return spec
    kind = spec[0]
    if kind == "hostile":
        return Hostile(spec[1], spec[2], pool)
    if kind == "finalized":
        return Finalized(Hostile(spec[1], spec[2], pool))
    if kind == "intsub":
        value = IntSub(2**70)
        value.bits = spec[1]
        return value
    if kind == "released":
        return released_view()
    items = [build(child, pool) for child in spec[1]]
    if kind == "tuple":
        return tuple(items)
    if kind == "tuplesub":
        return TupleSub(items)
    if kind == "set":
        return {item for item in items if type(item) in (int, str, bytes, Hostile)}
    if kind == "list":
        box = items
    else:
        box = (dict if kind == "dict" else DictSub)({f"k{i}": item for i, item in enumerate(items)})
    pool.append(box)
    return box


@settings(max_examples=300, deadline=None)
@given(specs, st.booleans())
def test_hostile_values_give_well_formed_output_or_an_exception(spec, lightweight):
    pool = []
    value = build(spec, pool)
    try:
        encoded = dump(value, lightweight)
    except Exception:  # a clean Python exception is an accepted outcome
        return
    finally:
        del pool[:]
    # Exactly one complete value: unpackb refuses truncated or trailing bytes.
    msgpack.unpackb(encoded, ext_hook=lambda code, data: (code, data), strict_map_key=False)
