"""Arc recording: entry, line and exit arcs of real code, chained across generator and coroutine
suspensions, through exceptions, and the limits of the key format."""

from __future__ import annotations

import asyncio
import types

import pytest

from kestrow import decode_arc

EXAMPLES = """\
# Line numbers matter in this module: each piece of code sits at a fixed first line.
#
#
#
#
#
#
#
#
def func():
    a = 1
    return a
def loop(n):
    for i in range(n):
        n += i
    return n



def gen():
    got = yield 1
    return got
"""


def arcs(layer, filename) -> set[tuple[int, int]]:
    return {decode_arc(key) for key in layer.data.get(str(filename), set())}


@pytest.fixture
def examples(write_module, arcs_layer):
    mod = write_module(EXAMPLES)
    arcs_layer.include.add(mod.__file__)
    return mod


def test_module_code_first_line_one(arcs_layer, tmp_path):
    path = tmp_path / "flat.py"
    path.write_text("a = 1\nb = 2\n")
    code = compile(path.read_text(), str(path), "exec")
    assert code.co_firstlineno == 1
    arcs_layer.include.add(str(path))
    arcs_layer.run(exec, code, {})
    assert arcs_layer.data[str(path)] == {72057594306363393, 536870913, 144115188344291330}
    assert arcs(arcs_layer, path) == {(-1, 1), (1, 2), (2, -1)}


def test_function_keys(arcs_layer, examples):
    assert examples.func.__code__.co_firstlineno == 10
    assert arcs_layer.run(examples.func) == 1
    assert arcs_layer.data[examples.__file__] == {
        72057596990717962,  # (-10, 11)
        3221225483,  # (11, 12)
        144115190760210444,  # (12, -10)
    }


def test_loop_arcs_are_stored_once(arcs_layer, examples):
    arcs_layer.run(examples.loop, 3)
    keys = arcs_layer.data[examples.__file__]
    assert {4026531854, 3758096399} <= keys  # (14, 15) and (15, 14), run three and two times
    expected = {(-13, 14), (14, 15), (15, 14), (14, 16), (16, -13)}
    assert arcs(arcs_layer, examples.__file__) == expected


def test_generator_chains_across_its_suspension(arcs_layer, examples):
    def drive():
        g = examples.gen()
        assert next(g) == 1
        with pytest.raises(StopIteration):
            g.send("sent")

    arcs_layer.run(drive)
    assert arcs_layer.data[examples.__file__] == {
        72057599675072532,  # (-20, 21)
        5905580053,  # (21, 22): the resumption starts at the yield, not at -20
        144115193444565014,  # (22, -20); the yield added no exit arc
    }


def test_lines_mode_records_plain_lines(layer, examples):
    layer.include.add(examples.__file__)

    def drive():
        examples.func()
        examples.loop(2)
        g = examples.gen()
        next(g)
        next(g, None)

    layer.run(drive)
    assert layer.data[examples.__file__] == {11, 12, 14, 15, 16, 21, 22}


GENERATORS = """\
def plain():
    yield 1
    yield 2


def guarded():
    try:
        yield 1
        yield 2
    finally:
        done = True


def catching():
    try:
        yield 1
    except ValueError:
        yield 99
    return 3


def delegating():
    yield from plain()
    yield 3
"""


def _close(make):
    g = make()
    next(g)
    g.close()


def _throw(make):
    g = make()
    next(g)
    with pytest.raises(ValueError):
        g.throw(ValueError)


def _throw_unstarted(make):
    with pytest.raises(ValueError):
        make().throw(ValueError)


def _throw_caught(make):
    g = make()
    next(g)
    assert g.throw(ValueError) == 99
    with pytest.raises(StopIteration):
        next(g)


def _send_all(make):
    g = make()
    next(g)
    g.send("a")
    with pytest.raises(StopIteration):
        g.send("b")


@pytest.mark.parametrize(
    ("gen", "drive", "expected"),
    [
        # Closed early at its first yield: GeneratorExit ends the frame at the yield line.
        ("plain", _close, {(-1, 2), (2, -1)}),
        ("plain", _send_all, {(-1, 2), (2, 3), (3, -1)}),
        # The finally clause runs, and the frame leaves from there.
        ("guarded", _close, {(-6, 7), (7, 8), (8, 11), (11, -6)}),
        ("guarded", _throw, {(-6, 7), (7, 8), (8, 11), (11, -6)}),
        # Thrown into at the yield with no handler: the frame leaves from the yield line.
        ("plain", _throw, {(-1, 2), (2, -1)}),
        ("catching", _throw_caught, {(-14, 15), (15, 16), (16, 17), (17, 18), (18, 19), (19, -14)}),
        # Thrown into before it ever ran: no line runs, but the frame did finish.
        ("plain", _throw_unstarted, {(-1, -1)}),
        # Delegating at a yield from: the interpreter reports the line again when the exception
        # comes back out of the inner generator, so the frame steps from its line to itself.
        ("delegating", _close, {(-22, 23), (23, 23), (23, -22), (-1, 2), (2, -1)}),
        ("delegating", _throw, {(-22, 23), (23, 23), (23, -22), (-1, 2), (2, -1)}),
    ],
)
def test_generator_exits(arcs_layer, write_module, gen, drive, expected):
    mod = write_module(GENERATORS)
    arcs_layer.include.add(mod.__file__)
    arcs_layer.run(drive, getattr(mod, gen))
    assert arcs(arcs_layer, mod.__file__) == expected


