"""The line recorder end to end on a tiny program."""


def test_records_executed_lines_of_included_file(layer, write_module):
    mod = write_module(
        """\
        def f(n):
            total = 0
            for i in range(n):
                total += i
            if total < 0:
                total = -1
            return total
        """
    )
    layer.include.add(mod.__file__)
    assert layer.run(mod.f, 3) == 3
    assert layer.lines(mod.__file__) == {2, 3, 4, 5, 7}
    assert layer.called("should_trace") == [("should_trace", mod.__file__)]
    assert layer.locked == 0
