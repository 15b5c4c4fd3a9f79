"""kestrow: records which lines of Python code run, and which line-to-line arcs they take."""

from kestrow.arcs import decode_arc
from kestrow.tracer import CFileDisposition, CTracer

__all__ = ["CFileDisposition", "CTracer", "decode_arc"]
__version__ = "0.1.0"
