"""What the tracer records, checked against the interpreter's own account of the same run.

The tracer tells a real call from a generator or coroutine going on, and a real return from a
suspension, by reading the frame's bytecode, whose layout differs between interpreter versions.
sys.monitoring reports the same facts directly (PY_START or PY_RESUME, PY_RETURN or PY_YIELD),
so each small program below is run once with both listening, and the lines and arcs the tracer
recorded must be exactly those the monitoring events describe. The suite runs on whichever
interpreter runs it; every supported version runs it in CI.
"""

from __future__ import annotations

import dis
import sys
from types import CodeType
from typing import Any

import pytest

from kestrow import decode_arc

from conftest import Layer

E = sys.monitoring.events
EVENTS = (
    E.LINE | E.JUMP | E.PY_START | E.PY_RESUME | E.PY_THROW | E.PY_RETURN | E.PY_UNWIND | E.PY_YIELD
)
DISABLE = sys.monitoring.DISABLE


class MonitoringView:
    """Lines and arcs of one file, rebuilt from sys.monitoring events.

    A line event is a LINE event, or a backward jump that stays on its line (a one-line loop
    going round again), which a trace function is told about as a line of its own. PY_START
    enters a code object: the first arc comes from minus its first line, as it does for
    PY_THROW into a generator that never ran (one not standing at a resume instruction).
    PY_RESUME, and PY_THROW into a frame standing at a resume instruction, go on from the
    line the frame stands on. PY_RETURN and PY_UNWIND leave the code: the last arc goes to
    minus its first line. PY_YIELD suspends the frame and leaves nothing.
    """

    def __init__(self, filename: str) -> None:
        self.filename = filename
        self.lines: set[int] = set()
        self.arcs: set[tuple[int, int]] = set()
        # The previous line of each activation of the file's code (None when unknown).
        self.stack: list[int | None] = []
        self.tool = next((t for t in range(6) if sys.monitoring.get_tool(t) is None), None)
        if self.tool is None:
            pytest.skip("no free sys.monitoring tool id")

    def ours(self, code: CodeType) -> bool:
        return code.co_filename == self.filename

    @staticmethod
    def line_at(code: CodeType, offset: int) -> int | None:
        for start, end, line in code.co_lines():
            if start <= offset < end:
                return line
        return None

    def record(self, line: int) -> None:
        self.lines.add(line)
        prev = self.stack[-1]
        if prev is not None:
            self.arcs.add((prev, line))
        self.stack[-1] = line

    # Events that can be switched off where they happen are, outside the program's own code.
    def on_line(self, code: CodeType, line: int) -> Any:
        if not self.ours(code):
            return DISABLE
        self.record(line)

    def on_jump(self, code: CodeType, offset: int, target: int) -> Any:
        if not self.ours(code):
            return DISABLE
        if target < offset:
            line = self.line_at(code, target)
            if line is not None and line == self.line_at(code, offset):
                self.record(line)

    def on_start(self, code: CodeType, offset: int) -> Any:
        if not self.ours(code):
            return DISABLE
        self.stack.append(-code.co_firstlineno)

    def on_resume(self, code: CodeType, offset: int) -> Any:
        if not self.ours(code):
            return DISABLE
        self.stack.append(self.line_at(code, offset))

    def on_throw(self, code: CodeType, offset: int, exc: BaseException) -> None:
        if not self.ours(code):
            return
        at = {i.offset: i.opname for i in dis.get_instructions(code)}.get(offset)
        if at == "RESUME":
            self.stack.append(self.line_at(code, offset))
        else:
            self.stack.append(-code.co_firstlineno)

    def leave(self, code: CodeType) -> None:
        prev = self.stack.pop()
        if prev is not None:
            self.arcs.add((prev, -code.co_firstlineno))

    def on_return(self, code: CodeType, offset: int, value: Any) -> Any:
        if not self.ours(code):
            return DISABLE
        self.leave(code)

    def on_unwind(self, code: CodeType, offset: int, exc: BaseException) -> None:
        if self.ours(code):
            self.leave(code)

    def on_yield(self, code: CodeType, offset: int, value: Any) -> Any:
        if not self.ours(code):
            return DISABLE
        self.stack.pop()

    def __enter__(self) -> MonitoringView:
        m = sys.monitoring
        m.use_tool_id(self.tool, "kestrow version cross-check")
        for event, callback in [
            (E.LINE, self.on_line),
            (E.JUMP, self.on_jump),
            (E.PY_START, self.on_start),
            (E.PY_RESUME, self.on_resume),
            (E.PY_THROW, self.on_throw),
            (E.PY_RETURN, self.on_return),
            (E.PY_UNWIND, self.on_unwind),
            (E.PY_YIELD, self.on_yield),
        ]:
            m.register_callback(self.tool, event, callback)
        m.set_events(self.tool, EVENTS)
        return self

    def __exit__(self, *exc: Any) -> None:
        m = sys.monitoring
        m.set_events(self.tool, 0)
        m.free_tool_id(self.tool)
        # Places switched off above would stay off for the next user of this tool id.
        m.restart_events()