def test_generator_closed_before_start_records_nothing(arcs_layer, write_module):
    # Nothing of the frame runs, so the interpreter reports no event at all.
    mod = write_module(GENERATORS)
    arcs_layer.include.add(mod.__file__)
    arcs_layer.run(lambda: mod.guarded().close())
    assert mod.__file__ not in arcs_layer.data


COROUTINES = """\
import asyncio


async def child():
    await asyncio.sleep(0)
    return 5


async def parent():
    x = await child()
    try:
        await failing()
    except KeyError:
        x += 1
    return x


async def failing():
    await asyncio.sleep(0)
    raise KeyError


async def sleeper():
    await asyncio.sleep(10)


async def cancelling():
    task = asyncio.create_task(sleeper())
    await asyncio.sleep(0)
    task.cancel()
    try:
        await task
    except asyncio.CancelledError:
        return 1
"""


def test_coroutines_run_by_asyncio(arcs_layer, write_module):
    mod = write_module(COROUTINES)
    arcs_layer.include.add(mod.__file__)
    assert arcs_layer.run(asyncio.run, mod.parent()) == 6
    assert arcs(arcs_layer, mod.__file__) == {
        # child: suspends at its await, resumes there, returns
        (-4, 5), (5, 6), (6, -4),
        # parent: no exit arc at its own suspensions; the awaits chain
        (-9, 10), (10, 11), (11, 12), (12, 13), (13, 14), (14, 15), (15, -9),
        # failing: the exception leaves from the raise
        (-18, 19), (19, 20), (20, -18),
    }  # fmt: skip


def test_cancelled_coroutine(arcs_layer, write_module):
    mod = write_module(COROUTINES)
    arcs_layer.include.add(mod.__file__)
    assert arcs_layer.run(asyncio.run, mod.cancelling()) == 1
    assert arcs(arcs_layer, mod.__file__) == {
        # sleeper: cancelled at its await, it leaves from there; like the awaiting task, it
        # gets the line of its await reported again as the cancellation comes out of it
        (-23, 24), (24, 24), (24, -23),
        (-27, 28), (28, 29), (29, 30), (30, 31), (31, 32), (32, 32), (32, 33), (33, 34), (34, -27),
    }  # fmt: skip


def test_async_generator_with_aclose(arcs_layer, write_module):
    mod = write_module(
        """\
        import asyncio


        async def ticks(n):
            for i in range(n):
                await asyncio.sleep(0)
                yield i


        async def consume():
            total = 0
            async for i in ticks(3):
                total += i
            agen = ticks(5)
            await agen.__anext__()
            await agen.aclose()
            return total
        """
    )
    arcs_layer.include.add(mod.__file__)
    assert arcs_layer.run(asyncio.run, mod.consume()) == 3
    assert arcs(arcs_layer, mod.__file__) == {
        # ticks: neither its awaits nor its yields add exit arcs; it leaves when its loop ends,
        # and from its yield when aclose() ends it there
        (-4, 5), (5, 6), (6, 7), (7, 5), (5, -4), (7, -4),
        (-10, 11), (11, 12), (12, 13), (13, 12), (12, 14), (14, 15), (15, 16), (16, 17), (17, -10),
    }  # fmt: skip


def test_exception_leaving_functions(arcs_layer, write_module):
    mod = write_module(
        """\
        def inner(x):
            if x:
                raise ValueError(x)
            return x


        def outer():
            try:
                inner(1)
            except ValueError:
                return 2
        """
    )
    arcs_layer.include.add(mod.__file__)
    assert arcs_layer.run(mod.outer) == 2
    assert arcs(arcs_layer, mod.__file__) == {
        (-1, 2), (2, 3), (3, -1),
        (-7, 8), (8, 9), (9, 10), (10, 11), (11, -7),
    }  # fmt: skip


