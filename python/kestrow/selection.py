"""Which code files get recorded: source roots, omit patterns, and the places that never are."""

from __future__ import annotations

import fnmatch
import os
import site
import sys
import sysconfig
from collections.abc import Iterable
from dataclasses import dataclass

_KESTROW_DIR = os.path.dirname(os.path.realpath(__file__))


def canonical_path(filename: str) -> str:
    """The absolute, symlink-free form of a file name, so one file is always one key."""
    return os.path.realpath(os.path.abspath(filename))


def _is_within(path: str, directory: str) -> bool:
    return path == directory or path.startswith(directory.rstrip(os.sep) + os.sep)


def _never_traced_dirs() -> list[str]:
    """The standard library, every site-packages directory, and kestrow itself."""
    dirs = {_KESTROW_DIR}
    paths = sysconfig.get_paths()
    for key in ("stdlib", "platstdlib", "purelib", "platlib"):
        if paths.get(key):
            dirs.add(paths[key])
    # The base interpreter's library too, when running inside a virtual environment.
    for scheme_vars in ({"base": sys.base_prefix, "platbase": sys.base_exec_prefix},):
        base_paths = sysconfig.get_paths(vars=scheme_vars)
        for key in ("stdlib", "platstdlib", "purelib", "platlib"):
            if base_paths.get(key):
                dirs.add(base_paths[key])
    try:
        dirs.update(site.getsitepackages())
    except AttributeError:  # some embedded interpreters have a reduced site module
        pass
    user_site = getattr(site, "getusersitepackages", lambda: None)()
    if user_site:
        dirs.add(user_site)
    return sorted({canonical_path(d) for d in dirs})


@dataclass(frozen=True)
class Decision:
    """Whether one code file is recorded, under which name, and why (for people reading it)."""

    trace: bool
    path: str | None
    reason: str


class FileSelector:
    """Decides, once per code file name, whether the file's frames are recorded.

    A file is recorded when it is a real file that lies under one of the source roots, is not
    matched by an omit pattern, and is not part of the standard library, a site-packages directory
    or kestrow itself — those three are never recorded, whatever the roots say.

    Omit patterns are shell-style globs (`fnmatch`) matched against the absolute path; a relative
    pattern is first made absolute against the current directory, so ``tests/*`` omits the
    ``tests`` directory below where the command runs. ``*`` matches across directory separators.
    """

    def __init__(self, source: Iterable[str], omit: Iterable[str] = ()) -> None:
        self.source_roots = [canonical_path(root) for root in source]
        self.omit = [
            pattern if os.path.isabs(pattern) else os.path.abspath(pattern) for pattern in omit
        ]
        self._never = _never_traced_dirs()

    def decide(self, filename: str) -> Decision:
        if not filename or filename.startswith("<") or not os.path.isfile(filename):
            return Decision(False, None, "not a source file")
        path = canonical_path(filename)
        for directory in self._never:
            if _is_within(path, directory):
                if directory == _KESTROW_DIR:
                    return Decision(False, path, "kestrow itself")
                return Decision(False, path, "standard library or installed package")
        if not any(_is_within(path, root) for root in self.source_roots):
            return Decision(False, path, "outside the source roots")
        for pattern in self.omit:
            if fnmatch.fnmatchcase(path, pattern):
                return Decision(False, path, f"omitted by {pattern!r}")
        return Decision(True, path, "under a source root")
