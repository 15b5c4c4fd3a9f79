"""Arc keys: how the tracer stores a line-to-line transition as one int."""

_MAGNITUDE = (1 << 28) - 1
_FROM_NEGATIVE = 1 << 56
_TO_NEGATIVE = 1 << 57


def decode_arc(key: int) -> tuple[int, int]:
    """Return the (from, to) line pair packed into an arc key.

    Each line's magnitude takes 28 bits (bits 0-27 for from, 28-55 for to); bits 56 and 57 say
    that from, respectively to, is negative. A negative line is minus a code object's first
    line: (-first, line) enters the code, (line, -first) leaves it.
    """
    if not isinstance(key, int) or key < 0 or key >> 58:
        raise ValueError(f"not an arc key: {key!r}")
    start = key & _MAGNITUDE
    end = (key >> 28) & _MAGNITUDE
    if key & _FROM_NEGATIVE:
        start = -start
    if key & _TO_NEGATIVE:
        end = -end
    return start, end