def test_function_that_records_no_line(arcs_layer, write_module):
    mod = write_module(
        """\
        def quiet():
            return 1
        """
    )
    # Without a line table the interpreter reports no line event for the frame.
    quiet = types.FunctionType(mod.quiet.__code__.replace(co_linetable=b""), {})
    arcs_layer.include.add(mod.__file__)
    assert arcs_layer.run(quiet) == 1
    assert arcs_layer.data[mod.__file__] == {216172782382219265}
    assert arcs(arcs_layer, mod.__file__) == {(-1, -1)}


def test_first_line_zero_has_no_sign_bits(arcs_layer, tmp_path):
    path = tmp_path / "zero.py"
    code = compile("\n\n\nx = 1\n", str(path), "exec").replace(co_firstlineno=0)
    assert [line for _, _, line in code.co_lines() if line is not None] == [3]
    arcs_layer.include.add(str(path))
    arcs_layer.run(exec, code, {})
    assert arcs_layer.data[str(path)] == {805306368, 3}
    assert arcs(arcs_layer, path) == {(0, 3), (3, 0)}


def test_frames_not_recorded_add_no_arcs(arcs_layer, write_module):
    helper = write_module(
        """\
        def helper():
            a = 1
            return a
        """
    )
    mod = write_module(
        """\
        def caller(helper):
            x = helper()
            y = x + 1
            return y
        """
    )
    arcs_layer.include.add(mod.__file__)
    assert arcs_layer.run(mod.caller, helper.helper) == 2
    assert helper.__file__ not in arcs_layer.data
    # The caller's arcs step over the call; nothing of helper's lines shows in them.
    assert arcs(arcs_layer, mod.__file__) == {(-1, 2), (2, 3), (3, 4), (4, -1)}


LIMIT = 2**28


FAR = """\
def two_lines():
    a = 1
    b = 2


def caller(func):
    try:
        func()
    except OverflowError as exc:
        x = str(exc)
    return x
"""


def _moved(func, first_line):
    return types.FunctionType(func.__code__.replace(co_firstlineno=first_line), {})


@pytest.mark.parametrize(
    ("first_line", "far_arcs", "message"),
    [
        # Line LIMIT - 1 fits and is recorded; the arc to line LIMIT fails that line event, and
        # the frame leaves from the last line recorded.
        (
            LIMIT - 2,
            {(-(LIMIT - 2), LIMIT - 1), (LIMIT - 1, -(LIMIT - 2))},
            "(268435455, 268435456)",
        ),
        # No arc of the frame could be packed, its exit arc included: its call event fails and
        # the frame records nothing.
        (LIMIT, set(), "(-268435456, -268435456)"),
    ],
)
def test_lines_beyond_the_key_format(arcs_layer, write_module, first_line, far_arcs, message):
    mod = write_module(FAR)
    arcs_layer.include.add(mod.__file__)
    seeded = 72057594306363393
    arcs_layer.data[mod.__file__] = {seeded}
    result = arcs_layer.run(mod.caller, _moved(mod.two_lines, first_line))
    assert result == f"cannot record the arc {message}: arc lines must be below 268435456"
    # Nothing that decodes to another pair is stored, what was there stays, and the caller's
    # arcs chain on as before: the failed frame left nothing behind on the stack.
    caller_arcs = {(-6, 7), (7, 8), (8, 9), (9, 10), (10, 11), (11, -6)}
    assert arcs(arcs_layer, mod.__file__) == {(-1, 1)} | caller_arcs | far_arcs


def test_lines_beyond_the_key_format_outside_arcs(layer, arcs_layer, write_module):
    mod = write_module(FAR)
    far = _moved(mod.two_lines, LIMIT)
    # A frame that is not recorded is not limited.
    arcs_layer.run(far)
    assert arcs_layer.data == {}
    # Nor is lines mode.
    layer.include.add(mod.__file__)
    layer.run(far)
    assert layer.data[mod.__file__] == {LIMIT + 1, LIMIT + 2}


@pytest.mark.parametrize(
    ("key", "pair"),
    [
        (0, (0, 0)),
        (72057594306363393, (-1, 1)),
        (144115188344291330, (2, -1)),
        (216172782382219265, (-1, -1)),
        ((LIMIT - 1) | (LIMIT - 1) << 28 | 3 << 56, (-(LIMIT - 1), -(LIMIT - 1))),
    ],
)
def test_decode_arc(key, pair):
    assert decode_arc(key) == pair


@pytest.mark.parametrize("bad", [-1, 1 << 58, 1.0, "3", None])
def test_decode_arc_rejects_what_is_not_a_key(bad):
    with pytest.raises(ValueError, match="not an arc key"):
        decode_arc(bad)