PROGRAMS = {
    "plain function": """\
        def add(a, b):
            total = a + b
            return total

        def main():
            x = add(1, 2)
            if x > 5:
                x = 0
            return add(x, 3)
        """,
    "loops": """\
        def main():
            total = 0
            for i in range(4):
                if i % 2:
                    continue
                total += i
            n = 3
            while n: n -= 1
            for j in range(2): total += j
            while True:
                total += 1
                if total > 5:
                    break
            else:
                total = -1
            return total
        """,
    "generator with send": """\
        def echo():
            received = yield "ready"
            while received is not None:
                received = yield received * 2
            return "done"

        def main():
            g = echo()
            out = [next(g), g.send(1), g.send(2)]
            try:
                g.send(None)
            except StopIteration as stop:
                out.append(stop.value)
            return out
        """,
    "early-closed generator": """\
        def counted():
            try:
                for i in range(10):
                    yield i
            finally:
                cleanup = True

        def plain():
            yield 1
            yield 2

        def main():
            g = counted()
            next(g)
            next(g)
            g.close()
            h = plain()
            next(h)
            h.close()
            counted().close()
            for v in counted():
                if v == 1:
                    break
            return v
        """,
    "generator throw and yield from": """\
        def inner():
            try:
                yield 1
            except KeyError:
                yield "handled"
            yield 2
            return 3

        def outer():
            result = yield from inner()
            return result

        def main():
            g = outer()
            out = [next(g), g.throw(KeyError), next(g)]
            try:
                next(g)
            except StopIteration as stop:
                out.append(stop.value)
            h = inner()
            next(h)
            try:
                h.throw(ValueError)
            except ValueError:
                out.append("unwound")
            return out
        """,
    "async coroutines under asyncio": """\
        import asyncio

        async def child(n):
            await asyncio.sleep(0)
            return n * 2

        async def ticks():
            for i in range(2):
                yield i
                await asyncio.sleep(0)

        class Resource:
            async def __aenter__(self):
                await asyncio.sleep(0)
                return self

            async def __aexit__(self, *exc):
                return False

        async def parent():
            total = await child(1)
            results = await asyncio.gather(child(2), child(3))
            async for v in ticks():
                total += v
            async with Resource():
                total += 1
            return total + sum(results)

        def main():
            return asyncio.run(parent())
        """,
    "exception unwinding": """\
        def inner(n):
            if n > 1:
                raise ValueError(n)
            return n

        def middle(n):
            value = inner(n)
            return value + 1

        def main():
            caught = []
            for n in (1, 2):
                try:
                    middle(n)
                except ValueError as exc:
                    caught.append(exc.args)
                else:
                    caught.append(None)
            try:
                try:
                    inner(5)
                finally:
                    caught.append("finally")
            except ValueError:
                pass
            return caught
        """,
    "class body": """\
        def main():
            class Point:
                dims = 2

                def __init__(self, x, y):
                    self.x = x
                    self.y = y

                @property
                def norm(self):
                    return abs(self.x) + abs(self.y)

                if dims > 1:
                    kind = "plane"

                class Meta:
                    tag = "inner"

            p = Point(1, -2)
            return p.norm, Point.kind, Point.Meta.tag
        """,
    "comprehensions": """\
        def main():
            squares = [i * i for i in range(4)]
            evens = {i for i in squares
                     if i % 2 == 0}
            table = {k: v for k, v in zip("ab", range(2))}
            total = sum(x
                        for x in squares)
            first = next(x for x in squares if x > 1)
            nested = [[j for j in range(i)] for i in range(3)]
            return squares, evens, table, total, first, nested
        """,
    "lambda": """\
        def main():
            double = lambda x: x * 2
            pick = lambda x: (x
                              if x > 0 else -x)
            order = sorted([3, -1, 2], key=lambda v: -v)
            return order, double(2), pick(-3), pick(4)
        """,
    "with statement": """\
        class Manager:
            def __enter__(self):
                return self

            def __exit__(self, *exc):
                return exc[0] is KeyError

        def main():
            with Manager() as m:
                x = 1
            with Manager():
                raise KeyError("swallowed")
            with Manager() as a, Manager() as b:
                y = 2
            return x + y
        """,
    "try/finally": """\
        def early(flag):
            try:
                if flag:
                    return "early"
                value = "late"
            finally:
                done = True
            return value

        def loop_finally():
            out = []
            for i in range(4):
                try:
                    if i == 1:
                        continue
                    if i == 2:
                        break
                    out.append(i)
                finally:
                    out.append(-i)
            return out

        def main():
            return early(True), early(False), loop_finally()
        """,
    "decorators and closures": """\
        def deco(f):
            def wrapper(*a):
                return f(*a) + 1
            return wrapper

        @deco
        def g(x):
            return x

        def main():
            n = 1
            def add(y):
                nonlocal n
                n += y
                return n
            add(2)
            return g(3), n
        """,
    "match statement": """\
        def classify(v):
            match v:
                case 0:
                    return "zero"
                case [x, y]:
                    return x + y
                case {"k": k}:
                    return k
                case _:
                    return None

        def main():
            return [classify(v) for v in (0, [1, 2], {"k": 3}, "s")]
        """,
    "statements over several lines": """\
        def f(a,
              b=2):
            return (a +
                    b)

        def main():
            x = f(
                1,
            )
            assert x == 3, (
                "no")
            y = [
                i
                for i in range(3)
                if i
            ]
            return x if x else y
        """,
    "exception groups": """\
        def main():
            try:
                raise ExceptionGroup("g", [ValueError(1), KeyError(2)])
            except* ValueError:
                a = 1
            except* KeyError:
                b = 2
            return a + b
        """,
    "async comprehensions": """\
        import asyncio

        async def agen():
            for i in range(3):
                yield i

        async def co():
            xs = [x async for x in agen()]
            ys = [await asyncio.sleep(0, i) for i in range(2)]
            g = (x * 2 async for x in agen())
            return xs, ys, [v async for v in g]

        def main():
            return asyncio.run(co())
        """,
    "coroutine driven by send and throw": """\
        import types

        @types.coroutine
        def suspend():
            v = yield "s"
            return v

        async def co():
            a = await suspend()
            try:
                b = await suspend()
            except KeyError:
                b = "k"
            return a, b

        def main():
            c = co()
            c.send(None)
            c.send(1)
            try:
                c.throw(KeyError)
            except StopIteration as stop:
                return stop.value
        """,
    "recursive yield from": """\
        def tree(n):
            if n:
                yield from tree(n - 1)
                yield n
                yield from tree(n - 1)

        def main():
            return list(tree(3))
        """,
}


@pytest.mark.parametrize("arcs", [False, True], ids=["lines", "arcs"])
@pytest.mark.parametrize("source", PROGRAMS.values(), ids=PROGRAMS.keys())
def test_records_what_monitoring_reports(write_module, source, arcs):
    mod = write_module(source)
    layer = Layer(include={mod.__file__}, arcs=arcs)
    with MonitoringView(mod.__file__) as view:
        layer.run(mod.main)
    assert not view.stack, "an activation never ended"

    recorded = layer.lines(mod.__file__)
    if arcs:
        assert {decode_arc(key) for key in recorded} == view.arcs
    else:
        assert recorded == view.lines
