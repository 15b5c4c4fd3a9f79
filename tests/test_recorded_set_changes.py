"""The line event settles a value already in the file set by looking into the set, and keeps
arc-key ints cached. Neither may show: a controlling layer that clears, trims, copies or fills a
file set while the program runs must find exactly what plain set insertion would leave."""

from __future__ import annotations

import pytest

from conftest import Layer
from kestrow import decode_arc

# Padding puts the function past line 256, where the interpreter's own small ints end, so the
# set holds ints made by the tracer rather than the interpreter's shared ones.
SOURCE = "\n" * 300 + """\
def f(n, hook):
    total = 0
    for i in range(n):
        if i == 1:
            hook()
        total += i
    return total
"""
FIRST = 301  # line of "def f"


def run_with_hook(layer, write_module, hook_on_set):
    mod = write_module(SOURCE)
    layer.include.add(mod.__file__)
    holder = {}

    def hook():
        hook_on_set(layer.data[mod.__file__])

    holder["result"] = layer.run(mod.f, 4, hook)
    return layer.data[mod.__file__]


def as_pairs(keys):
    return {decode_arc(k) for k in keys}


@pytest.mark.parametrize("arcs", [False, True], ids=["lines", "arcs"])
def test_cleared_set_receives_everything_run_afterwards(layer, arcs_layer, write_module, arcs):
    got = run_with_hook(arcs_layer if arcs else layer, write_module, set.clear)
    L = lambda n: FIRST + n  # noqa: E731  (line n of the function, def = 0)
    if arcs:
        assert as_pairs(got) == {(L(4), L(5)), (L(5), L(2)), (L(2), L(3)), (L(3), L(5)),
                                 (L(2), L(6)), (L(6), -FIRST)}
    else:
        assert got == {L(2), L(3), L(5), L(6)}


@pytest.mark.parametrize("arcs", [False, True], ids=["lines", "arcs"])
def test_trimmed_set_gets_back_what_runs_again(layer, write_module, arcs):
    after_clear = run_with_hook(Layer(arcs=arcs), write_module, set.clear)
    kept = set()

    def trim(s):
        for value in list(s)[::2]:
            s.discard(value)
        kept.update(s)

    got = run_with_hook(Layer(arcs=arcs), write_module, trim)
    assert got == kept | after_clear


@pytest.mark.parametrize("arcs", [False, True], ids=["lines", "arcs"])
def test_set_refilled_with_equal_ints_of_other_identity(layer, arcs_layer, write_module, arcs):
    reference = run_with_hook(Layer(arcs=arcs), write_module, lambda s: None)

    def refill(s):
        copies = {int(str(v)) for v in s}
        s.clear()
        s.update(copies)
        refill.copies = copies

    got = run_with_hook(arcs_layer if arcs else layer, write_module, refill)
    assert got == reference
    # Values already present are not added again: the copies the layer put there stay.
    by_value = {v: v for v in got}
    assert all(by_value[c] is c for c in refill.copies)
    assert all(type(v) is int for v in got)


def test_equal_value_of_another_type_is_not_added_again(layer, write_module):
    mod = write_module(SOURCE)
    layer.include.add(mod.__file__)
    present = {float(FIRST + 1), FIRST + 2 + 0j}
    layer.data[mod.__file__] = set(present)
    layer.run(mod.f, 4, lambda: None)
    got = layer.data[mod.__file__]
    assert got == {FIRST + n for n in (1, 2, 3, 4, 5, 6)}
    assert {type(v) for v in got if v in present} == {float, complex}


@pytest.mark.parametrize("arcs", [False, True], ids=["lines", "arcs"])
def test_values_far_along_a_crowded_probe_sequence(layer, arcs_layer, write_module, arcs):
    """Values the layer put in the set collide with the recorded ones, so these sit far from their
    first slot; the set is then emptied and refilled with copies between two runs."""
    reference = run_with_hook(Layer(arcs=arcs), write_module, lambda s: None)
    chosen = arcs_layer if arcs else layer
    mod = write_module(SOURCE)
    chosen.include.add(mod.__file__)
    crowd = {v + k * 2**20 for v in reference for k in range(1, 40)}
    chosen.data[mod.__file__] = set(crowd)
    chosen.run(mod.f, 4, lambda: None)
    got = chosen.data[mod.__file__]
    assert got == crowd | reference
    # Everything in the set as copies of other identity, then the same run again.
    copies = {int(str(v)) for v in got}
    got.clear()
    got.update(copies)
    chosen.run(mod.f, 4, lambda: None)
    assert got == crowd | reference
    by_value = {v: v for v in got}
    assert all(by_value[c] is c for c in copies)
    # Emptied: the next run records everything again.
    got.clear()
    chosen.run(mod.f, 4, lambda: None)
    assert got == reference
