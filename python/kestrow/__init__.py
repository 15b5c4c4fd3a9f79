"""kestrow: records which lines of Python code run, and which line-to-line arcs they take.

`Collector` records a program's lines (see kestrow.collector); `Results` holds what it recorded;
the `kestrow run` command (kestrow.cli) runs a program under a collector and reports on it;
kestrow.plugins documents the plug-in interface for code that is not plain Python source.
"""

from kestrow.arcs import decode_arc
from kestrow.collector import Collector, KestrowWarning
from kestrow.plugins import FileTracer, LineMapPlugin, Plugin
from kestrow.results import NO_CONTEXT, Results
from kestrow.selection import FileSelector
from kestrow.tracer import CFileDisposition, CTracer

__all__ = [
    "NO_CONTEXT",
    "CFileDisposition",
    "CTracer",
    "Collector",
    "FileSelector",
    "FileTracer",
    "KestrowWarning",
    "LineMapPlugin",
    "Plugin",
    "Results",
    "decode_arc",
]
__version__ = "0.1.0"
